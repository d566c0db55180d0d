"""Independent references for the tests, written from the description of each model or
from the queue's rules alone, with dictionaries and numpy, and the PMF helpers the tests
share. Nothing here calls the module except the builder `station`.

- `network_step`: the standard network step (flows combined by convolution, each node
  mapped with its own-node routing, cut at 5e-09 per tail and renormalised); a station is
  a network of one node with no routing (`station_step`). It forms each node's completion
  binomials once and shares one enumeration between the two maps;
  `network_step_as_written` takes neither shortcut (the benchmarks' plain rival).
- `chain_step`: the exact (z, ell) Markov chain of a one-server station, with numpy.
- `exact_step`, `exact_reset`: the true queue for the exact models. The state is
  {(z, (r_1, ..., r_b)): p} with the busy servers' remaining times sorted. Every server and
  every arrival is handled one by one (each starter's duration drawn separately with
  itertools.product), so nothing there shares a shortcut with the module.
"""

from __future__ import annotations

import itertools
import math
from collections import defaultdict

# numpy and movra are imported where they are used: the benchmarks take the PMF helpers
# from here into processes that must load neither.

TAIL = 1e-08 / 2.0


def poisson(mean, cut=1e-12):
    pmf, k, p = {}, 0, math.exp(-mean)
    while p >= cut or k <= mean:
        pmf[k] = p
        k += 1
        p *= mean / k
    return pmf


def uniform(lo, hi):
    return {v: 1.0 / (hi - lo + 1) for v in range(lo, hi + 1)}


def station(servers=1, arrivals=None, service=None, state=None, reset=None):
    import movra

    m = movra.StandardMultiserver()
    m.number_of_servers = servers
    if arrivals is not None:
        m.number_of_arrivals_pmf = arrivals
    if service is not None:
        m.service_duration_pmf = service
    if state is not None:
        m.internal_state = state
    if reset is not None:
        m.reset_with_number_of_entities_in_system(reset)
    return m


def conditional(state, z):
    row = {ell: p for (zz, ell), p in state.items() if zz == z}
    total = sum(row.values())
    return {ell: p / total for ell, p in row.items()}


def binomial(n, p):
    if p <= 0:
        return {0: 1.0}
    if p >= 1:
        return {n: 1.0}
    return {k: math.comb(n, k) * p**k * (1 - p) ** (n - k) for k in range(n + 1)}


def add(acc, key, weight):
    acc[key] = acc.get(key, 0.0) + weight


def normalised(acc):
    kept = {k: w for k, w in acc.items() if w > 0}
    total = sum(kept.values())
    return {k: w / total for k, w in kept.items()}


def convolution(p, q):
    acc = {}
    for x, px in p.items():
        for y, py in q.items():
            add(acc, x + y, px * py)
    return normalised(acc)


def marginal(state):
    acc = {}
    for (z, _), p in state.items():
        add(acc, z, p)
    return acc


def tails(p):
    low, high = min(p), max(p)
    left, total = high + 1, 0.0
    for v in range(low, high + 1):
        total += p.get(v, 0.0)
        if total >= TAIL:
            left = v
            break
    right, total = low, 0.0
    for v in range(high, low - 1, -1):
        total += p.get(v, 0.0)
        if total >= TAIL:
            right = v
            break
    return left, right


def network_step(servers, arrivals, service, routing, states):
    n = len(servers)
    completions = [
        {
            z: binomial(min(z, servers[k]), conditional(states[k], z).get(1, 0.0))
            for z in marginal(states[k])
        }
        for k in range(n)
    ]
    inflow = [{0: 1.0} for _ in range(n)]
    for s in range(n):
        for t in range(n):
            if t == s:
                continue
            acc = {}
            for z, pz in marginal(states[s]).items():
                for d, pd in completions[s][z].items():
                    for phi, pphi in binomial(d, routing[s][t]).items():
                        add(acc, phi, pz * pd * pphi)
            inflow[t] = convolution(inflow[t], normalised(acc))
    new = []
    for k in range(n):
        c = servers[k]
        dist_a = convolution(arrivals[k], inflow[k])
        outcomes = []
        for z, pz in marginal(states[k]).items():
            for d, pd in completions[k][z].items():
                for phi, pphi in binomial(d, routing[k][k]).items():
                    for a, pa in dist_a.items():
                        outcomes.append((z, d, z - d + phi + a, pz * pd * pphi * pa))
        partial = {}
        for _, _, zprime, w in outcomes:
            add(partial, zprime, w)
        left, right = tails(normalised(partial))
        acc = {}
        for z, d, zprime, w in outcomes:
            if not left <= zprime <= right:
                continue
            if zprime == 0 or c == 0:
                for ell, pe in service[k].items():
                    add(acc, (zprime, ell), w * pe)
                continue
            q = (min(z, c) - d) / min(zprime, c)
            for old, po in ((0, 1 - q), (1, q)):
                if po <= 0:
                    continue
                if old:
                    given = conditional(states[k], z)
                    dist = normalised({e - 1: p for e, p in given.items() if e != 1})
                else:
                    dist = service[k]
                for ell, pe in dist.items():
                    add(acc, (zprime, ell), w * po * pe)
        new.append(normalised(acc))
    return new


