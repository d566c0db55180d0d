"""What a copy of ExactMultiserver costs, on the cases of bench_exact.py after 60 steps.

For each case: copy.copy, copy.deepcopy and a pickle round trip (dumps and loads), each
followed by the copy's first step, against the original's own next (warm) step. Planners
copy models often (movra.planning, staffing, trajectory), so a copy's first step counts.
Times are minima and medians over 40 copies; run it against two builds in turn to compare.

Run:  python benchmarks/bench_exact_copy.py
"""

import copy
import pickle
import platform
import statistics
import time

import movra
from bench_exact import CASES

WARMUP = 60
REPEATS = 40


def station(servers, arrivals, service):
    m = movra.ExactMultiserver()
    m.number_of_servers = servers
    m.number_of_arrivals_pmf = arrivals
    m.service_duration_pmf = service
    for _ in range(WARMUP):
        m.step()
    return m


def timed(make, model):
    """(make times, first-step times) over REPEATS copies, in seconds."""
    made, first = [], []
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        dup = make(model)
        t1 = time.perf_counter()
        dup.step()
        t2 = time.perf_counter()
        made.append(t1 - t0)
        first.append(t2 - t1)
    return made, first


def show(samples):
    return f"{min(samples) * 1e6:,.0f}/{statistics.median(samples) * 1e6:,.0f}"


def main():
    print(f"{platform.python_implementation()} {platform.python_version()}; movra "
          f"{movra.__version__} from {movra.__file__}")
    print(f"after {WARMUP} steps; µs, min/median of {REPEATS}\n")
    print("| case | states | warm step | copy.copy, its first step | copy.deepcopy, its first "
          "step | pickle round trip, its first step |")
    print("|---|---|---|---|---|---|")
    ways = [copy.copy, copy.deepcopy, lambda m: pickle.loads(pickle.dumps(m, protocol=5))]
    for name, c, arrivals, service in CASES:
        m = station(c, arrivals, service)
        warm = []
        for _ in range(REPEATS):
            t0 = time.perf_counter()
            m.step()
            warm.append(time.perf_counter() - t0)
        cells = []
        for way in ways:
            made, first = timed(way, m)
            cells.append(f"{show(made)}, {show(first)}")
        print(f"| {name} | {m.number_of_states} | {show(warm)} | " + " | ".join(cells) + " |",
              flush=True)


if __name__ == "__main__":
    main()
