"""Brute-force references for the exact models, written from the queue's rules alone.

The state is {(z, (r_1, ..., r_b)): p} with the busy servers' remaining times sorted.
Every server and every arrival is handled one by one (each starter's duration drawn
separately with itertools.product), so nothing here shares a shortcut with the module.
"""

from __future__ import annotations

import itertools
import math
from collections import defaultdict

TAIL = 1e-8 / 2.0

State = dict[tuple[int, tuple[int, ...]], float]


def _binomial(n: int, q: float) -> dict[int, float]:
    return {j: math.comb(n, j) * q**j * (1 - q) ** (n - j) for j in range(n + 1)}


def tail_points(pmf: dict[int, float]) -> tuple[int, int]:
    """Smallest and largest z kept: each tail left out holds less than 5e-09."""
    zs = sorted(pmf)
    total, left = 0.0, zs[-1] + 1
    for z in zs:
        total += pmf[z]
        if total >= TAIL:
            left = z
            break
    total, right = 0.0, zs[0]
    for z in reversed(zs):
        total += pmf[z]
        if total >= TAIL:
            right = z
            break
    return left, right


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
        for gone, p_gone in _binomial(waiting, abandonment).items():
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
    marginal: dict[int, float] = defaultdict(float)
    for (z, _), p in out.items():
        marginal[z] += p
    total = sum(marginal.values())
    lo, hi = tail_points({z: p / total for z, p in marginal.items() if p > 0})
    kept = {k: p for k, p in out.items() if lo <= k[0] <= hi and p > 0}
    total = sum(kept.values())
    return {k: p / total for k, p in kept.items()}


def exact_reset(n: int, servers: int, service: dict[int, float]) -> State:
    out: State = defaultdict(float)
    for draws in itertools.product(service.items(), repeat=min(n, servers)):
        out[(n, tuple(sorted(s for s, _ in draws)))] += math.prod(p for _, p in draws)
    return dict(out)


def marginal(state: State) -> dict[int, float]:
    out: dict[int, float] = defaultdict(float)
    for (z, _), p in state.items():
        out[z] += p
    return dict(out)


def total_variation(p: dict, q: dict) -> float:
    return 0.5 * sum(abs(p.get(k, 0.0) - q.get(k, 0.0)) for k in set(p) | set(q))
