"""Runs as data: ``run`` steps a model through a (possibly time-varying) day and keeps
the PMF of the number in system at every step in a ``Trajectory``.

A run records only that marginal, so recording costs little next to the steps.  The
trajectory also keeps a copy of the model as it was and the configuration of every
step: steps are deterministic, so figures that need the whole state (throughput,
service level, the mass the tail rule dropped) replay the run once, when first asked.
"""

from __future__ import annotations

import copy
import math
import warnings
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np

from . import planning
from . import _movra, error

__all__ = ["OverloadWarning", "Trajectory", "run"]


class OverloadWarning(UserWarning):
    """A step of a run has an offered load of 1 or more: its queue grows without bound."""


# ---- validation of a run's arguments ---------------------------------------------------

def _check_pmf(pmf: Any, where: str) -> None:
    if not isinstance(pmf, Mapping):
        raise TypeError(f"{where}: a PMF must be a dict of value to probability, "
                        f"not {type(pmf).__name__}")
    for value, p in pmf.items():
        try:
            q = float(p)
        except (TypeError, ValueError):
            raise TypeError(f"{where}: the probability of {value!r} is not a number") from None
        if not 0.0 <= q <= 1.0:
            raise ValueError(f"{where}: the probability of {value!r} is {p!r}, "
                             "outside [0, 1]")


def _check_servers(n: Any, where: str) -> int:
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"{where}: a number of servers must be an integer, "
                        f"not {type(n).__name__}")
    if n < 0:
        raise ValueError(f"{where}: the number of servers must be non-negative, got {n}")
    return int(n)


def _schedule(value: Any, steps: int, name: str, constant: Callable[[Any], bool]) -> list[Any]:
    """One entry per step: a constant repeated, or a sequence of exactly ``steps``."""
    if value is None:
        return [None] * steps
    if constant(value):
        return [value] * steps
    if isinstance(value, (str, bytes)) or not isinstance(value, Sequence):
        raise TypeError(f"{name} must be a schedule (a sequence with one entry per step), "
                        f"not {type(value).__name__}")
    if len(value) != steps:
        raise ValueError(f"{name} has {len(value)} entries for {steps} steps")
    return list(value)


class _Station:
    """Reads and writes one station's schedulable configuration."""

    nodes = 1

    def __init__(self, model: Any) -> None:
        self.model = model

    @staticmethod
    def constant_arrivals(value: Any) -> bool:
        return isinstance(value, Mapping)

    @staticmethod
    def constant_servers(value: Any) -> bool:
        return not isinstance(value, Sequence)

    def check(self, scratch: Any, arrivals: Any, servers: Any, where: str) -> None:
        if arrivals is not None:
            _check_pmf(arrivals, f"arrivals{where}")
            try:
                scratch.number_of_arrivals_pmf = arrivals
            except error as failure:
                raise ValueError(f"arrivals{where}: {failure}") from None
        if servers is not None:
            _check_servers(servers, f"servers{where}")

    def apply(self, arrivals: Any, servers: Any) -> None:
        if arrivals is not None:
            self.model.number_of_arrivals_pmf = arrivals
        if servers is not None:
            self.model.number_of_servers = servers

    def servers(self) -> list[int]:
        return [self.model.number_of_servers]


class _Network(_Station):
    def __init__(self, model: Any) -> None:
        super().__init__(model)
        self.nodes = model.get_number_of_nodes()

    @staticmethod
    def constant_arrivals(value: Any) -> bool:
        return isinstance(value, Sequence) and len(value) > 0 and isinstance(value[0], Mapping)

    @staticmethod
    def constant_servers(value: Any) -> bool:
        return isinstance(value, Sequence) and len(value) > 0 and not isinstance(
            value[0], Sequence)

    def check(self, scratch: Any, arrivals: Any, servers: Any, where: str) -> None:
        for name, entry in (("arrivals", arrivals), ("servers", servers)):
            if entry is not None and (not isinstance(entry, Sequence)
                                      or len(entry) != self.nodes):
                raise ValueError(f"{name}{where} must list one entry per node "
                                 f"({self.nodes})")
        for k in range(self.nodes):
            if arrivals is not None:
                _check_pmf(arrivals[k], f"arrivals{where}[{k}]")
                try:
                    scratch.set_number_of_external_arrivals_at_node_pmf(k, arrivals[k])
                except error as failure:
                    raise ValueError(f"arrivals{where}[{k}]: {failure}") from None
            if servers is not None:
                _check_servers(servers[k], f"servers{where}[{k}]")

    def apply(self, arrivals: Any, servers: Any) -> None:
        m = self.model
        for k in range(self.nodes):
            if arrivals is not None:
                m.set_number_of_external_arrivals_at_node_pmf(k, arrivals[k])
            if servers is not None:
                m.set_number_of_servers_at_node(k, servers[k])

    def servers(self) -> list[int]:
        return [self.model.get_number_of_servers_at_node(k) for k in range(self.nodes)]



