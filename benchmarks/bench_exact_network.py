"""ExactNetworkMultiserver on the network panel, against what a user would write instead.

For each network of network_panel.py, started empty and run to step T (fewer if the
exact model's budget runs out first), prints:
  - the exact joint model: support (joint states), successor entries gathered by one
    step, the step's time and ns per entry;
  - the independent model (StandardNetworkMultiserver) at the same step: its step time,
    and its error against the exact joint PMF (largest relative error of a node's mean
    number of entities, largest total-variation distance of a node's PMF);
  - (a) a scipy.sparse chain over the same support, built by hand in Python: time to
    build it plus 50 steps, and the warm CSR product of one step (only for supports of
    at most RIVAL_MAX_STATES);
  - (b) numpy Monte Carlo of the true network, vectorised over replications: the
    replications needed for a total-variation distance of 1e-3 on the joint PMF of the
    numbers at the nodes (from the exact PMF: E[TV] ~ sum sqrt(p(1-p)) / sqrt(2 pi R)),
    and its time for that many, extrapolated from a run of MC_REPS replications, whose
    own distance from the exact PMF is printed beside the noise expected at MC_REPS.

Run:  python benchmarks/bench_exact_network.py [T]
"""

import math
import statistics
import sys
import time
from collections import defaultdict

import numpy as np
import scipy.sparse as sp

import movra
import network_panel

T = int(sys.argv[1]) if len(sys.argv) > 1 else 300
EXACT_BUDGET = 60.0  # seconds of exact steps per network
RIVAL_MAX_STATES = 50000
MC_REPS = 20000


# ---- the exact model --------------------------------------------------------------------

def run_exact(network):
    net = network_panel.build(network)
    started = time.perf_counter()
    while net.time < T and time.perf_counter() - started < EXACT_BUDGET:
        net.step()
    net.mark()
    times = []
    for _ in range(3):
        t0 = time.perf_counter()
        net.step()
        times.append(time.perf_counter() - t0)
        entries = net._last_step_entries
        net.restore()
    return net, statistics.median(times), entries


def node_pmfs(net, n):
    return [net.get_number_of_entities_at_node_pmf(i) for i in range(n)]


def tv(a, b):
    return 0.5 * sum(abs(a.get(k, 0.0) - b.get(k, 0.0)) for k in set(a) | set(b))


def mean(pmf):
    return sum(k * p for k, p in pmf.items())


# ---- (a) a scipy.sparse chain over the same support, built by hand -------------------------

def successors_factory(network):
    _, servers, arrivals, service, routing = network
    n = len(servers)
    arr = [[(a, p) for a, p in sorted(d.items()) if p > 0] for d in arrivals]
    svc = [[(s, p) for s, p in sorted(d.items()) if p > 0] for d in service]
    leave = [max(0.0, 1.0 - sum(row)) for row in routing]

    def fresh(i, k, memo={}):
        if (i, k) not in memo:
            dist = {(): 1.0}
            for _ in range(k):
                nxt = defaultdict(float)
                for ms, p in dist.items():
                    for s, q in svc[i]:
                        nxt[tuple(sorted(ms + (s,)))] += p * q
                dist = nxt
            memo[(i, k)] = list(dist.items())
        return memo[(i, k)]

    def split(i, k):
        out = []

        def rec(j, left, p, acc):
            if j == n:
                q = p * leave[i] ** left
                if q > 0:
                    out.append((acc, q))
                return
            r = routing[i][j]
            for m in range(left + 1):
                if m and r == 0:
                    break
                rec(j + 1, left - m, p * math.comb(left, m) * r ** m, acc + (m,))

        rec(0, k, 1.0, ())
        return out

    def inflows(done, memo={}):
        if done not in memo:
            dist = {(0,) * n: 1.0}
            for i, k in enumerate(done):
                if k:
                    nxt = defaultdict(float)
                    for u, p in dist.items():
                        for s, q in split(i, k):
                            nxt[tuple(a + b for a, b in zip(u, s))] += p * q
                    dist = nxt
            memo[done] = list(dist.items())
        return memo[done]

    def node_next(i, w, busy, memo={}):
        if (i, w, busy) not in memo:
            out = []
            for a, pa in arr[i]:
                z = w + a
                k = max(0, min(servers[i] - len(busy), z - len(busy)))
                for ms, pf in fresh(i, k):
                    out.append(((z, tuple(sorted(busy + ms))), pa * pf))
            memo[(i, w, busy)] = out
        return memo[(i, w, busy)]

    def successors(key):
        done = tuple(sum(1 for r in times if r == 1) for _, times in key)
        busy = [tuple(r - 1 for r in times if r > 1) for _, times in key]
        left = [z - d for (z, _), d in zip(key, done)]
        out = defaultdict(float)
        for u, pu in inflows(done):
            partial = [((), pu)]
            for i in range(n):
                partial = [(k + (s,), p * q) for k, p in partial for s, q in node_next(i, left[i] + u[i], busy[i])]
            for k, p in partial:
                out[k] += p
        return out

    return successors


