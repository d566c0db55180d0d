"""Cost of one StandardNetworkMultiserver.step() on a warmed-up network.

W4 is an 8-node line with a weak loop back to the start; W5 is 16 nodes with
random routing rows (fixed seed).  Each network is stepped WARM_STEPS times
from empty, marked, and then timed one step at a time, restoring the marked
state before every repetition.  Prints one line per workload: median time per
step, the instance's peak arena use afterwards and the number of (z, ell)
pairs over all nodes.

Run:  python benchmarks/bench_network.py
"""

import random
import statistics
import time

import movra

WARM_STEPS = 200
WARM_BUDGET = 30.0  # seconds; a slower workload is warmed with fewer steps
BUDGET = 6.0  # seconds of timed steps per workload, at most
MIN_REPS, MAX_REPS = 11, 301
SERVICE = {1: 1 / 3, 2: 1 / 3, 3: 1 / 3}


def line_network():
    """W4: node k sends 0.9 to k + 1; the last node sends 0.3 back to 0."""
    n = 8
    net = movra.StandardNetworkMultiserver(n)
    for k in range(n - 1):
        net.set_routing_probability(k, k + 1, 0.9)
    net.set_routing_probability(n - 1, 0, 0.3)
    net.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.6, 1: 0.4})
    return net


def random_network(seed=2024):
    """W5: each row a random split of 0.8 over all 16 destinations."""
    n = 16
    rng = random.Random(seed)
    net = movra.StandardNetworkMultiserver(n)
    for source in range(n):
        weights = [rng.random() for _ in range(n)]
        total = sum(weights)
        for destination, w in enumerate(weights):
            # Rounding may leave the row a hair above 0.8, never near 1.
            net.set_routing_probability(source, destination, 0.8 * w / total)
    for node in (0, 5, 10):
        net.set_number_of_external_arrivals_at_node_pmf(node, {0: 0.8, 1: 0.2})
    return net


WORKLOADS = [
    ("W4 8-node line, 2 srv, arr {0:.6,1:.4} at node 0, svc U1..3", line_network),
    ("W5 16 nodes, random routing 0.8, 2 srv, arr at 3 nodes, svc U1..3",
     random_network),
]


def warm_up(net):
    """Step from empty; return the number of steps taken."""
    for k in range(net.get_number_of_nodes()):
        net.set_number_of_servers_at_node(k, 2)
        net.set_service_duration_at_node_pmf(k, SERVICE)
        net.reset_node_with_number_of_entities(k, 0)
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
    for name, make in WORKLOADS:
        net = make()
        steps = warm_up(net)
        median = time_steps(net)
        pairs = sum(len(node) for node in net.internal_state)
        note = "" if steps == WARM_STEPS else f" (only {steps} warm-up steps)"
        print(f"{name}: median {median * 1e3:.3f} ms/step, "
              f"peak {net.peak_memory_use} B, state {pairs} pairs{note}",
              flush=True)


if __name__ == "__main__":
    main()
