"""Planning figures from a model's current state: waiting and sojourn times, service
level, utilisation, throughput, offered load and the steady state.

Every function reads the model (its configuration and ``internal_state``) and leaves it
as it was.  A station's state pairs the number in system z with the remaining service
time of one entity in service; with c >= 2 servers the busy servers' remaining times are
read as independent draws from that conditional PMF, the station model's own reading.
An exact station's state lists every busy server's remaining time, and its answers are
exact.  With one server both are exact.  Networks answer utilisation, throughput and
load per node.

Waiting times rest on one fact of first-come-first-served service: later arrivals never
matter.  So a copy of the model that holds only the tagged entity and those ahead of it,
with no arrivals, is stepped until its number in system is at most c, the step in which
the tagged entity starts; exact wherever the model's own steps are.  With a waiting room
a lost arrival would look served that way, so there the wait is counted instead: an
entity starts when the servers have freed as many places as there are entities ahead
of it, plus one; each server frees places at its remaining time and then after every
fresh service duration, independently of the others, so the step of the K-th freed
place comes from the convolution of the servers' counts.  Waiting times with
abandonment are not computed.

The numerics are numpy over arrays sized by the state and the waiting-time horizon.
"""

from __future__ import annotations

import copy
import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Generic, TypeVar

import numpy as np

from .dist import _finish

__all__ = ["SteadyState", "offered_load", "service_level", "sojourn_time_pmf",
           "steady_state", "throughput_pmf", "utilisation", "waiting_time_pmf",
           "blocking_probability"]

# The models drop less than this much mass from the tails of every new PMF.
_MODEL_TAIL = 1e-8

M = TypeVar("M")


# ---- reading a model -----------------------------------------------------------------

def _is_network(model: Any) -> bool:
    return hasattr(model, "get_number_of_nodes")


def _nodes(model: Any) -> range:
    return range(model.get_number_of_nodes())


def _check_node(model: Any, node: int | None) -> None:
    if node is None:
        return
    if not _is_network(model):
        raise TypeError("node= applies to networks only")
    if isinstance(node, bool) or not isinstance(node, int):
        raise TypeError(f"node must be an integer, not {type(node).__name__}")
    if not 0 <= node < model.get_number_of_nodes():
        raise IndexError(f"node {node} is not in 0..{model.get_number_of_nodes() - 1}")


def _station_only(model: Any, what: str) -> None:
    if _is_network(model):
        raise TypeError(f"{what} takes a station, not a network")


def _mean(pmf: Mapping[int, float]) -> float:
    return math.fsum(v * p for v, p in pmf.items())


class _Station:
    """A station's configuration and state in the form the computations use.

    ``groups`` lists (z, p, busy) where busy is either a tuple of the busy servers'
    remaining times (exact form) or a dict, the PMF of one busy server's remaining time
    given z (station form: min(z, c) independent draws)."""

    def __init__(self, c: int, arrivals: Mapping[int, float], service: Mapping[int, float],
                 state: Mapping[Any, float], capacity: int | None = None) -> None:
        self.c = c
        self.arrivals = dict(arrivals)
        self.service = dict(service)
        self.capacity = capacity
        exact = any(isinstance(key[1], tuple) for key in state)
        self.exact = exact
        by_z: dict[int, dict[Any, float]] = {}
        for (z, busy), p in state.items():
            if p > 0.0:
                by_z.setdefault(z, {})[busy] = by_z.setdefault(z, {}).get(busy, 0.0) + p
        total = math.fsum(math.fsum(d.values()) for d in by_z.values())
        self.groups: list[tuple[int, float, Any]] = []
        for z in sorted(by_z):
            d = by_z[z]
            if exact:
                for busy, p in sorted(d.items()):
                    self.groups.append((z, p / total, tuple(busy)))
            else:
                pz = math.fsum(d.values())
                self.groups.append((z, pz / total, {ell: p / pz for ell, p in sorted(d.items())}))

    def busy(self, z: int) -> int:
        return min(z, self.c)