def rival(network, state):
    keys = list(state)
    index = {k: i for i, k in enumerate(keys)}
    t0 = time.perf_counter()
    successors = successors_factory(network)
    rows, cols, vals = [], [], []
    for i, k in enumerate(keys):
        for s, p in successors(k).items():
            j = index.get(s)
            if j is not None:
                rows.append(i)
                cols.append(j)
                vals.append(p)
    P = sp.csr_matrix((vals, (rows, cols)), shape=(len(keys), len(keys)))
    PT = P.T.tocsr()
    v = np.array([state[k] for k in keys])
    for _ in range(50):
        v = PT @ v
    build_and_50 = time.perf_counter() - t0
    reps = []
    for _ in range(20):
        t1 = time.perf_counter()
        v = PT @ v
        reps.append(time.perf_counter() - t1)
    return build_and_50, statistics.median(reps), P.nnz


# ---- (b) numpy Monte Carlo of the true network ------------------------------------------

def sampler(pmf, rng):
    values = np.array(sorted(pmf), dtype=np.int64)
    cdf = np.cumsum([pmf[v] for v in values])
    cdf /= cdf[-1]
    return lambda size: values[np.minimum(np.searchsorted(cdf, rng.random(size), side="right"), len(values) - 1)]


def simulate(network, reps, steps, seed=1):
    _, servers, arrivals, service, routing = network
    n = len(servers)
    rng = np.random.default_rng(seed)
    draw_arrivals = [sampler(a, rng) for a in arrivals]
    draw_service = [sampler(s, rng) for s in service]
    pvals = [list(row) + [max(0.0, 1.0 - sum(row))] for row in routing]
    remaining = [np.zeros((reps, max(c, 1)), dtype=np.int64) for c in servers]  # 0: idle
    z = np.zeros((reps, n), dtype=np.int64)
    for _ in range(steps):
        inflow = np.zeros((reps, n), dtype=np.int64)
        for i in range(n):
            r = remaining[i]
            done = (r == 1).sum(axis=1)
            r[r > 0] -= 1
            z[:, i] -= done
            if done.any():
                inflow += rng.multinomial(done, pvals[i])[:, :n]
        for i in range(n):
            z[:, i] += inflow[:, i] + draw_arrivals[i](reps)
            if servers[i] == 0:
                continue
            r = remaining[i]
            idle = r == 0
            busy = servers[i] - idle.sum(axis=1)
            starters = np.clip(np.minimum(servers[i] - busy, z[:, i] - busy), 0, None)
            take = idle & (np.cumsum(idle, axis=1) <= starters[:, None])
            count = int(take.sum())
            if count:
                r[take] = draw_service[i](count)
    return z


def empirical_joint(z):
    keys, counts = np.unique(z, axis=0, return_counts=True)
    return {tuple(int(x) for x in k): c / len(z) for k, c in zip(keys, counts)}


# ---- the panel ----------------------------------------------------------------------------

def main():
    print(f"step {T}; times in ms unless stated")
    header = (f"{'network':26s} {'states':>8s} {'entries':>9s} {'step':>8s} {'ns/entry':>8s} | "
              f"{'indep step':>10s} {'mean err':>8s} {'TV':>6s} | {'(a) build+50':>12s} {'warm CSR':>9s} "
              f"{'nnz':>8s} | {'(b) reps':>9s} {'MC time':>9s} {'MC TV/noise':>13s}")
    print(header)
    for network in network_panel.PANEL:
        name, servers = network[0], network[1]
        n = len(servers)
        exact, step_s, entries = run_exact(network)
        steps = exact.time
        indep = network_panel.build(network, movra.StandardNetworkMultiserver)
        for _ in range(steps):
            indep.step()
        t0 = time.perf_counter()
        indep.mark()
        indep.step()
        indep_s = time.perf_counter() - t0
        indep.restore()
        ex_nodes, in_nodes = node_pmfs(exact, n), node_pmfs(indep, n)
        mean_err = max(abs(mean(b) - mean(a)) / max(mean(a), 1e-12) for a, b in zip(ex_nodes, in_nodes))
        node_tv = max(tv(a, b) for a, b in zip(ex_nodes, in_nodes))
        state = exact.internal_state
        if len(state) <= RIVAL_MAX_STATES:
            build50, warm, nnz = rival(network, state)
            rival_text = f"{build50:11.2f}s {warm * 1e3:9.3f} {nnz:8d}"
        else:
            rival_text = f"{'(skipped)':>12s} {'':>9s} {'':>8s}"
        joint = exact.get_joint_number_of_entities_pmf(list(range(n)))
        spread = sum(math.sqrt(p * (1 - p)) for p in joint.values())
        needed = (spread / (math.sqrt(2 * math.pi) * 1e-3)) ** 2
        t0 = time.perf_counter()
        z = simulate(network, MC_REPS, steps)
        mc_s = time.perf_counter() - t0
        noise = spread / math.sqrt(2 * math.pi * MC_REPS)
        mc_tv = tv(empirical_joint(z), joint)
        print(f"{name:26s} {len(state):8d} {entries:9d} {step_s * 1e3:8.2f} {step_s * 1e9 / max(entries, 1):8.0f} | "
              f"{indep_s * 1e3:10.3f} {mean_err * 100:7.1f}% {node_tv:6.3f} | {rival_text} | "
              f"{needed:9.2e} {mc_s * needed / MC_REPS:8.1f}s {mc_tv:6.4f}/{noise:6.4f}"
              + ("" if steps == T else f"  (step {steps})"), flush=True)


if __name__ == "__main__":
    main()