def network_step_as_written(servers, arrivals, service, routing, states):
    """network_step without its two shortcuts, as the maps are stated operation by
    operation: every flow and each of a node's two maps forms the completion binomials of
    its z again, and the partial and full maps enumerate their outcomes separately.
    Everything else is network_step's (a node's arrivals formed once per map, relabel
    formed for every outcome that uses it)."""
    n = len(servers)

    def completions(k, z):
        return binomial(min(z, servers[k]), conditional(states[k], z).get(1, 0.0))

    def flow(s, t):
        acc = {}
        for z, pz in marginal(states[s]).items():
            for d, pd in completions(s, z).items():
                for phi, pphi in binomial(d, routing[s][t]).items():
                    add(acc, phi, pz * pd * pphi)
        return normalised(acc)

    def outcomes(k, dist_a):
        for z, pz in marginal(states[k]).items():
            for d, pd in completions(k, z).items():
                for phi, pphi in binomial(d, routing[k][k]).items():
                    for a, pa in dist_a.items():
                        yield z, d, z - d + phi + a, pz * pd * pphi * pa

    def relabel(k, z):
        given = conditional(states[k], z)
        return normalised({e - 1: p for e, p in given.items() if e != 1})

    def partial_map(k, inflow):
        acc = {}
        for _, _, zprime, w in outcomes(k, convolution(arrivals[k], inflow)):
            add(acc, zprime, w)
        return normalised(acc)

    def full_map(k, inflow, left, right):
        c, acc = servers[k], {}
        for z, d, zprime, w in outcomes(k, convolution(arrivals[k], inflow)):
            if not left <= zprime <= right:
                continue
            if zprime == 0 or c == 0:
                for ell, pe in service[k].items():
                    add(acc, (zprime, ell), w * pe)
                continue
            q = (min(z, c) - d) / min(zprime, c)
            for old, po in ((0, 1 - q), (1, q)):
                if po <= 0:
                    continue
                for ell, pe in (relabel(k, z) if old else service[k]).items():
                    add(acc, (zprime, ell), w * po * pe)
        return normalised(acc)

    inflow = [{0: 1.0} for _ in range(n)]
    for s in range(n):
        for t in range(n):
            if t != s:
                inflow[t] = convolution(inflow[t], flow(s, t))
    new = []
    for k in range(n):
        left, right = tails(partial_map(k, inflow[k]))
        new.append(full_map(k, inflow[k], left, right))
    return new


def station_step(servers, arrivals, service, state):
    """One step of a station: a network of one node that routes nothing."""
    return network_step([servers], [arrivals], [service], [[0.0]], [state])[0]


def as_array(pmf):
    import numpy as np

    out = np.zeros(max(pmf) + 1)
    for k, p in pmf.items():
        out[k] = p
    return out


def chain_step(P, arrivals, service, cut):
    """One step of the exact (z, ell) chain of a single-server station.

    The entity in service finishes when ell == 1; then the next one, if any, starts with a
    fresh service time, as does the first arrival into an empty station. An entity that
    does not finish has ell - 1 left. With z = 0 nobody is in service and ell is unused.
    """
    import numpy as np

    A = as_array(arrivals)
    S = as_array(service)
    width = max(P.shape[1], len(S))
    P = np.pad(P, ((0, 0), (0, width - P.shape[1])))
    S = np.pad(S, (0, width - len(S)))
    new = np.zeros((P.shape[0] + len(A), width))
    for z in range(P.shape[0]):
        row = P[z]
        if not row.any():
            continue
        if z == 0:
            for a in np.nonzero(A)[0]:
                new[a] += row.sum() * A[a] * S
            continue
        assert row[0] == 0.0
        done = row[1]
        going_on = row.copy()
        going_on[1] = 0.0
        for a in np.nonzero(A)[0]:
            new[z - 1 + a] += done * A[a] * S
            new[z + a, :-1] += A[a] * going_on[1:]
    if cut:
        pz = new.sum(axis=1)
        pz = pz / pz.sum()
        lo = int(np.argmax(np.cumsum(pz) >= TAIL))
        hi = len(pz) - 1 - int(np.argmax(np.cumsum(pz[::-1]) >= TAIL))
        new[:lo] = 0.0
        new[hi + 1 :] = 0.0
    new /= new.sum()
    return new