def _station(model: Any, node: int | None = None) -> _Station:
    if _is_network(model):
        assert node is not None
        # An exact network gives each node's exact state on its own.
        state = (model.get_internal_state_at_node(node)
                 if hasattr(model, "get_internal_state_at_node") else model.internal_state[node])
        return _Station(model.get_number_of_servers_at_node(node),
                        model.get_number_of_external_arrivals_at_node_pmf(node),
                        model.get_service_duration_at_node_pmf(node), state)
    return _Station(model.number_of_servers, model.number_of_arrivals_pmf,
                    model.service_duration_pmf, model.internal_state,
                    getattr(model, "capacity", None))


# ---- utilisation, throughput, offered load -------------------------------------------

def _utilisation(st: _Station) -> float:
    if st.c <= 0:
        return math.nan
    if st.exact:
        busy = math.fsum(p * len(r) for _, p, r in st.groups)
    else:
        busy = math.fsum(p * st.busy(z) for z, p, _ in st.groups)
    return busy / st.c


def _binomial(n: int, p: float, log_factorials: np.ndarray | None = None) -> np.ndarray:
    """Binomial(n, p) over 0..n, in log space; ``log_factorials`` (log k! for k up to at
    least n) saves recomputing them for many PMFs."""
    out = np.zeros(n + 1)
    if p <= 0.0 or n == 0:
        out[0] = 1.0
        return out
    if p >= 1.0:
        out[n] = 1.0
        return out
    if log_factorials is None:
        log_factorials = _log_factorials(n)
    k = np.arange(n + 1)
    return np.exp(log_factorials[n] - log_factorials[k] - log_factorials[n - k]
                  + k * math.log(p) + (n - k) * math.log1p(-p))


def _log_factorials(n: int) -> np.ndarray:
    return np.concatenate(([0.0], np.cumsum(np.log(np.arange(1, n + 1, dtype=float)))))


def _throughput(st: _Station) -> dict[int, float]:
    out = np.zeros(max(st.c, 0) + 1)
    log_factorials = _log_factorials(max(st.c, 0))
    for z, p, busy in st.groups:
        if st.exact:
            out[sum(1 for r in busy if r == 1)] += p
        else:
            n = st.busy(z)
            if n > 0:
                out[: n + 1] += p * _binomial(n, busy.get(1, 0.0), log_factorials)
            else:
                out[0] += p
    return _finish(0, out, 0.0)


def utilisation(model: Any, node: int | None = None) -> Any:
    """Expected number of busy servers over the number of servers, in the current state
    (NaN without servers).  For a network: the node's figure, or a list over the nodes
    when ``node`` is None."""
    _check_node(model, node)
    if _is_network(model):
        if node is None:
            return [_utilisation(_station(model, k)) for k in _nodes(model)]
        return _utilisation(_station(model, node))
    return _utilisation(_station(model))


def throughput_pmf(model: Any, node: int | None = None) -> Any:
    """PMF of the number of service completions in the next step; for a network per
    node (a list when ``node`` is None)."""
    _check_node(model, node)
    if _is_network(model):
        if node is None:
            return [_throughput(_station(model, k)) for k in _nodes(model)]
        return _throughput(_station(model, node))
    return _throughput(_station(model))


def _network_rates(model: Any) -> np.ndarray:
    """Mean arrivals per step at every node, external and routed, from the traffic
    equations; inf where they have no finite solution (a closed loop)."""
    n = model.get_number_of_nodes()
    ext = np.array([_mean(model.get_number_of_external_arrivals_at_node_pmf(k))
                    for k in range(n)])
    routing = np.array([[model.get_routing_probability(i, j) for j in range(n)]
                        for i in range(n)])
    try:
        rates = np.linalg.solve(np.eye(n) - routing.T, ext)
    except np.linalg.LinAlgError:
        return np.full(n, math.inf)
    return np.where(rates < -1e-12, math.inf, np.maximum(rates, 0.0))


