"""ExactMultiserver against what a user would write instead, measured side by side.

For W1 and the hard cases of the README's accuracy table, from empty:

- exact: ExactMultiserver, 50 steps (construction included), and one warm step (the
  median of the single steps 52 to 82 of one instance);
- scipy: the same exact chain by hand, as a user would write it with scipy.sparse: the
  state space is every (z, remaining times) the exact model visits in those 50 steps,
  the transition matrix is built from the queue's rules with a Python loop over states,
  arrivals and fresh multisets (a dict from state to index), stored as CSR, and
  stepped by matrix-vector products. "build+50" is building it plus 50 products, "CSR
  step" one warm product;
- numpy MC: the vectorised simulation of queue_sim.py, sized to an expected
  total-variation distance of 1e-3 from the exact PMF after step 50 (R replications);
  it is timed on min(R, 200,000) replications and scaled to R (its cost is linear in R);
- standard: StandardMultiserver, 50 steps, with its approximation error (TV to the
  exact PMF) beside it.

Every time is the median of several runs; ratios are the rival's time over the exact
model's. The state count of each chain is printed beside its time.

Run:  python benchmarks/bench_exact.py      (needs numpy and scipy)
"""

import copy
import itertools
import math
import platform
import statistics
import time

import numpy as np
import scipy
import scipy.sparse

import movra
from queue_sim import expected_sampling_tv, simulate_station
from workloads import poisson, uniform

STEPS = 50
TARGET_TV = 1e-3
MC_SAMPLE = 200_000

CASES = [  # name, servers, arrivals, service
    ("W1 c=4 poisson(1.2) svc U1..4", 4, poisson(1.2), uniform(1, 4)),
    ("c=2 arr{0:.5,1:.5} svc D3", 2, {0: 0.5, 1: 0.5}, {3: 1.0}),
    ("c=2 arr{0:.5,1:.5} svc {1:.9,6:.1}", 2, {0: 0.5, 1: 0.5}, {1: 0.9, 6: 0.1}),
    ("c=3 arr{0:.1,1:.9} svc D3", 3, {0: 0.1, 1: 0.9}, {3: 1.0}),
    ("c=4 arr{0:.3,1:.4,2:.3} svc {1:.9,6:.1}", 4, {0: 0.3, 1: 0.4, 2: 0.3}, {1: 0.9, 6: 0.1}),
    ("c=8 arr{0:.2,1:.4,2:.4} svc {1:.5,6:.5}", 8, {0: 0.2, 1: 0.4, 2: 0.4}, {1: 0.5, 6: 0.5}),
]


def ms(seconds):
    """Milliseconds to two significant figures at least (a small chain builds in 0.3 ms)."""
    return f"{seconds * 1e3:.0f}" if seconds >= 0.01 else f"{seconds * 1e3:.2g}"


def ratio(r):
    """A ratio near a target of 10x keeps its first decimal."""
    return f"{r:,.0f}" if r >= 100 else f"{r:.1f}"


def median_time(run, repeats):
    samples = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        run()
        samples.append(time.perf_counter() - t0)
    return statistics.median(samples)


def station(kind, servers, arrivals, service):
    m = kind()
    m.number_of_servers = servers
    m.number_of_arrivals_pmf = arrivals
    m.service_duration_pmf = service
    return m


def run_model(kind, servers, arrivals, service):
    m = station(kind, servers, arrivals, service)
    for _ in range(STEPS):
        m.step()
    return m


# ---- the chain by hand -------------------------------------------------------------------

def fresh_multisets(service, k):
    """[(durations ascending, probability)] for k servers starting."""
    values = sorted(v for v, p in service.items() if p > 0)
    out = []
    for draw in itertools.combinations_with_replacement(values, k):
        ways = math.factorial(k)
        p = 1.0
        for v in set(draw):
            n = draw.count(v)
            ways //= math.factorial(n)
            p *= service[v] ** n
        out.append((draw, ways * p))
    return out


