"""How close the model is to the true queue: movra against a seeded Monte Carlo
simulation of the same discrete-time system (queue_sim.py, same order of events).

For each case the station, or each node of the network, is stepped from empty and the
number z at the last step is compared: the error of the model's E[z], P(z > c) and of
P(z >= k) at the simulation's 1% tail (relative, in %, with the simulation's own
standard error after ±), and the total-variation distance between the two PMFs of z
with, in brackets, the distance that sampling alone gives on average.

For the single stations two more columns give ExactMultiserver, which carries every
busy server's remaining time and so is the true queue for any number of servers: its
TV distance to the simulation (with the sampling noise) and the number of states it
carries at the last step.

Cases marked "exact" are ones where the model is an exact Markov chain (one server; a
network node with one server fed only from outside, or fed by departures that do not
hang together over time); their differences must be sampling error alone, which checks
the simulation.  The run takes about a minute on a 2-core machine.

Run:  python benchmarks/accuracy.py [--reps N] [--seed S]
"""

import argparse
import math
import platform
import time

import numpy as np

import movra
from workloads import poisson
from queue_sim import (empirical_pmf, expected_sampling_tv, simulate_network,
                       simulate_station, tv_distance)

STATION_STEPS = 150
NETWORK_STEPS = 100



def mean_of(pmf):
    return sum(v * p for v, p in pmf.items())


SHAPES = [  # name, service duration PMF
    ("D3", {3: 1.0}),
    ("U1..3", {1: 1 / 3, 2: 1 / 3, 3: 1 / 3}),
    ("{1:.9,6:.1}", {1: 0.9, 6: 0.1}),
]


def station_cases():
    """(label, servers, arrivals, service, exact)."""
    u3 = SHAPES[1][1]
    cases = [
        ("c=1 arr{0:.6,1:.4} svc{1:.5,3:.5}", 1, {0: 0.6, 1: 0.4}, {1: 0.5, 3: 0.5}, True),
        ("c=1 arr{0:.7,1:.2,2:.1} svc{1:.5,3:.5}", 1, {0: 0.7, 1: 0.2, 2: 0.1},
         {1: 0.5, 3: 0.5}, True),
        ("c=1 Poisson(.4) svc U1..3", 1, poisson(0.4), u3, True),
    ]
    # Poisson arrivals at load 0.8, for each service shape.
    for c in (2, 3, 4, 6, 8):
        for name, service in SHAPES:
            rate = 0.8 * c / mean_of(service)
            cases.append((f"c={c} Poisson({rate:.2f}) svc {name}", c, poisson(rate),
                          service, False))
    # Smoother arrivals, a few at most per step: where the approximation is weakest.
    two_point = SHAPES[2][1]
    cases += [
        ("c=2 arr{0:.5,1:.5} svc D3", 2, {0: 0.5, 1: 0.5}, {3: 1.0}, False),
        ("c=2 arr{0:.5,1:.5} svc {1:.9,6:.1}", 2, {0: 0.5, 1: 0.5}, two_point, False),
        ("c=3 arr{0:.2,1:.5,2:.3} svc U1..3", 3, {0: 0.2, 1: 0.5, 2: 0.3}, u3, False),
        ("c=3 arr{0:.1,1:.9} svc D3", 3, {0: 0.1, 1: 0.9}, {3: 1.0}, False),
        ("c=4 arr{0:.3,1:.4,2:.3} svc {1:.9,6:.1}", 4, {0: 0.3, 1: 0.4, 2: 0.3},
         two_point, False),
        ("c=8 arr{0:.2,1:.4,2:.4} svc {1:.5,6:.5}", 8, {0: 0.2, 1: 0.4, 2: 0.4},
         {1: 0.5, 6: 0.5}, False),
    ]
    return cases


def network_cases():
    """(label, nodes, routing, names, exact per node); nodes as (servers, arrivals, service)."""
    two = {1: 0.5, 2: 0.5}
    return [
        ("line: 1 srv -> 1 srv, svc {1:.5,2:.5}",
         [(1, {0: 0.6, 1: 0.4}, two), (1, {0: 1.0}, two)], {(0, 1): 1.0},
         ["upstream", "downstream"], [True, False]),
        ("line: 2 srv svc 1 -> 1 srv",
         [(2, {0: 0.6, 1: 0.3, 2: 0.1}, {1: 1.0}), (1, {0: 1.0}, two)], {(0, 1): 1.0},
         ["upstream", "downstream"], [True, True]),
        ("feedback to itself 0.3, 1 srv",
         [(1, {0: 0.7, 1: 0.3}, two)], {(0, 0): 0.3}, ["node"], [True]),
        ("feedback: 0 -> 1 (1.0), 1 -> 0 (0.3)",
         [(1, {0: 0.7, 1: 0.3}, two), (1, {0: 1.0}, two)], {(0, 1): 1.0, (1, 0): 0.3},
         ["node 0", "node 1"], [False, False]),
        ("clinic of examples/network.py",
         [(2, {0: 0.5, 1: 0.35, 2: 0.15}, {1: 0.6, 2: 0.4}),
          (3, {0: 1.0}, {2: 0.25, 3: 0.25, 4: 0.25, 5: 0.25}),
          (1, {0: 1.0}, {1: 1.0})],
         {(0, 1): 0.8, (1, 2): 1.0, (2, 1): 0.1},
         ["triage", "treatment", "checkout"], [False, False, False]),
    ]


def model_station(servers, arrivals, service, steps, kind=movra.StandardMultiserver):
    m = kind()
    m.number_of_servers = servers
    m.number_of_arrivals_pmf = arrivals
    m.service_duration_pmf = service
    m.reset_with_number_of_entities_in_system(0)
    for _ in range(steps):
        m.step()
    return m