def _view(model: Any) -> _Station:
    return _Network(model) if planning._is_network(model) else _Station(model)


# ---- the run ---------------------------------------------------------------------------

_CHUNK = 256


def _pack(pmf: Mapping[int, float]) -> tuple[int, bytes]:
    lo = min(pmf)
    row = np.zeros(max(pmf) - lo + 1)
    row[np.fromiter(pmf.keys(), np.intp, len(pmf)) - lo] = np.fromiter(pmf.values(), float,
                                                                        len(pmf))
    return lo, row.tobytes()


def _recorder(model: Any) -> Callable[[Any], Any]:
    """The marginal of a step as (offset, raw doubles): straight from the engine for the
    standard models, packed from the PMF for the others."""
    if isinstance(model, (_movra.StandardMultiserver, _movra.StandardNetworkMultiserver)):
        return _movra._marginal_record  # type: ignore[no-any-return]
    if planning._is_network(model):
        nodes = range(model.get_number_of_nodes())
        return lambda m: tuple(_pack(m.get_number_of_entities_at_node_pmf(k)) for k in nodes)
    return lambda m: _pack(m.get_number_of_entities_in_system_pmf())


def _bar(steps: int) -> Any:
    """A tqdm progress bar when tqdm is installed, else None."""
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return None
    return tqdm(total=steps, desc="movra.run", unit="step")


def _warn_overload(model: Any, view: _Station, arrivals: list[Any],
                   servers: list[Any]) -> None:
    scratch = copy.copy(model)
    scratch_view = _view(scratch)
    seen: set[tuple[int, int]] = set()
    for a, c in zip(arrivals, servers):
        key = (id(a), id(c))
        if key in seen:
            continue
        seen.add(key)
        scratch_view.apply(a, c)
        if planning._bounded(scratch):
            return
        load = planning._max_load(scratch)
        if not load < 1.0:
            warnings.warn(f"a step of this run has an offered load of {load:.4g}: its queue "
                          "grows without bound", OverloadWarning, stacklevel=3)
            return