def build_chain(states, servers, arrivals, service):
    """CSR matrix P with P[j, i] the probability of moving from state i to state j."""
    index = {s: i for i, s in enumerate(states)}
    fresh = {k: fresh_multisets(service, k) for k in range(servers + 1)}
    arrivals = [(a, p) for a, p in arrivals.items() if p > 0]
    rows, cols, vals = [], [], []
    for i, (z, times) in enumerate(states):
        left = tuple(r - 1 for r in times if r > 1)
        z1 = z - (len(times) - len(left))
        for a, p_a in arrivals:
            z2 = z1 + a
            for draw, p_f in fresh[max(min(z2, servers) - len(left), 0)]:
                j = index.get((z2, tuple(sorted(left + draw))))
                if j is not None:
                    rows.append(j)
                    cols.append(i)
                    vals.append(p_a * p_f)
    n = len(states)
    return scipy.sparse.csr_matrix((vals, (rows, cols)), shape=(n, n))


def chain_run(states, servers, arrivals, service):
    matrix = build_chain(states, servers, arrivals, service)
    x = np.zeros(len(states))
    x[states.index((0, ()))] = 1.0
    for _ in range(STEPS):
        x = matrix @ x
    return matrix, x


def visited_states(servers, arrivals, service):
    m = station(movra.ExactMultiserver, servers, arrivals, service)
    seen = dict.fromkeys(m.internal_state)
    for _ in range(STEPS):
        m.step()
        seen.update(dict.fromkeys(m.internal_state))
    return list(seen)


def tv(p, q):
    return 0.5 * sum(abs(p.get(k, 0.0) - q.get(k, 0.0)) for k in set(p) | set(q))


def main():
    print(f"{platform.python_implementation()} {platform.python_version()}, numpy "
          f"{np.__version__}, scipy {scipy.__version__}; movra {movra.__version__}")
    print(f"{STEPS} steps from empty; times are medians; ratio = rival's time / exact model's\n")
    print("| case | exact: states, 50 steps, warm step | scipy chain: states, build+50 (ratio), "
          "CSR step (ratio) | numpy MC to TV 1e-3: R, time (ratio) | standard: states, "
          "50 steps (ratio), TV to exact |")
    print("|---|---|---|---|---|")
    rng = np.random.default_rng(11)
    for name, c, arrivals, service in CASES:
        exact = run_model(movra.ExactMultiserver, c, arrivals, service)
        exact_pmf = exact.get_number_of_entities_in_system_pmf()
        t_exact = median_time(lambda: run_model(movra.ExactMultiserver, c, arrivals, service), 9)
        warm = copy.copy(exact)
        warm.step()
        t_warm = median_time(warm.step, 31)

        states = visited_states(c, arrivals, service)
        t_chain = median_time(lambda: chain_run(states, c, arrivals, service), 3)
        matrix, x = chain_run(states, c, arrivals, service)
        t_csr = median_time(lambda: matrix @ x, 51)
        chain_pmf = {}
        for (z, _), p in zip(states, x):
            chain_pmf[z] = chain_pmf.get(z, 0.0) + p
        agree = tv(chain_pmf, exact_pmf)

        k = expected_sampling_tv(exact_pmf, 1)
        reps = math.ceil((k / TARGET_TV) ** 2)
        sample = min(reps, MC_SAMPLE)
        t_mc = median_time(lambda: simulate_station(c, arrivals, service, STEPS, sample, rng), 3)
        t_mc *= reps / sample

        standard = run_model(movra.StandardMultiserver, c, arrivals, service)
        t_standard = median_time(lambda: run_model(movra.StandardMultiserver, c, arrivals, service), 9)
        standard_tv = tv(standard.get_number_of_entities_in_system_pmf(), exact_pmf)

        print(f"| {name} | {exact.number_of_states}, {t_exact * 1e3:.2f} ms, {t_warm * 1e6:.1f} µs "
              f"| {len(states)}, {ms(t_chain)} ms ({ratio(t_chain / t_exact)}×), "
              f"{t_csr * 1e6:.1f} µs ({t_csr / t_warm:.1f}×) "
              f"| {reps:,}, {t_mc:.1f} s ({t_mc / t_exact:,.0f}×) "
              f"| {len(standard.internal_state)}, {t_standard * 1e3:.2f} ms "
              f"({t_standard / t_exact:.2f}×), {standard_tv:.4f} |", flush=True)
        assert agree < 1e-6, (name, agree)  # the two exact chains must agree


if __name__ == "__main__":
    main()