def model_network(nodes, routing, steps):
    net = movra.StandardNetworkMultiserver(len(nodes))
    for k, (servers, arrivals, service) in enumerate(nodes):
        net.set_number_of_servers_at_node(k, servers)
        net.set_number_of_external_arrivals_at_node_pmf(k, arrivals)
        net.set_service_duration_at_node_pmf(k, service)
    for (s, t), p in routing.items():
        net.set_routing_probability(s, t, p)
    for _ in range(steps):
        net.step()
    return [net.get_number_of_entities_at_node_pmf(k) for k in range(len(nodes))]


def compare(model, samples, servers):
    """Errors of the model against the simulated samples of z, with sampling errors.

    Returns a dict of (model - sim) / sim in % and its standard error in % for the
    mean, P(z > c) and the tail, plus the tail point k, the TV distance and its noise.
    """
    reps = len(samples)
    sim = empirical_pmf(samples)
    out = {}
    mean_sim = samples.mean()
    out["mean"] = (mean_of(model), 100 * (mean_of(model) - mean_sim) / mean_sim,
                   100 * samples.std() / math.sqrt(reps) / mean_sim)
    # The tail point: the smallest k whose simulated P(z >= k) is at most 1%.
    k = int(np.quantile(samples, 0.99, method="higher")) + 1
    for key, threshold in (("busy", servers + 1), ("tail", k)):
        p_sim = np.count_nonzero(samples >= threshold) / reps
        p_model = sum(p for v, p in model.items() if v >= threshold)
        if p_sim > 0:
            out[key] = (p_model, 100 * (p_model - p_sim) / p_sim,
                        100 * math.sqrt(p_sim * (1 - p_sim) / reps) / p_sim)
        else:  # never seen in the simulation: no relative error
            out[key] = (p_model, math.nan, math.nan)
    out["k"] = k
    out["tv"] = (tv_distance(model, sim), expected_sampling_tv(sim, reps))
    return out


def fmt_err(value, se):
    if math.isnan(value):
        return "sim 0"
    if value >= 100:  # as a factor: "+10218%" reads worse than "x103"
        return f"×{1 + value / 100:.1f}"
    return f"{value:+.1f}±{se:.1f}"


HEADER = ("| case | c | E[z] | err E[z] % | P(z>c) | err % | k | P(z≥k) | err % "
          "| TV (noise) |")
STATION_HEADER = HEADER + " exact: TV | exact: states |"


def row(label, servers, r, exact, extra=""):
    mean, busy, tail = r["mean"], r["busy"], r["tail"]
    tv, noise = r["tv"]
    tag = " (exact)" if exact else ""
    return (f"| {label}{tag} | {servers} | {mean[0]:.3f} | {fmt_err(mean[1], mean[2])} "
            f"| {busy[0]:.4f} | {fmt_err(busy[1], busy[2])} | {r['k']} | {tail[0]:.4f} "
            f"| {fmt_err(tail[1], tail[2])} | {tv:.4f} ({noise:.4f}) |{extra}")


def z_scores(r):
    return [abs(r[key][1]) / r[key][2] for key in ("mean", "busy", "tail")
            if not math.isnan(r[key][1]) and r[key][2] > 0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--reps", type=int, default=200_000, help="replications per case")
    parser.add_argument("--seed", type=int, default=2024)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    started = time.perf_counter()
    exact_scores, exact_tv, exact_model_tv = [], [], []

    print(f"{args.reps} replications per case, seed {args.seed}; "
          f"{platform.python_implementation()} {platform.python_version()}, "
          f"numpy {np.__version__}")
    print(f"\nSingle stations, from empty, z after {STATION_STEPS} steps")
    print(STATION_HEADER)
    print("|---" * 12 + "|")
    for label, c, arrivals, service, exact in station_cases():
        model = model_station(c, arrivals, service, STATION_STEPS)
        model = model.get_number_of_entities_in_system_pmf()
        exact_model = model_station(c, arrivals, service, STATION_STEPS, movra.ExactMultiserver)
        samples = simulate_station(c, arrivals, service, STATION_STEPS, args.reps, rng)
        r = compare(model, samples, c)
        sim = empirical_pmf(samples)
        tv_exact = tv_distance(exact_model.get_number_of_entities_in_system_pmf(), sim)
        exact_model_tv.append(tv_exact / r["tv"][1])
        extra = f" {tv_exact:.4f} | {exact_model.number_of_states} |"
        print(row(label, c, r, exact, extra), flush=True)
        if exact:
            exact_scores += z_scores(r)
            exact_tv.append(r["tv"][0] / r["tv"][1])

    print(f"\nNetworks, from empty, z at each node after {NETWORK_STEPS} steps")
    print(HEADER)
    print("|---" * 10 + "|")
    for label, nodes, routing, names, exact in network_cases():
        models = model_network(nodes, routing, NETWORK_STEPS)
        samples = simulate_network(nodes, routing, NETWORK_STEPS, args.reps, rng)
        for k, name in enumerate(names):
            r = compare(models[k], samples[k], nodes[k][0])
            print(row(f"{label}: {name}", nodes[k][0], r, exact[k]), flush=True)
            if exact[k]:
                exact_scores += z_scores(r)
                exact_tv.append(r["tv"][0] / r["tv"][1])

    print(f"\nexact cases: largest |error| / standard error {max(exact_scores):.1f} over "
          f"{len(exact_scores)} numbers, TV / noise from {min(exact_tv):.2f} to "
          f"{max(exact_tv):.2f}; sampling error alone keeps the first below about 3 and "
          "the second near 1")
    print(f"ExactMultiserver on every station: TV / noise from {min(exact_model_tv):.2f} to "
          f"{max(exact_model_tv):.2f}")
    print(f"took {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