def run(model: Any, steps: int, *, arrivals: Any = None, servers: Any = None,
        progress: bool = False) -> Trajectory:
    """Step ``model`` in place ``steps`` times and record the PMF of the number in
    system (per node for a network) before the first step and after each.

    ``arrivals`` and ``servers`` set the configuration of every step: a single value
    for all of them, or a schedule with one entry per step (entry t is in force during
    step t + 1).  For a station an entry is an arrival PMF or a number of servers; for
    a network a list with one per node.  Every argument is checked before the model
    changes; should a step fail, the model is put back as it was.  ``progress`` shows a
    progress bar when tqdm is installed.  Warns ``OverloadWarning`` (once) when a step's
    offered load is 1 or more.
    """
    if isinstance(steps, bool) or not isinstance(steps, (int, np.integer)):
        raise TypeError(f"steps must be an integer, not {type(steps).__name__}")
    if steps < 0:
        raise ValueError(f"steps must be non-negative, got {steps}")
    steps = int(steps)
    view = _view(model)
    arrival_plan = _schedule(arrivals, steps, "arrivals", view.constant_arrivals)
    server_plan = _schedule(servers, steps, "servers", view.constant_servers)
    scratch = copy.copy(model)
    checked: set[tuple[int, int]] = set()
    for t, (a, c) in enumerate(zip(arrival_plan, server_plan)):
        key = (id(a), id(c))
        if key not in checked:  # a schedule repeats the same objects
            view.check(scratch, a, c, f"[{t}]" if len(arrival_plan) > 1 else "")
            checked.add(key)
    _warn_overload(model, view, arrival_plan, server_plan)

    start = copy.copy(model)
    # The steps between two changes of configuration run in a tight loop; a progress
    # bar moves at most every _CHUNK steps.
    changes = [t for t in range(steps) if t == 0 or arrival_plan[t] is not arrival_plan[t - 1]
               or server_plan[t] is not server_plan[t - 1]] + [steps]
    record = _recorder(model)
    step = model.step
    rows: list[Any] = [record(model)]
    servers_now = view.servers()
    server_rows = [servers_now]
    bar = _bar(steps) if progress else None
    try:
        for begin, end in zip(changes, changes[1:]):
            view.apply(arrival_plan[begin], server_plan[begin])
            servers_now = view.servers()
            server_rows.extend([servers_now] * (end - begin))
            for chunk in range(begin, end, _CHUNK):
                for _ in range(min(_CHUNK, end - chunk)):
                    step()
                    rows.append(record(model))
                if bar is not None:
                    bar.update(min(_CHUNK, end - chunk))
        # Inside: a table too large to build puts the model back as a failed step does.
        times = list(range(start.time, start.time + steps + 1))
        return Trajectory(rows, server_rows, times, start, arrival_plan, server_plan,
                          network=isinstance(view, _Network))
    except BaseException:
        model.__setstate__(start.__reduce__()[2])
        raise
    finally:
        if bar is not None:
            bar.close()


# The most probabilities a run's table may hold (2 GB of them; it is built twice over): a
# queue far from empty pads every row with zeros from 0, so a few steps from 10**8 in
# system would need gigabytes per row.
_MAX_CELLS = 2**28