def _load(rate: float, service: Mapping[int, float], c: int) -> float:
    work = rate * _mean(service)
    if work == 0.0:
        return 0.0
    return work / c if c > 0 else math.inf


def offered_load(model: Any, node: int | None = None) -> Any:
    """E[arrivals per step] x E[service duration] / servers: the long-run share of the
    servers' time the work needs (1 or more: the queue grows without bound).  For a
    network the arrivals include routed entities (traffic equations); a list over the
    nodes when ``node`` is None."""
    _check_node(model, node)
    if _is_network(model):
        rates = _network_rates(model)
        loads = [_load(float(rates[k]), model.get_service_duration_at_node_pmf(k),
                       model.get_number_of_servers_at_node(k)) for k in _nodes(model)]
        return loads if node is None else loads[node]
    return _load(_mean(model.number_of_arrivals_pmf), model.service_duration_pmf,
                 model.number_of_servers)


def _max_load(model: Any) -> float:
    load = offered_load(model)
    return max(load) if isinstance(load, list) else load


def blocking_probability(model: Any) -> float:
    """Expected arrivals lost to a full waiting room in the next step over the expected
    arrivals; 0 for a model without a capacity."""
    _station_only(model, "blocking_probability")
    method = getattr(model, "_blocking_probability", None)
    if method is not None:
        return float(method())
    return 0.0


# ---- waiting times -------------------------------------------------------------------

def _array(pmf: Mapping[int, float]) -> np.ndarray:
    out = np.zeros(max(pmf) + 1)
    for v, p in pmf.items():
        out[v] += p
    return out


class _Renewals:
    """Counts of places freed by servers.  ``ge[k - 1, n]`` is P(S_1 + ... + S_(k-1) <=
    n) for fresh service durations S, so a server whose remaining time is r has freed at
    least k places by step n with probability ``ge[k - 1, n - r]``."""

    def __init__(self, service: np.ndarray, count: int, horizon: int) -> None:
        self.horizon = horizon
        rows = np.zeros((count, horizon + 1))
        conv = np.zeros(horizon + 1)
        conv[0] = 1.0
        rows[0] = np.cumsum(conv)
        for k in range(1, count):
            conv = np.convolve(conv, service)[: horizon + 1]
            rows[k] = np.cumsum(conv)
        self.ge = rows

    def server(self, remaining: Mapping[int, float], count: int, horizon: int) -> np.ndarray:
        """PMF over k = 0..count (count meaning count or more) of the places one server
        frees by each step n = 0..horizon, its remaining time drawn from ``remaining``."""
        at_least = np.zeros((horizon + 1, count + 1))
        at_least[:, 0] = 1.0
        for r, p in remaining.items():
            if r <= horizon and p > 0.0:
                at_least[r:, 1:] += p * self.ge[:count, : horizon + 1 - r].T
        out = at_least.copy()
        out[:, :-1] -= at_least[:, 1:]
        return np.clip(out, 0.0, None)


