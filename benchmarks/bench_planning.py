"""Cost of the planner's figures on the warmed state of each station workload, in
milliseconds and in steps of the same model: waiting_time_pmf (a random arrival, and
the first in line), utilisation plus throughput_pmf, and steady_state from that state.
Median CPU time of this thread over REPS calls. --exact runs the same workloads on the
exact station as well.

Run:  python3 benchmarks/bench_planning.py [--only W1,W2,W3] [--reps 15] [--exact]
"""

import argparse
import copy
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import movra  # noqa: E402
import workloads  # noqa: E402


def cpu(fn, reps):
    times = []
    for _ in range(reps):
        start = time.thread_time()
        fn()
        times.append(time.thread_time() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", default="W1,W2,W3")
    parser.add_argument("--reps", type=int, default=15)
    parser.add_argument("--exact", action="store_true")
    args = parser.parse_args()
    kinds = ["standard"] + (["exact"] if args.exact else [])
    for name, kind in ((n, k) for n in args.only.split(",") for k in kinds):
        work = workloads.BY_NAME[name]
        model = work.make(movra)
        if kind == "exact":
            exact = movra.ExactMultiserver()
            exact.number_of_servers = model.number_of_servers
            exact.number_of_arrivals_pmf = model.number_of_arrivals_pmf
            exact.service_duration_pmf = model.service_duration_pmf
            exact.reset_with_number_of_entities_in_system(0)
            model = exact
        for _ in range(workloads.WARM_STEPS):
            model.step()
        step = cpu(lambda: copy.copy(model).step(), args.reps) - cpu(lambda: copy.copy(model),
                                                                      args.reps)
        figures = {
            "waiting_time_pmf": lambda: movra.waiting_time_pmf(model),
            "waiting_time_pmf(position=0)": lambda: movra.waiting_time_pmf(model, position=0),
            "utilisation + throughput_pmf": lambda: (movra.utilisation(model),
                                                     movra.throughput_pmf(model)),
            "steady_state": lambda: movra.steady_state(model),
        }
        print(f"{name}{' exact' if kind == 'exact' else ''} ({work.label}): "
              f"step {1e3 * step:.3f} ms")
        for label, fn in figures.items():
            t = cpu(fn, max(3, args.reps // 5) if label == "steady_state" else args.reps)
            print(f"  {label:30s} {1e3 * t:9.3f} ms  = {t / step:7.1f} steps")


if __name__ == "__main__":
    main()
