"""Brute-force joint chain of a network of multiserver stations, entity by entity.

Independent of the model under test: every busy entity, every routed completion and every
fresh service draw is enumerated on its own (no binomials, multinomials or multiset
tables), and the state is the plain Python key the model publishes:
((z0, (r, ...)), (z1, (r, ...)), ...) with the remaining times sorted.
"""

from collections import defaultdict

TAIL_MASS = 1e-9


def _positive(pmf):
    return [(v, p) for v, p in sorted(pmf.items()) if p > 0]


def _spread(items):
    """Every combination of one choice per item: items is a list of [(choice, p), ...]."""
    out = [((), 1.0)]
    for choices in items:
        out = [(acc + (c,), w * p) for acc, w in out for c, p in choices]
    return out


def step(state, servers, arrivals, service, routing):
    """One step of the joint PMF `state` (dict key -> probability)."""
    n = len(servers)
    destinations = []
    for i in range(n):
        row = [(j, routing[i][j]) for j in range(n) if routing[i][j] > 0]
        leave = 1.0 - sum(routing[i])
        if leave > 0:
            row.append((None, leave))
        destinations.append(row)
    out = defaultdict(float)
    for key, p in state.items():
        # Completions: each busy entity at remaining time 1 leaves its server.
        finishing = []  # source node of each completing entity
        kept = []
        for i, (z, times) in enumerate(key):
            done = [r for r in times if r == 1]
            finishing += [i] * len(done)
            kept.append((z - len(done), [r - 1 for r in times if r > 1]))
        # Each completing entity picks its destination on its own.
        for routes, w_route in _spread([destinations[i] for i in finishing]):
            moved = [0] * n
            for d in routes:
                if d is not None:
                    moved[d] += 1
            for counts, w_arr in _spread([_positive(arrivals[i]) for i in range(n)]):
                at = [kept[i][0] + moved[i] + counts[i] for i in range(n)]
                # Each entity taking an idle server draws its own duration.
                starters = [max(0, min(servers[i] - len(kept[i][1]), at[i] - len(kept[i][1])))
                            for i in range(n)]
                draws = []
                for i in range(n):
                    draws += [_positive(service[i])] * starters[i]
                for fresh, w_fresh in _spread(draws):
                    new, k = [], 0
                    for i in range(n):
                        times = kept[i][1] + list(fresh[k:k + starters[i]])
                        k += starters[i]
                        new.append((at[i], tuple(sorted(times))))
                    out[tuple(new)] += p * w_route * w_arr * w_fresh
    return cut(out)


def cut(dist):
    """Drops the least probable states while their total stays within TAIL_MASS."""
    total = sum(dist.values())
    dropped = 0.0
    kept = dict(dist)
    for key, p in sorted(dist.items(), key=lambda e: (e[1], e[0])):
        if dropped + p > TAIL_MASS * total:
            break
        dropped += p
        del kept[key]
    s = sum(kept.values())
    return {k: v / s for k, v in kept.items()}


def total_variation(a, b):
    return 0.5 * sum(abs(a.get(k, 0.0) - b.get(k, 0.0)) for k in set(a) | set(b))
