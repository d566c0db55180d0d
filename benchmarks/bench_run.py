"""Cost of recording a run: movra.run against the same number of bare step() calls.

Both start from the same warmed state of a workload (WARM_STEPS steps from empty) and
take STEPS steps; the two are timed in turn, REPS times, with the CPU time of this
thread, and the medians compared.  `run` includes everything it does: checking its
arguments, a copy of the model for the replays, one PMF of the number in system per
step, and the dense array made from them at the end.

Run:  python3 benchmarks/bench_run.py [--only W1,W2] [--steps 2000] [--reps 15]
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


def cpu(fn):
    start = time.thread_time()
    fn()
    return time.thread_time() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", default="W1,W2,W3")
    parser.add_argument("--steps", type=int, default=2000)
    parser.add_argument("--reps", type=int, default=15)
    args = parser.parse_args()
    for name in args.only.split(","):
        work = workloads.BY_NAME[name]
        warm = work.make(movra)
        for _ in range(workloads.WARM_STEPS):
            warm.step()

        def bare():
            m = copy.copy(warm)
            step = m.step
            for _ in range(args.steps):
                step()

        def recorded():
            movra.run(copy.copy(warm), args.steps)

        bare_times, run_times = [], []
        for _ in range(args.reps):
            bare_times.append(cpu(bare))
            run_times.append(cpu(recorded))
        b, r = statistics.median(bare_times), statistics.median(run_times)
        print(f"{name} ({work.label}): bare {1e6 * b / args.steps:.2f} us/step, "
              f"run {1e6 * r / args.steps:.2f} us/step, overhead {100 * (r / b - 1):+.1f}%")


if __name__ == "__main__":
    main()