def to_array(state, shape):
    import numpy as np

    out = np.zeros(shape)
    for (z, e), p in state.items():
        out[z, e] = p
    return out


def initial_array(m):
    state = m.internal_state
    return to_array(state, (max(z for z, _ in state) + 1, max(e for _, e in state) + 1))


# ---- the exact models ------------------------------------------------------------------

State = dict[tuple[int, tuple[int, ...]], float]


def exact_step(
    state: State,
    servers: int,
    arrivals: dict[int, float],
    service: dict[int, float],
    capacity: int | None = None,
    abandonment: float = 0.0,
) -> State:
    """One step of the true queue: completions, abandonments, arrivals, service starts."""
    out: State = defaultdict(float)
    for (z, times), p in state.items():
        left = tuple(r - 1 for r in times if r > 1)
        done = len(times) - len(left)
        waiting = z - len(times)
        for gone, p_gone in binomial(waiting, abandonment).items():
            z1 = z - done - gone
            for a, p_a in arrivals.items():
                if capacity is not None:
                    a = min(a, max(capacity - z1, 0))
                z2 = z1 + a
                starters = max(min(z2, servers) - len(left), 0)
                for draws in itertools.product(service.items(), repeat=starters):
                    w = p * p_gone * p_a
                    for _, p_s in draws:
                        w *= p_s
                    out[(z2, tuple(sorted(left + tuple(s for s, _ in draws))))] += w
    pz = marginal(out)
    total = sum(pz.values())
    lo, hi = tails({z: p / total for z, p in pz.items() if p > 0})
    kept = {k: p for k, p in out.items() if lo <= k[0] <= hi and p > 0}
    total = sum(kept.values())
    return {k: p / total for k, p in kept.items()}


def exact_reset(n: int, servers: int, service: dict[int, float]) -> State:
    out: State = defaultdict(float)
    for draws in itertools.product(service.items(), repeat=min(n, servers)):
        out[(n, tuple(sorted(s for s, _ in draws)))] += math.prod(p for _, p in draws)
    return dict(out)


def total_variation(p: dict, q: dict) -> float:
    return 0.5 * sum(abs(p.get(k, 0.0) - q.get(k, 0.0)) for k in set(p) | set(q))


def fcfs_wait(state, servers, service, arrivals=None, position=None, capacity=None,
              abandonment=0.0):
    """Wait of one tagged entity in the true first-come-first-served queue, followed step
    by step from an exact-form state {(z, (r_1, ..., r_b)): p}: an arrival of the next step
    (position None; position j in its batch weighted P(A > j) / E[A], lost when the room is
    full after the completions and departures) or the entity with `position` entities
    waiting ahead now. Each step the busy servers count down, each entity waiting since
    before the step leaves with probability `abandonment`, free servers take the line's
    head, each starter's duration drawn one by one. Returns {steps: p} for the entities
    served, an arrival's wait counted from its own step (0: it starts at once)."""
    def survivors(n):
        return [(s, math.comb(n, s) * (1 - abandonment) ** s * abandonment ** (n - s))
                for s in range(n + 1)] if abandonment else [(n, 1.0)]

    starts = defaultdict(float)
    if position is None:
        mean = sum(a * p for a, p in arrivals.items())
        for (z, busy), p in state.items():
            done = sum(r == 1 for r in busy)
            for stay, q in survivors(z - len(busy)):
                for j in range(max(arrivals)):
                    w = sum(r for a, r in arrivals.items() if a > j) / mean
                    if capacity is None or z - done - (z - len(busy) - stay) + j + 1 <= capacity:
                        starts[busy, stay + j] += p * q * w
        offset = 1
    else:
        for (z, busy), p in state.items():
            if z - len(busy) > position:
                starts[busy, position] += p
        offset = 0
    out, frontier, t = defaultdict(float), starts, 0
    while frontier:
        t += 1
        if t > offset and abandonment:  # an arrival stays through its own step
            thinned = defaultdict(float)
            for (busy, ahead), p in frontier.items():
                for stay, q in survivors(ahead):
                    thinned[busy, stay] += p * q * (1 - abandonment)
            frontier = thinned
        following = defaultdict(float)
        for (busy, ahead), p in frontier.items():
            kept = [r - 1 for r in busy if r > 1]
            free = max(servers - len(kept), 0)
            if ahead < free:
                out[t - offset] += p
                continue
            for draws in itertools.product(service.items(), repeat=free):
                q = p * math.prod(pr for _, pr in draws)
                following[tuple(sorted(kept + [d for d, _ in draws])), ahead - free] += q
        frontier = {key: p for key, p in following.items() if p > 1e-18}
    served = sum(out.values())
    return {w: p / served for w, p in out.items()}
