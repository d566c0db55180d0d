"""Staffing: the fewest servers that meet a service level, for a stationary station
(``required_servers``) or interval by interval through a day (``staff_schedule``).

Each candidate number of servers is an independent model, so a candidate is evaluated
by a module-level function of plain data: any ``concurrent.futures`` executor (a Dask
client included) can run a batch of them in parallel.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from . import StandardMultiserver, planning
from .trajectory import _check_pmf

__all__ = ["required_servers", "staff_schedule"]

_Pmf = Mapping[int, float]


def _station(arrivals: _Pmf, service: _Pmf, servers: int, exact: bool) -> Any:
    package = sys.modules[__package__ or "movra"]
    kind = getattr(package, "ExactMultiserver", None) if exact else StandardMultiserver
    if kind is None:
        raise NotImplementedError("this build has no exact station: pass exact=False")
    model = kind()
    model.number_of_servers = servers
    model.number_of_arrivals_pmf = dict(arrivals)
    model.service_duration_pmf = dict(service)
    model.reset_with_number_of_entities_in_system(0)
    return model


def _stationary_level(arrivals: _Pmf, service: _Pmf, servers: int, exact: bool,
                      wait_within: float, tol: float, max_steps: int) -> float:
    model = _station(arrivals, service, servers, exact)
    if not planning.offered_load(model) < 1.0:
        return 0.0
    return planning.service_level(planning.steady_state(model, tol=tol,
                                                        max_steps=max_steps).model,
                                  wait_within)


def _interval(model: Any, arrivals: _Pmf, servers: int, steps: int,
              wait_within: float) -> tuple[float, float, Any]:
    """Service level and utilisation averaged over one interval's steps, and the model
    at its end."""
    model.number_of_arrivals_pmf = dict(arrivals)
    model.number_of_servers = servers
    levels: list[float] = []
    busy: list[float] = []
    for _ in range(steps):
        levels.append(planning.service_level(model, wait_within))
        busy.append(planning.utilisation(model))
        model.step()
    return math.fsum(levels) / steps, math.fsum(busy) / steps, model


def _evaluate(executor: Any, fn: Callable[..., Any], calls: list[tuple[Any, ...]]) -> list[Any]:
    if executor is None:
        return [fn(*args) for args in calls]
    futures = [executor.submit(fn, *args) for args in calls]
    return [f.result() for f in futures]


def _width(executor: Any) -> int:
    if executor is None:
        return 1
    workers = getattr(executor, "_max_workers", None)  # concurrent.futures pools
    if workers is None and hasattr(executor, "nthreads"):  # a Dask client
        try:
            workers = sum(executor.nthreads().values())
        except Exception:  # noqa: BLE001 - a client that cannot say counts as 4
            workers = None
    return max(int(workers or 4), 1)


def _check_target(wait_within: float, service_level: float) -> None:
    if not wait_within >= 0:
        raise ValueError(f"wait_within must be non-negative, got {wait_within!r}")
    if not 0.0 <= service_level <= 1.0:
        raise ValueError(f"service_level must be in [0, 1], got {service_level!r}")


def _check_pmfs(arrivals: Any, service: Any) -> None:
    _check_pmf(arrivals, "arrivals")
    _check_pmf(service, "service")
    # The models' setters check the PMFs; build one to hear their complaints early.
    probe = StandardMultiserver()
    probe.number_of_arrivals_pmf = dict(arrivals)
    probe.service_duration_pmf = dict(service)
    if min(probe.service_duration_pmf) < 1:
        raise ValueError("service durations must be at least 1 step")


def required_servers(arrivals: _Pmf, service: _Pmf, *, wait_within: float,
                     service_level: float, exact: bool = True, max_servers: int = 1000,
                     executor: Any = None, tol: float = 1e-10,
                     max_steps: int = 100_000) -> int:
    """The smallest number of servers whose stationary service level P(wait <=
    wait_within) reaches ``service_level``, for a station with these arrival and service
    duration PMFs.  Candidates run from the fewest servers with an offered load below 1
    upwards, a batch at a time on ``executor`` when one is given; ``exact=False`` uses
    the standard station's reading of several servers.  Raises ValueError when even
    ``max_servers`` falls short."""
    _check_target(wait_within, service_level)
    _check_pmfs(arrivals, service)
    work = planning._mean(arrivals) * planning._mean(service)
    if work == 0.0:
        return 0
    # Rounding in the PMFs' means may leave a load of 1 a hair below: never start there.
    first = int(math.floor(work * (1.0 + 1e-9))) + 1
    width = _width(executor)
    c = first
    while c <= max_servers:
        batch = list(range(c, min(c + width, max_servers + 1)))
        levels = _evaluate(executor, _stationary_level,
                           [(dict(arrivals), dict(service), n, exact, wait_within, tol,
                             max_steps) for n in batch])
        for n, level in zip(batch, levels):
            if level >= service_level:
                return n
        c = batch[-1] + 1
    raise ValueError(f"no number of servers up to {max_servers} reaches a service level "
                     f"of {service_level:g} within {wait_within:g} steps")


def staff_schedule(arrivals_per_interval: Sequence[_Pmf], service: _Pmf, *,
                   steps_per_interval: int, wait_within: float, service_level: float,
                   exact: bool = True, max_servers: int = 1000, executor: Any = None,
                   initial: Any = None) -> Any:
    """Servers interval by interval: for each interval's arrival PMF the fewest servers
    whose service level, averaged over the interval's steps, reaches the target, the
    state carried from one interval into the next (from empty, or from a copy of the
    station ``initial``).  More servers never make waits longer under first come first
    served, so each interval's answer is found by doubling and bisection.

    Returns a pandas DataFrame with one row per interval: ``interval``, ``servers``,
    ``service_level`` (reached) and ``utilisation`` (mean over the interval)."""
    import copy

    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    _check_target(wait_within, service_level)
    if isinstance(steps_per_interval, bool) or not isinstance(steps_per_interval, int) \
            or steps_per_interval < 1:
        raise ValueError(f"steps_per_interval must be a positive integer, "
                         f"got {steps_per_interval!r}")
    for a in arrivals_per_interval:
        _check_pmfs(a, service)
    model = copy.copy(initial) if initial is not None else _station(
        arrivals_per_interval[0] if arrivals_per_interval else {0: 1.0}, service, 1, exact)
    width = _width(executor)
    rows = []
    for i, arrivals in enumerate(arrivals_per_interval):
        results: dict[int, tuple[float, float, Any]] = {}

        def evaluate(candidates: list[int]) -> None:
            fresh = [n for n in candidates if n not in results]
            out = _evaluate(executor, _interval,
                            [(copy.copy(model), dict(arrivals), n, steps_per_interval,
                              wait_within) for n in fresh])
            results.update(zip(fresh, out))

        def ok(n: int) -> bool:
            return results[n][0] >= service_level

        # Doubling until a candidate meets the target, then bisection, each round a
        # batch of candidates.
        failed, met = 0, None
        while met is None:
            batch = sorted({min(failed + 2 ** j, max_servers) for j in range(width)})
            evaluate(batch)
            passing = [n for n in batch if ok(n)]
            if passing:
                met = passing[0]
                failed = max([failed] + [n for n in batch if n < met])
            elif batch[-1] >= max_servers:
                raise ValueError(f"interval {i}: no number of servers up to {max_servers} "
                                 f"reaches a service level of {service_level:g}")
            else:
                failed = batch[-1]
        while met - failed > 1:
            span = met - failed
            batch = sorted({failed + max(1, (span * (j + 1)) // (width + 1))
                            for j in range(width)} - {met})
            evaluate(batch)
            passing = [n for n in batch if ok(n)]
            if passing:
                met = passing[0]
            failed = max([failed] + [n for n in batch if n < met])
        level, busy, model = results[met]
        rows.append({"interval": i, "servers": met, "service_level": level,
                     "utilisation": busy})
    return pd.DataFrame(rows, columns=["interval", "servers", "service_level",
                                       "utilisation"])
