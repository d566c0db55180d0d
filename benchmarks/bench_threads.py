"""Throughput of StandardMultiserver.step() on one thread and on two.

Each thread steps its own W2 station (c=16, Poisson(5) arrivals, service U1..5;
see bench_station.py), warmed up and marked, restoring the mark after every step
so that every step does the same work.  The models step without the
interpreter's lock, so two threads on two cores should nearly double the
throughput.  Prints steps per second for one and for two threads and their
ratio (the median of a few rounds).

Run:  python benchmarks/bench_threads.py [steps per thread and round]
"""

import statistics
import sys
import threading
import time

import movra
from bench_station import WARM_STEPS, poisson, uniform

ROUNDS = 5


def w2_station():
    m = movra.StandardMultiserver()
    m.number_of_servers = 16
    m.number_of_arrivals_pmf = poisson(5.0)
    m.service_duration_pmf = uniform(1, 5)
    m.reset_with_number_of_entities_in_system(0)
    for _ in range(WARM_STEPS):
        m.step()
    m.mark()
    return m


def run(model, steps, start):
    start.wait()
    for _ in range(steps):
        model.step()
        model.restore()


def throughput(models, steps):
    """Steps per second of all `models` stepped at once, one thread each."""
    start = threading.Barrier(len(models) + 1)
    threads = [threading.Thread(target=run, args=(m, steps, start)) for m in models]
    for t in threads:
        t.start()
    start.wait()
    began = time.perf_counter()
    for t in threads:
        t.join()
    return len(models) * steps / (time.perf_counter() - began)


def main():
    steps = int(sys.argv[1]) if len(sys.argv) > 1 else 300
    models = [w2_station(), w2_station()]
    throughput(models, 5)  # warm caches and the allocator
    one, two = [], []
    for _ in range(ROUNDS):
        one.append(throughput(models[:1], steps))
        two.append(throughput(models, steps))
    ratios = [b / a for a, b in zip(one, two)]
    print(f"W2 c=16 poisson(5) svc U1..5, {steps} steps per thread, median of {ROUNDS} rounds")
    print(f"1 thread:  {statistics.median(one):8.1f} steps/s")
    print(f"2 threads: {statistics.median(two):8.1f} steps/s")
    print(f"ratio:     {statistics.median(ratios):8.2f}x")


if __name__ == "__main__":
    main()
