"""One step of the installed module against the same step written by hand, side by side.

For each workload of workloads.py (W1-W5) and two states, 50 steps from empty and after
WARM_STEPS steps, prints the median CPU time of one step of
  - the module (step, then restore to the same state),
  - a plain Python implementation of the same maps (tests/python/reference.py), and the
    ratio Python / module: `network_step`, which forms each node's completions once and
    shares one enumeration between a node's two maps, and `network_step_as_written`, which
    forms them again in every flow and map and enumerates each map on its own,
and for the one-server workload (W3, where the model is the exact (z, ell) Markov chain)
  - a scipy CSR matrix-vector product P^T v over that chain, P restricted to the states
    the step can reach from v, and the ratio CSR / module (above 1: the module is faster).
The three are timed in turn, call by call, so that they see the same machine load; the
clock is this thread's CPU time, with the cost of reading it taken off every sample.

Run:  python3 benchmarks/bench_chain.py [--only W3] [--budget 2]
"""

import argparse
import os
import pathlib
import statistics
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests" / "python"))

import numpy as np  # noqa: E402
import scipy.sparse  # noqa: E402

import movra  # noqa: E402
import reference  # noqa: E402
import workloads  # noqa: E402

FROM_EMPTY = 50


def chain_matrix(state, arrivals, service):
    """P^T in CSR and v for the one-server chain over the states reachable from state.
    A state (z, ell): z in system, ell the remaining service time (a fresh one at z = 0)."""
    z_top = max(z for z, _ in state) + max(arrivals)
    ell_top = max(max(e for _, e in state), max(service))
    index = lambda z, e: z * ell_top + (e - 1)  # noqa: E731
    n = (z_top + 1) * ell_top
    rows, cols, vals = [], [], []
    for z in range(z_top + 1):
        for e in range(1, ell_top + 1):
            if z == 0 or e == 1:  # nobody in service, or the one in service completes
                for a, pa in arrivals.items():
                    z2 = max(z - 1, 0) + a
                    if z2 > z_top:
                        continue
                    for s, ps in service.items():
                        rows.append(index(z2, s))
                        cols.append(index(z, e))
                        vals.append(pa * ps)
            else:
                for a, pa in arrivals.items():
                    if z + a <= z_top:
                        rows.append(index(z + a, e - 1))
                        cols.append(index(z, e))
                        vals.append(pa)
    pt = scipy.sparse.csr_matrix((vals, (rows, cols)), shape=(n, n))
    v = np.zeros(n)
    for (z, e), p in state.items():
        v[index(z, e)] = p
    return pt, v


def python_steps(w, model):
    """The two plain Python steps of the model's configuration and state."""
    args = w.reference_args(model)
    return (lambda: reference.network_step(*args),
            lambda: reference.network_step_as_written(*args))


def time_in_turn(calls, budget, min_reps=5, max_reps=2001):
    clock = time.thread_time
    overhead = statistics.median(-(clock() - clock()) for _ in range(501))
    samples = [[] for _ in calls]
    started = time.perf_counter()
    rep = 0
    while rep < max_reps and (rep < min_reps or time.perf_counter() - started < budget):
        for i, (call, after) in enumerate(calls):
            t0 = clock()
            call()
            samples[i].append(clock() - t0 - overhead)
            after()
        rep += 1
    return [statistics.median(s) for s in samples]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--only", default="W1,W2,W3,W4,W5")
    ap.add_argument("--budget", type=float, default=2.0, help="seconds per workload and state")
    args = ap.parse_args()
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), "unknown CPU")
    print(f"# {cpu}, {os.cpu_count()} cores; median CPU time per step, the three timed in turn")
    print(f"{'':<4} {'state':<11} {'module us':>10} {'python us':>11} {'python/module':>13}"
          f" {'written us':>11} {'written/module':>14} {'csr us':>8} {'csr/module':>10}")
    nothing = lambda: None  # noqa: E731
    for name in args.only.split(","):
        w = workloads.BY_NAME[name]
        model = w.make(movra)
        done = 0
        for label, steps in ((f"{FROM_EMPTY} steps", FROM_EMPTY), ("warm", workloads.WARM_STEPS)):
            for _ in range(steps - done):
                model.step()
            done = steps
            model.mark()
            shortcut, as_written = python_steps(w, model)
            calls = [(model.step, model.restore), (shortcut, nothing), (as_written, nothing)]
            one_server = w.kind == "station" and w.servers == 1
            if one_server:
                pt, v = chain_matrix(model.internal_state, w.arrivals, w.service)
                calls.append((lambda: pt @ v, nothing))
            # The plain Python step takes far longer: give it fewer repetitions.
            times = time_in_turn(calls, args.budget, min_reps=3)
            mod, py, written = times[0], times[1], times[2]
            line = (f"{name:<4} {label:<11} {mod * 1e6:10.2f} {py * 1e6:11.1f} {py / mod:12.0f}x"
                    f" {written * 1e6:11.1f} {written / mod:13.0f}x")
            if one_server:
                line += f" {times[3] * 1e6:8.2f} {times[3] / mod:9.2f}x"
            print(line, flush=True)


if __name__ == "__main__":
    main()
