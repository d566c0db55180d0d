"""Why not simulate?  Time for a Monte Carlo simulation to match the model's answer.

For workloads W1 and W3 of bench_station.py the model steps 50 times from empty and
gives the PMF of z after step 50.  A simulation of the same queue gives an empirical
PMF whose total-variation (TV) distance from the true one shrinks like 1/sqrt(R) for R
replications; this script finds the R at which the expected distance is 1e-3 and times

- the fastest honest numpy simulation (queue_sim.py: every replication simulated, all
  of them at once), run with that R;
- Ciw, a discrete-event simulator, with the discrete-time queue laid out in continuous
  time (batches at whole times, service times a hair shorter than whole steps, so a
  completion comes just before the arrivals of its step, as in the model); it is timed
  on a sample of replications and the time is scaled to R;

against the model's time for the 50 steps, and prints the ratios.

W3 has one server, where the model is exact: the target is its own PMF.  W1 has four
servers, where the model is an approximation: the simulation is timed to reach a
sampling error of 1e-3 in TV, and the model's own distance from the simulated truth
(its approximation error) is printed beside it, so the ratio is the price of an
answer of known sampling error, not of the model's answer.

Run:  python benchmarks/why_not_simulate.py   (pip install ciw for the Ciw column)
"""

import math
import platform
import statistics
import time

import numpy as np

import movra
from workloads import poisson, uniform
from queue_sim import empirical_pmf, expected_sampling_tv, simulate_station, tv_distance

STEPS = 50
TARGET_TV = 1e-3
CIW_BUDGET = 8.0  # seconds of Ciw replications per workload
EPSILON = 1e-4  # Ciw: a service of s steps takes s - EPSILON



WORKLOADS = [  # name, servers, arrivals, service, model exact
    ("W1 c=4 poisson(1.2) svc U1..4", 4, poisson(1.2), uniform(1, 4), False),
    ("W3 c=1 {0:.7,1:.2,2:.1} svc {1:.5,3:.5}", 1, {0: 0.7, 1: 0.2, 2: 0.1},
     {1: 0.5, 3: 0.5}, True),
]


def model_run(servers, arrivals, service):
    station = movra.StandardMultiserver()
    station.number_of_servers = servers
    station.number_of_arrivals_pmf = arrivals
    station.service_duration_pmf = service
    station.reset_with_number_of_entities_in_system(0)
    for _ in range(STEPS):
        station.step()
    return station.get_number_of_entities_in_system_pmf()


def time_model(servers, arrivals, service):
    """Median seconds for 50 steps from empty, configuration included."""
    samples = []
    for _ in range(7):
        t0 = time.perf_counter()
        pmf = model_run(servers, arrivals, service)
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples), pmf


def replications_for(pmf, target):
    """R at which the expected TV distance of R draws from `pmf` is `target`."""
    k = expected_sampling_tv(pmf, 1)  # the distance is k / sqrt(R)
    return math.ceil((k / target) ** 2)


def ciw_network(ciw, servers, arrivals, service):
    values = sorted(arrivals)
    durations = sorted(service)
    return ciw.create_network(
        arrival_distributions=[ciw.dists.Deterministic(1.0)],  # batches at t = 1, 2, ...
        batching_distributions=[ciw.dists.Pmf(values, [arrivals[v] for v in values])],
        service_distributions=[ciw.dists.Pmf([d - EPSILON for d in durations],
                                             [service[d] for d in durations])],
        number_of_servers=[servers])


def time_ciw(ciw, servers, arrivals, service):
    """(seconds per replication, the sample of z after step 50)."""
    network = ciw_network(ciw, servers, arrivals, service)
    counts = []
    started = time.perf_counter()
    while time.perf_counter() - started < CIW_BUDGET or len(counts) < 100:
        ciw.seed(len(counts))
        sim = ciw.Simulation(network)
        sim.simulate_until_max_time(STEPS + 0.5)  # after step 50's arrivals
        counts.append(len(sim.nodes[1].all_individuals))
    return (time.perf_counter() - started) / len(counts), np.array(counts)


def main():
    try:
        import ciw
    except ImportError:
        ciw = None
    print(f"{platform.python_implementation()} {platform.python_version()}, numpy "
          f"{np.__version__}" + (f", Ciw {ciw.__version__}" if ciw else ", no Ciw"))
    rng = np.random.default_rng(7)
    for name, servers, arrivals, service, exact in WORKLOADS:
        model_time, model = time_model(servers, arrivals, service)
        if exact:
            reps = replications_for(model, TARGET_TV)
        else:
            # The truth is not known: size R from a pilot simulation's PMF.
            pilot = simulate_station(servers, arrivals, service, STEPS, 200_000, rng)
            reps = replications_for(empirical_pmf(pilot), TARGET_TV)
        t0 = time.perf_counter()
        samples = simulate_station(servers, arrivals, service, STEPS, reps, rng)
        numpy_time = time.perf_counter() - t0
        sim = empirical_pmf(samples)

        print(f"\n{name}, {STEPS} steps from empty")
        print(f"  model:     {model_time * 1e3:8.2f} ms")
        print(f"  numpy:     {numpy_time:8.2f} s   {reps} replications, "
              f"{numpy_time / model_time:,.0f}x the model")
        if exact:
            print(f"             TV to the model {tv_distance(model, sim):.5f} in this run "
                  f"(expected {TARGET_TV:.5f})")
        else:
            print(f"             TV to the truth about {expected_sampling_tv(sim, reps):.5f}"
                  f" (sampling); the model's TV to it {tv_distance(model, sim):.4f}"
                  " (its approximation error)")
        if ciw:
            per_rep, counts = time_ciw(ciw, servers, arrivals, service)
            ciw_pmf = empirical_pmf(counts)
            print(f"  Ciw:       {per_rep * reps:8.0f} s   (scaled from {len(counts)} "
                  f"replications at {per_rep * 1e3:.2f} ms each), "
                  f"{per_rep * reps / model_time:,.0f}x the model")
            print(f"             same queue: TV of those {len(counts)} to the model "
                  f"{tv_distance(model, ciw_pmf):.3f}, sampling alone "
                  f"{expected_sampling_tv(model, len(counts)):.3f}")


if __name__ == "__main__":
    main()
