"""Cost of one StandardNetworkMultiserver.step() on a warmed-up network.

W4 is an 8-node line with a weak loop back to the start; W5 is 16 nodes with
random routing rows (fixed seed).  Each network is stepped WARM_STEPS times
from empty, marked, and then timed one step at a time, restoring the marked
state before every repetition.  Prints one line per workload: median time per
step, the instance's peak arena use afterwards and the number of (z, ell)
pairs over all nodes.

Run:  python benchmarks/bench_network.py
"""

import statistics
import time

import movra
import workloads

WARM_STEPS = workloads.WARM_STEPS
WARM_BUDGET = 30.0  # seconds; a slower workload is warmed with fewer steps
BUDGET = 6.0  # seconds of timed steps per workload, at most
MIN_REPS, MAX_REPS = 11, 301
# The networks of bench_steps.py (2 servers and service U1..3 at every node).
WORKLOADS = [workloads.BY_NAME["W4"], workloads.BY_NAME["W5"]]


def warm_up(net):
    """Step from empty; return the number of steps taken."""
    started = time.perf_counter()
    while net.time < WARM_STEPS and time.perf_counter() - started < WARM_BUDGET:
        net.step()
    return net.time


def time_steps(net):
    """Median seconds of net.step() from the marked state."""
    net.mark()
    for _ in range(2):
        net.step()
        net.restore()
    samples = []
    started = time.perf_counter()
    while len(samples) < MAX_REPS and (
            len(samples) < MIN_REPS or time.perf_counter() - started < BUDGET):
        t0 = time.perf_counter()
        net.step()
        samples.append(time.perf_counter() - t0)
        net.restore()
    return statistics.median(samples)


def main():
    for w in WORKLOADS:
        net = w.make(movra)
        steps = warm_up(net)
        median = time_steps(net)
        pairs = sum(len(node) for node in net.internal_state)
        note = "" if steps == WARM_STEPS else f" (only {steps} warm-up steps)"
        print(f"{w.name} {w.label}: median {median * 1e3:.3f} ms/step, "
              f"peak {net.peak_memory_use} B, state {pairs} pairs{note}",
              flush=True)


if __name__ == "__main__":
    main()
