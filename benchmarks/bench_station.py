"""Cost of one StandardMultiserver.step() on a warmed-up state.

Each workload is stepped WARM_STEPS times from empty, marked, and then timed
one step at a time, restoring the marked state before every repetition, so
every timing measures the same step.  Prints one line per workload: median
time per step, the instance's peak arena use afterwards and the number of
(z, ell) pairs in the timed state.

Run:  python benchmarks/bench_station.py
"""

import math
import statistics
import time

import movra
from workloads import poisson, uniform

WARM_STEPS = 200
BUDGET = 5.0  # seconds of timed steps per workload, at most
MIN_REPS, MAX_REPS = 15, 501



WORKLOADS = [
    ("W1 c=4 poisson(1.2) svc U1..4", 4, poisson(1.2), uniform(1, 4)),
    ("W2 c=16 poisson(5) svc U1..5", 16, poisson(5.0), uniform(1, 5)),
    ("W3 c=1 {0:.7,1:.2,2:.1} svc {1:.5,3:.5}", 1,
     {0: 0.7, 1: 0.2, 2: 0.1}, {1: 0.5, 3: 0.5}),
]


def time_steps(model):
    """Median seconds of model.step() from the marked state."""
    model.mark()
    for _ in range(3):  # warm caches and the allocator
        model.step()
        model.restore()
    samples = []
    started = time.perf_counter()
    while len(samples) < MAX_REPS and (
            len(samples) < MIN_REPS or time.perf_counter() - started < BUDGET):
        t0 = time.perf_counter()
        model.step()
        samples.append(time.perf_counter() - t0)
        model.restore()
    return statistics.median(samples)


def main():
    for name, servers, arrivals, service in WORKLOADS:
        station = movra.StandardMultiserver()
        station.number_of_servers = servers
        station.number_of_arrivals_pmf = arrivals
        station.service_duration_pmf = service
        station.reset_with_number_of_entities_in_system(0)
        for _ in range(WARM_STEPS):
            station.step()
        median = time_steps(station)
        print(f"{name}: median {median * 1e3:.3f} ms/step, "
              f"peak {station.peak_memory_use} B, "
              f"state {len(station.internal_state)} pairs", flush=True)


if __name__ == "__main__":
    main()
