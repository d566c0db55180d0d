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
matter.  For an exact station, and a standard one with one server, only the busy
servers' remaining times and the number still to start before the tagged entity matter;
one chain over the two, started from every arriving position at once, gives the wait
exactly, a waiting room and impatience included (with impatience, the wait of the
entities that are served).  For a standard station with several servers the model's own
step is applied to the tagged entity and those ahead of it, with no arrivals after its
own, until it starts: the model's reading of the state.  Both run in the extension, as
do the completions of the next step and the change a step makes, which the steady state
watches.
"""

from __future__ import annotations

import copy
import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Generic, TypeVar

import numpy as np

from . import _movra
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

def _station_figures(model: Any) -> tuple[float, np.ndarray]:
    busy, completions = _movra._service_figures(model)
    return busy, np.frombuffer(completions)


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


# Past this many servers the completions' table covers only the servers that are busy.
_DENSE_SERVERS = 10**6


def _throughput(st: _Station) -> dict[int, float]:
    busiest = [len(busy) if st.exact else st.busy(z) for z, _, busy in st.groups]
    # A table over every server as before, where that is small (its sum, and so the bits,
    # depend on its length); 2**31 - 1 servers would take 16 GB each for it and the
    # factorials.
    most = max(st.c, 0) if st.c <= _DENSE_SERVERS else max(busiest)
    if st.exact:  # servers lowered while busy leave more busy than there are servers
        most = max([most] + busiest)
    out = np.zeros(most + 1)
    log_factorials = _log_factorials(most)
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
    c = model.number_of_servers
    return _station_figures(model)[0] / c if c > 0 else math.nan


def throughput_pmf(model: Any, node: int | None = None) -> Any:
    """PMF of the number of service completions in the next step; for a network per
    node (a list when ``node`` is None)."""
    _check_node(model, node)
    if _is_network(model):
        if node is None:
            return [_throughput(_station(model, k)) for k in _nodes(model)]
        return _throughput(_station(model, node))
    return _finish(0, _station_figures(model)[1].copy(), 0.0)


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


def _check_position(model: Any, position: int | None) -> None:
    _station_only(model, "waiting_time_pmf")
    if position is not None and (isinstance(position, bool) or not isinstance(position, int)
                                 or position < 0):
        raise ValueError(f"position must be a non-negative integer, got {position!r}")


def _wait(model: Any, position: int | None) -> np.ndarray:
    """PMF array of the waiting time (see waiting_time_pmf)."""
    _check_position(model, position)
    return np.frombuffer(_movra._waiting_time(model, position))


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
    tails are cut like the models' (less than 5e-9 per side).

    With ``abandonment_probability`` > 0 (exact station) it is the wait of the entities
    that are served, a PMF summing to 1: those who leave the line first are not counted,
    as a served call's answer time is.  Raises ValueError without servers, without
    arrivals, without such an entity, or when every such entity leaves before service.
    """
    _check_position(model, position)
    return _movra._waiting_time(model, position, _MODEL_TAIL)  # type: ignore[no-any-return]


def service_level(model: Any, t: float) -> float:
    """P(wait <= t) for an entity arriving in the next step (see waiting_time_pmf; with
    impatience, among those served)."""
    wait = _wait(model, None)
    if t != t:
        raise ValueError("t must be a number of steps, got nan")
    if t < 0:
        return 0.0
    # Past the last wait every wait is within t (and t = inf has no integer floor).
    last = len(wait) if t >= len(wait) else int(math.floor(t)) + 1
    return float(min(wait[:last].sum(), 1.0))


# The dense convolution of the wait with the service (as before: its bits) while it
# costs under about a second and arrays of 80 MB; beyond, one over the service's values.
_DENSE_PRODUCTS = 10**9
_DENSE_SERVICE = 10**7


def sojourn_time_pmf(model: Any, *, position: int | None = None) -> dict[int, float]:
    """PMF of the waiting time plus the service duration (see waiting_time_pmf)."""
    wait = _wait(model, position)
    pmf = model.service_duration_pmf
    top = max(pmf)
    if top < _DENSE_SERVICE and len(wait) * (top + 1) <= _DENSE_PRODUCTS:
        return _finish(0, np.convolve(wait, _array(pmf)), _MODEL_TAIL)
    # A long service (up to 2**31 - 1 steps): dense arrays over its range would take
    # gigabytes and the convolution hours, so only the sums that occur are formed.
    at = np.flatnonzero(wait)
    values = sorted(v for v, p in pmf.items() if p > 0)
    keys, inverse = np.unique(np.concatenate([at + v for v in values]), return_inverse=True)
    weights = np.zeros(len(keys))
    np.add.at(weights, inverse, np.concatenate([wait[at] * pmf[v] for v in values]))
    p = weights / weights.sum()
    # _finish's tail cut: zeros between the values move no cumulative sum.
    half = _MODEL_TAIL / 2.0
    lo = int(np.searchsorted(np.cumsum(p), half, side="left"))
    hi = len(p) - 1 - int(np.searchsorted(np.cumsum(p[::-1]), half, side="left"))
    lo, hi = min(lo, hi), max(lo, hi)
    p = p[lo:hi + 1] / p[lo:hi + 1].sum()
    return {int(k): float(v) for k, v in zip(keys[lo:hi + 1], p) if v > 0.0}


# ---- steady state --------------------------------------------------------------------

@dataclass(frozen=True)
class SteadyState(Generic[M]):
    """A model at its stationary state: ``model`` is a copy stepped until the number in
    system (at every node) moved by less than the tolerance in total variation."""

    model: M
    steps: int
    change: float
    converged: bool


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
    change = math.inf
    steps = 0
    while steps < max_steps and not change < tol:
        change = _movra._step_change(work)
        steps += 1
    return SteadyState(work, steps, change, change < tol)