def _convolve_counts(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Sum of two independent counts, per step, the last column holding 'count or more'."""
    count = a.shape[1] - 1
    out = np.zeros_like(a)
    for i in range(count):
        out[:, i:count] += a[:, i:i + 1] * b[:, : count - i]
    out[:, count] = np.clip(1.0 - out[:, :count].sum(axis=1), 0.0, None)
    return out


def _power(table: np.ndarray, n: int, cache: dict[Any, np.ndarray], key: Any) -> np.ndarray:
    if (key, n) in cache:
        return cache[key, n]
    if n == 1:
        out = table
    elif n % 2 == 0:
        half = _power(table, n // 2, cache, key)
        out = _convolve_counts(half, half)
    else:
        out = _convolve_counts(_power(table, n - 1, cache, key), table)
    cache[key, n] = out
    return out


def _freed_counts(st: _Station, busy: Any, z: int, count: int, horizon: int,
                  renewals: _Renewals, cache: dict[Any, np.ndarray]) -> np.ndarray:
    """PMF per step of the places all c servers free, given the busy servers' state."""
    tables: list[np.ndarray] = []
    idle_key = ("r", 1)
    if st.exact:
        multiplicity: dict[int, int] = {}
        for r in busy:
            multiplicity[r] = multiplicity.get(r, 0) + 1
        idle = st.c - len(busy)
        if idle > 0:
            multiplicity[1] = multiplicity.get(1, 0) + idle
        for r, m in sorted(multiplicity.items()):
            key = ("r", r)
            if (key, 1) not in cache:
                cache[key, 1] = renewals.server({r: 1.0}, count, horizon)
            tables.append(_power(cache[key, 1], m, cache, key))
    else:
        b = st.busy(z)
        if b > 0:
            key = ("z", z)
            cache[key, 1] = renewals.server(busy, count, horizon)
            tables.append(_power(cache[key, 1], b, cache, key))
        if st.c - b > 0:
            if (idle_key, 1) not in cache:
                cache[idle_key, 1] = renewals.server({1: 1.0}, count, horizon)
            tables.append(_power(cache[idle_key, 1], st.c - b, cache, idle_key))
    out = tables[0]
    for t in tables[1:]:
        out = _convolve_counts(out, t)
    return out


def _ahead(st: _Station, z: int, busy: Any) -> int:
    return z - (len(busy) if st.exact else st.busy(z))


def _arrival_positions(st: _Station) -> np.ndarray:
    """Weight of j entities ahead of a random arrival within its batch: P(A > j) / E[A]
    (a size-biased batch, a uniform position in it)."""
    arrivals = _array(st.arrivals)
    mean_a = float(np.dot(np.arange(len(arrivals)), arrivals))
    if not mean_a > 0.0:
        raise ValueError("no entity arrives in the next step")
    return np.clip(1.0 - np.cumsum(arrivals), 0.0, None)[:-1] / mean_a


def _wait_by_steps(model: Any, st: _Station, position: int | None) -> np.ndarray:
    """Waiting time, stepped by the model itself (exact where its steps are).

    Only the entities ahead of the tagged one, and the tagged one, matter, and nobody
    joins them: a copy of the model holding just those entities, with no arrivals, is
    stepped until its number in system is at most c (the tagged entity in service).
    The mass not yet in service is renormalised after each step, so the state stays
    small; the tails follow the models' rule."""
    work = copy.copy(model)
    c = st.c

    def in_service() -> tuple[float, int]:
        pz = work.get_number_of_entities_in_system_pmf()
        return math.fsum(p for z, p in pz.items() if z <= c), max(pz)

    out = [0.0]  # out[w] = P(W = w)
    left = 1.0  # P(W > len(out) - 1)
    if position is None:
        # The arrival step brings the tagged entity with the j entities of its batch
        # ahead of it, and nobody behind.
        work.number_of_arrivals_pmf = {j + 1: float(w) for j, w in
                                       enumerate(_arrival_positions(st)) if w > 0.0}
        work.step()
        started, top = in_service()
        out[0], left = started, 1.0 - started
    else:
        kept: dict[tuple[int, Any], float] = {}
        for (z, busy), p in model.internal_state.items():
            if z > c + position and p > 0.0:
                key = (c + position + 1, busy)
                kept[key] = kept.get(key, 0.0) + p
        if not kept:
            raise ValueError(f"no entity can have {position} entities waiting ahead of it "
                             "in this state")
        work.internal_state = kept
        started, top = 0.0, c + position + 1
    work.number_of_arrivals_pmf = {0: 1.0}
    while left >= _MODEL_TAIL / 2.0 and started < 1.0:
        if started > 0.0:
            work.apply_observation_range(c + 1, top + 1)
        work.step()
        started, top = in_service()
        out.append(left * started)
        left *= 1.0 - started
    return np.array(out)


def _wait(model: Any, position: int | None) -> np.ndarray:
    """PMF array of the waiting time (see waiting_time_pmf)."""
    _station_only(model, "waiting_time_pmf")
    if position is not None and (isinstance(position, bool) or not isinstance(position, int)
                                 or position < 0):
        raise ValueError(f"position must be a non-negative integer, got {position!r}")
    if getattr(model, "abandonment_probability", 0.0):
        raise NotImplementedError("waiting times with abandonment are not computed")
    st = _station(model)
    if st.c <= 0:
        raise ValueError("the station has no servers: nobody waiting is ever served")
    service = _array(st.service)
    if service[0] > 0.0:
        raise ValueError("service durations must be at least 1 step")
    if st.capacity is None:
        return _wait_by_steps(model, st, position)
    # The stepping above would count a lost arrival as served: with a waiting room,
    # count the places the servers free instead, admitting only those it holds.
    return _wait_by_renewals(st, service, position)


def _wait_by_renewals(st: _Station, service: np.ndarray, position: int | None) -> np.ndarray:
    smax = len(service) - 1
    # (z, p, busy, weight per needed count K, shift): W = T_K - shift, T_K the step in
    # which the K-th place frees.
    jobs: list[tuple[int, float, Any, dict[int, float]]] = []
    if position is None:
        position_weight = _arrival_positions(st)
        for z, p, busy in st.groups:
            ahead = _ahead(st, z, busy)
            weights: dict[int, float] = {}
            for j, w in enumerate(position_weight):
                if w <= 0.0:
                    continue
                if st.capacity is not None:
                    done = sum(1 for r in busy if r == 1) if st.exact else 0
                    if z - done + j + 1 > st.capacity:
                        continue  # lost, not waiting
                weights[ahead + j + 1] = weights.get(ahead + j + 1, 0.0) + p * w
            if weights:
                jobs.append((z, p, busy, weights))
        shift = 1
    else:
        for z, p, busy in st.groups:
            if _ahead(st, z, busy) > position:
                jobs.append((z, p, busy, {position + 1: p}))
        if not jobs:
            raise ValueError(f"no entity can have {position} entities waiting ahead of it "
                             "in this state")
        shift = 0
    total = math.fsum(w for *_, weights in jobs for w in weights.values())
    if not total > 0.0:
        raise ValueError("no arriving entity is admitted in the next step")

    count = max(max(weights) for *_, weights in jobs)
    top_r = max(max((max(b) if b else 1) for _, _, b, _ in jobs), 1)
    # The k-th place any server frees comes at the latest after its remaining time and
    # ceil(k / c) - 1 further services: a horizon that loses nothing.
    horizon = top_r + (-(-count // st.c)) * smax
    renewals = _Renewals(service, count, horizon)
    out = np.zeros(horizon + 1)
    cache: dict[Any, np.ndarray] = {}
    for z, _, busy, weights in jobs:
        # Every table has the same shape, so that the cache may share them.
        freed = _freed_counts(st, busy, z, count, horizon, renewals, cache)
        at_least = np.cumsum(freed[:, ::-1], axis=1)[:, ::-1]  # [n, k]: P(>= k by n)
        for k, w in weights.items():
            cdf = at_least[:, k]
            # P(T_K = n) for n = 1..horizon; nothing frees in step 0.
            step_pmf = np.diff(cdf)
            out[1 - shift: horizon + 1 - shift] += (w / total) * step_pmf
    return out


def waiting_time_pmf(model: Any, *, position: int | None = None) -> dict[int, float]:
    """PMF of the waiting time in steps, from arrival to the start of service.

    By default for an entity that arrives in the next step, chosen at random among that
    step's arrivals (size-biased batches, uniform position in the batch, first come
    first served): 0 when a server is free for it after the step's completions.  With
    ``position=k``: the remaining wait of the entity that has k entities waiting ahead
    of it now (1 if it starts during the coming step), given that there is one.

    Exact for one server and for an exact station; with several servers a standard
    station follows its own step's reading of the state (the busy servers' remaining
    times independent draws from the conditional PMF given z, at every step).  The
    tails are cut like the models' (less than 5e-9 per side).  Raises ValueError
    without servers, without arrivals or without such an entity, NotImplementedError
    with abandonment.
    """
    wait = _wait(model, position)
    return _finish(0, wait, _MODEL_TAIL)


def service_level(model: Any, t: float) -> float:
    """P(wait <= t) for an entity arriving in the next step (see waiting_time_pmf)."""
    wait = _wait(model, None)
    if t < 0:
        return 0.0
    return float(min(wait[: int(math.floor(t)) + 1].sum(), 1.0))


def sojourn_time_pmf(model: Any, *, position: int | None = None) -> dict[int, float]:
    """PMF of the waiting time plus the service duration (see waiting_time_pmf)."""
    wait = _wait(model, position)
    service = _array(model.service_duration_pmf)
    return _finish(0, np.convolve(wait, service), _MODEL_TAIL)


# ---- steady state --------------------------------------------------------------------

@dataclass(frozen=True)
class SteadyState(Generic[M]):
    """A model at its stationary state: ``model`` is a copy stepped until the number in
    system (at every node) moved by less than the tolerance in total variation."""

    model: M
    steps: int
    change: float
    converged: bool


def _marginals(model: Any) -> list[dict[int, float]]:
    if _is_network(model):
        return [model.get_number_of_entities_at_node_pmf(k) for k in _nodes(model)]
    return [model.get_number_of_entities_in_system_pmf()]


def _total_variation(a: Mapping[int, float], b: Mapping[int, float]) -> float:
    lo, hi = min(min(a), min(b)), max(max(a), max(b))
    diff = np.zeros(hi - lo + 1)
    diff[np.fromiter(a.keys(), np.intp, len(a)) - lo] = np.fromiter(a.values(), float, len(a))
    diff[np.fromiter(b.keys(), np.intp, len(b)) - lo] -= np.fromiter(b.values(), float, len(b))
    return 0.5 * float(np.abs(diff).sum())


def _bounded(model: Any) -> bool:
    """A waiting room or impatience keeps the queue finite whatever the load."""
    return (getattr(model, "capacity", None) is not None
            or bool(getattr(model, "abandonment_probability", 0.0)))


def _refuse_overload(model: Any) -> None:
    if _bounded(model):
        return
    load = _max_load(model)
    if not load < 1.0:
        raise ValueError(f"the offered load is {load:.6g}, not below 1: the queue has no "
                         "stationary state")


def steady_state(model: M, *, tol: float = 1e-10, max_steps: int = 100_000) -> SteadyState[M]:
    """Step a copy of the model until the number in system changes by less than ``tol``
    (total variation between two steps; the largest over the nodes of a network), or
    ``max_steps`` steps.  Refuses an offered load of 1 or more, unless a waiting room or
    abandonment keeps the queue finite."""
    if isinstance(max_steps, bool) or not isinstance(max_steps, int) or max_steps < 0:
        raise ValueError(f"max_steps must be a non-negative integer, got {max_steps!r}")
    if not tol >= 0.0:
        raise ValueError(f"tol must be non-negative, got {tol!r}")
    _refuse_overload(model)
    work = copy.copy(model)
    before = _marginals(work)
    change = math.inf
    steps = 0
    while steps < max_steps and not change < tol:
        work.step()  # type: ignore[attr-defined]
        steps += 1
        after = _marginals(work)
        change = max(_total_variation(a, b) for a, b in zip(before, after))
        before = after
    return SteadyState(work, steps, change, change < tol)