def _dense(records: Sequence[tuple[int, bytes]]) -> np.ndarray:
    """Rows of (offset, raw doubles) into one zero-padded array, padded and joined as
    bytes: no Python work per probability."""
    width = max((offset + len(values) // 8 for offset, values in records), default=1)
    if len(records) * width > _MAX_CELLS:
        raise ValueError(f"the run's table of the number in system would hold "
                         f"{len(records)} rows of {width} probabilities, more than "
                         f"{_MAX_CELLS}: run fewer steps at a time")
    zeros = bytes(8 * width)
    pieces: list[bytes] = []
    for offset, values in records:
        pieces += (zeros[: 8 * offset], values, zeros[8 * offset + len(values):])
    flat = np.frombuffer(b"".join(pieces), dtype=np.float64)
    return flat.reshape(len(records), width).copy()


class Trajectory:
    """A recorded run.  ``pmf[t, z]`` (``pmf[t, k, z]`` for node k of a network) is the
    probability of z in system at row t, row 0 being the state before the first step;
    ``time[t]`` the model's time and ``servers[t]`` (``servers[t, k]``) its number of
    servers at that row.  Per-row figures follow scipy.stats' names: ``mean``,
    ``quantile`` (as ``ppf``) and ``tail`` (as ``sf``)."""

    pmf: np.ndarray
    time: np.ndarray
    servers: np.ndarray

    def __init__(self, rows: list[Any], servers: list[list[int]], times: list[int],
                 start: Any, arrivals: list[Any], server_plan: list[Any], *,
                 network: bool) -> None:
        if network:
            nodes = len(rows[0])
            flat = _dense([record for r in rows for record in r])
            self.pmf = flat.reshape(len(rows), nodes, flat.shape[1])
            self.servers = np.array(servers, dtype=np.int64)
        else:
            self.pmf = _dense(rows)
            self.servers = np.array([s[0] for s in servers], dtype=np.int64)
        self.time = np.array(times, dtype=np.int64)
        self.network = network
        self._start = start
        self._arrivals = arrivals
        self._server_plan = server_plan
        self._figures: dict[str, np.ndarray] = {}

    def __len__(self) -> int:
        return len(self.pmf)

    def __repr__(self) -> str:
        kind = "network" if self.network else "station"
        return f"<movra.Trajectory of a {kind}: {len(self) - 1} steps from time {self.time[0]}>"

    # ---- per-row figures

    def mean(self) -> np.ndarray:
        """Expected number in system per row (per row and node for a network)."""
        return self.pmf @ np.arange(self.pmf.shape[-1], dtype=float)

    def quantile(self, q: float) -> np.ndarray:
        """Smallest z whose cumulative probability reaches ``q``, per row."""
        q = float(q)
        if not 0.0 <= q <= 1.0:
            raise ValueError(f"q must be in [0, 1], got {q!r}")
        cdf = np.cumsum(self.pmf, axis=-1)
        # Rounding may leave the total a hair below 1.
        reached = cdf >= min(q, 1.0 - 1e-12)
        return np.argmax(reached, axis=-1)

    def tail(self, k: int) -> np.ndarray:
        """P(z > k) per row."""
        if k == math.inf:  # no integer; nothing lies beyond it
            return np.zeros(self.pmf.shape[:-1])
        k = -1 if k == -math.inf else int(k)
        if k < 0:
            return np.ones(self.pmf.shape[:-1])
        return self.pmf[..., k + 1:].sum(axis=-1)

    def _above_servers(self) -> np.ndarray:
        z = np.arange(self.pmf.shape[-1])
        return (self.pmf * (z > self.servers[..., None])).sum(axis=-1)

    def _utilisation(self) -> np.ndarray:
        z = np.arange(self.pmf.shape[-1])
        c = self.servers[..., None]
        busy = (self.pmf * np.minimum(z, c)).sum(axis=-1)
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(self.servers > 0, busy / np.maximum(self.servers, 1), np.nan)

    # ---- figures of the whole state, by replay

    def _replay(self, figures: Mapping[str, Callable[[Any], Any]]) -> dict[str, np.ndarray]:
        """Figures of every row's whole state, from one replay of the run (cached)."""
        wanted = {name: f for name, f in figures.items() if name not in self._figures}
        if wanted:
            model = copy.copy(self._start)
            view = _view(model)
            values: dict[str, list[Any]] = {name: [] for name in wanted}
            last_a: Any = None
            last_c: Any = None
            for a, c in zip(self._arrivals, self._server_plan):
                view.apply(a if a is not last_a else None, c if c is not last_c else None)
                last_a, last_c = a, c
                for name, f in wanted.items():
                    values[name].append(f(model))
                model.step()
            # A row's figures describe the step after it, so they are taken once that
            # step's configuration is in force; the last row keeps the last one.
            for name, f in wanted.items():
                values[name].append(f(model))
                self._figures[name] = np.array(values[name], dtype=float)
        return {name: self._figures[name] for name in figures}

    def throughput(self) -> np.ndarray:
        """Expected service completions in the step after each row (per node)."""
        return self._replay({"throughput": _expected_completions})["throughput"]

    def service_level(self, t: float) -> np.ndarray:
        """P(wait <= t) of an entity arriving in the step after each row (stations);
        NaN where no entity arrives."""
        if self.network:
            raise TypeError("service levels are computed for stations")
        key = f"service_level {float(t)!r}"
        return self._replay({key: lambda m: _level(m, t)})[key]

    def dropped(self) -> np.ndarray:
        """Probability mass the tail rule has cut by each row (stations in the station
        form; NaN otherwise)."""
        cut = self._replay({"cut": _cut_by_next_step})["cut"]
        return np.concatenate(([0.0], np.cumsum(cut[:-1])))

    def to_pandas(self, quantiles: Sequence[float] = (0.5, 0.9, 0.99),
                  wait_within: float | None = None) -> Any:
        """A DataFrame indexed by step (the model's time): mean, the quantiles
        (``q0.5``, ...), ``p_above_c`` (P(z > c)), ``utilisation``, ``throughput``
        (expected completions in the next step), ``service_level`` (P(wait <=
        wait_within), when given) and ``dropped`` (mass cut by the tail rule so far).
        A network's columns are (node, figure) pairs."""
        import pandas as pd  # type: ignore[import-untyped,unused-ignore]

        columns: dict[str, np.ndarray] = {"mean": self.mean()}
        for q in quantiles:
            columns[f"q{q:g}"] = self.quantile(q)
        columns["p_above_c"] = self._above_servers()
        columns["utilisation"] = self._utilisation()
        figures: dict[str, Callable[[Any], Any]] = {"throughput": _expected_completions,
                                                    "cut": _cut_by_next_step}
        if wait_within is not None:
            if self.network:
                raise TypeError("service levels are computed for stations")
            key = f"service_level {float(wait_within)!r}"
            figures[key] = lambda m: _level(m, wait_within)
        self._replay(figures)
        columns["throughput"] = self.throughput()
        if wait_within is not None:
            columns["service_level"] = self.service_level(wait_within)
        columns["dropped"] = self.dropped()
        index = pd.Index(self.time, name="step")
        if not self.network:
            return pd.DataFrame(columns, index=index)
        nodes = self.pmf.shape[1]
        data = {(k, name): values[:, k] if values.ndim == 2 else values
                for k in range(nodes) for name, values in columns.items()}
        frame = pd.DataFrame(data, index=index)
        frame.columns = pd.MultiIndex.from_tuples(list(data), names=["node", "figure"])
        return frame

    def plot(self, ax: Any = None, *, node: int | None = None,
             bands: Sequence[tuple[float, float]] = ((0.05, 0.95), (0.25, 0.75)),
             **kwargs: Any) -> Any:
        """Fan chart of the number in system: shaded bands between quantile pairs and
        the mean as a line.  Draws on ``ax`` (or a new Axes) and returns it; ``kwargs``
        go to the mean's line."""
        import matplotlib.pyplot as plt

        if self.network:
            if node is None:
                raise ValueError("a network's trajectory is drawn one node at a time: "
                                 "give node=")
            view = self._node(node)
        elif node is not None:
            raise ValueError("node= applies to networks only")
        else:
            view = self
        if ax is None:
            _, ax = plt.subplots()
        x = view.time
        for i, (lo, hi) in enumerate(sorted(bands, key=lambda b: b[0] - b[1])):
            ax.fill_between(x, view.quantile(lo), view.quantile(hi), step="mid",
                            alpha=0.25 + 0.2 * i, color="tab:blue", linewidth=0,
                            label=f"{lo:g}-{hi:g} quantiles")
        kwargs.setdefault("color", "black")
        kwargs.setdefault("label", "mean")
        ax.plot(x, view.mean(), **kwargs)
        ax.set_xlabel("step")
        ax.set_ylabel("number in system" if node is None else f"number at node {node}")
        ax.legend(loc="upper left")
        return ax

    def _node(self, node: int) -> Trajectory:
        one = copy.copy(self)
        one.pmf = self.pmf[:, node, :]
        one.servers = self.servers[:, node]
        one.network = False
        return one


def _expected_completions(model: Any) -> Any:
    pmf = planning.throughput_pmf(model)
    if isinstance(pmf, list):
        return [planning._mean(p) for p in pmf]
    return planning._mean(pmf)


def _level(model: Any, t: float) -> float:
    try:
        return planning.service_level(model, t)
    except ValueError:  # nobody arrives
        return math.nan


def _cut_by_next_step(model: Any) -> float:
    """Mass the next step of a station cuts from the tails of its new number in system,
    from the distribution the step forms before cutting (tails below 5e-9 each)."""
    if planning._is_network(model):
        return math.nan
    st = planning._station(model)
    if st.exact:
        return math.nan
    arrivals = planning._array(st.arrivals)
    size = max(z for z, _, _ in st.groups) + len(arrivals)
    before = np.zeros(size)
    for z, p, busy in st.groups:
        n = st.busy(z)
        d = planning._binomial(n, busy.get(1, 0.0)) if n > 0 else np.ones(1)
        # z' = z - d + a for every d and a, weighted by P(d) P(a).
        after = np.convolve(d[::-1], arrivals) * p
        before[z - n: z - n + len(after)] += after
    half = planning._MODEL_TAIL / 2.0
    up = np.cumsum(before)
    down = np.cumsum(before[::-1])
    lo = int(np.searchsorted(up, half, side="left"))
    hi = len(before) - 1 - int(np.searchsorted(down, half, side="left"))
    return float(up[lo - 1] if lo > 0 else 0.0) + float(
        down[len(before) - 2 - hi] if hi < len(before) - 1 else 0.0)
