"""Type information for the movra extension module.

Simple PMFs are dicts from an integer outcome to its probability; a state PMF
maps (z, ell) pairs, z the number of entities and ell the remaining service
time of an entity in service, to their joint probability; the exact station's
state maps (z, remaining times of the busy servers, ascending) instead.  Every method takes
positional arguments only.
"""

from collections.abc import Mapping, Sequence
from concurrent.futures import Executor
from dataclasses import dataclass
from typing import Any, Generic, Self, TypeAlias, TypeVar, overload

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

from . import dist as dist
from . import planning as planning
from . import staffing as staffing
from . import trajectory as trajectory

__version__: str
__all__ = [
    "ExactMultiserver",
    "OverloadWarning",
    "StandardMultiserver",
    "StandardNetworkMultiserver",
    "SteadyState",
    "Trajectory",
    "blocking_probability",
    "dist",
    "error",
    "offered_load",
    "required_servers",
    "run",
    "service_level",
    "sojourn_time_pmf",
    "staff_schedule",
    "steady_state",
    "throughput_pmf",
    "utilisation",
    "waiting_time_pmf",
]

_Pmf: TypeAlias = dict[int, float]
_StatePmf: TypeAlias = dict[tuple[int, int], float]
_ExactStatePmf: TypeAlias = dict[tuple[int, tuple[int, ...]], float]

class error(Exception): ...

@disjoint_base
class StandardMultiserver:
    number_of_arrivals_pmf: _Pmf
    service_duration_pmf: _Pmf
    internal_state: _StatePmf
    number_of_servers: int
    time: int
    @property
    def current_memory_use(self) -> int: ...
    @property
    def peak_memory_use(self) -> int: ...
    def __new__(cls) -> Self: ...
    def step(self, /) -> None: ...
    def apply_observation_range(self, start: int, end: int, /) -> None: ...
    def apply_observation_value(self, value: int, /) -> None: ...
    def mark(self, /) -> None: ...
    def restore(self, /) -> None: ...
    def get_number_of_entities_in_system_pmf(self, /) -> _Pmf: ...
    def reset_with_number_of_entities_in_system(self, n: int, /) -> None: ...

@disjoint_base
class StandardNetworkMultiserver:
    internal_state: list[_StatePmf]
    time: int
    @property
    def current_memory_use(self) -> int: ...
    @property
    def peak_memory_use(self) -> int: ...
    def __new__(cls, number_of_nodes: int, /) -> Self: ...
    def step(self, /) -> None: ...
    def apply_observation_range_at_node(self, node: int, start: int, end: int, /) -> None: ...
    def apply_observation_value_at_node(self, node: int, value: int, /) -> None: ...
    def mark(self, /) -> None: ...
    def restore(self, /) -> None: ...
    def get_number_of_entities_at_node_pmf(self, node: int, /) -> _Pmf: ...
    def get_number_of_external_arrivals_at_node_pmf(self, node: int, /) -> _Pmf: ...
    def get_number_of_nodes(self, /) -> int: ...
    def get_number_of_servers_at_node(self, node: int, /) -> int: ...
    def get_routing_probability(self, source: int, destination: int, /) -> float: ...
    def get_service_duration_at_node_pmf(self, node: int, /) -> _Pmf: ...
    def set_number_of_external_arrivals_at_node_pmf(self, node: int, pmf: _Pmf, /) -> None: ...
    def set_number_of_servers_at_node(self, node: int, n: int, /) -> None: ...
    def set_routing_probability(
        self, source: int, destination: int, probability: float, /
    ) -> None: ...
    def set_service_duration_at_node_pmf(self, node: int, pmf: _Pmf, /) -> None: ...
    def reset_node_with_number_of_entities(self, node: int, n: int, /) -> None: ...

@disjoint_base
class ExactMultiserver:
    number_of_arrivals_pmf: _Pmf
    service_duration_pmf: _Pmf
    internal_state: _ExactStatePmf
    number_of_servers: int
    time: int
    max_states: int
    capacity: int | None
    abandonment_probability: float
    @property
    def number_of_states(self) -> int: ...
    @property
    def current_memory_use(self) -> int: ...
    @property
    def peak_memory_use(self) -> int: ...
    def __new__(cls, *, max_states: int = 2000000) -> Self: ...
    def step(self, /) -> None: ...
    def apply_observation_range(self, start: int, end: int, /) -> None: ...
    def apply_observation_value(self, value: int, /) -> None: ...
    def mark(self, /) -> None: ...
    def restore(self, /) -> None: ...
    def get_number_of_entities_in_system_pmf(self, /) -> _Pmf: ...
    def reset_with_number_of_entities_in_system(self, n: int, /) -> None: ...
    def _blocking_probability(self, /) -> float: ...

_Station: TypeAlias = StandardMultiserver | ExactMultiserver
_M = TypeVar("_M", StandardMultiserver, ExactMultiserver, StandardNetworkMultiserver)
_Floats: TypeAlias = npt.NDArray[np.float64]
_Ints: TypeAlias = npt.NDArray[np.int64]

# Waiting times and service level (stations)
def waiting_time_pmf(model: _Station, *, position: int | None = None) -> _Pmf: ...
def sojourn_time_pmf(model: _Station, *, position: int | None = None) -> _Pmf: ...
def service_level(model: _Station, t: float) -> float: ...
def blocking_probability(model: _Station) -> float: ...

# Utilisation, throughput and load: one figure per station, a list over a network's
# nodes unless node= picks one.
@overload
def utilisation(model: _Station, node: None = None) -> float: ...
@overload
def utilisation(model: StandardNetworkMultiserver, node: None = None) -> list[float]: ...
@overload
def utilisation(model: StandardNetworkMultiserver, node: int) -> float: ...
@overload
def throughput_pmf(model: _Station, node: None = None) -> _Pmf: ...
@overload
def throughput_pmf(model: StandardNetworkMultiserver, node: None = None) -> list[_Pmf]: ...
@overload
def throughput_pmf(model: StandardNetworkMultiserver, node: int) -> _Pmf: ...
@overload
def offered_load(model: _Station, node: None = None) -> float: ...
@overload
def offered_load(model: StandardNetworkMultiserver, node: None = None) -> list[float]: ...
@overload
def offered_load(model: StandardNetworkMultiserver, node: int) -> float: ...

@dataclass(frozen=True)
class SteadyState(Generic[_M]):
    model: _M
    steps: int
    change: float
    converged: bool

def steady_state(model: _M, *, tol: float = 1e-10, max_steps: int = 100_000) -> SteadyState[_M]: ...

# Runs as data
class OverloadWarning(UserWarning): ...

class Trajectory:
    pmf: _Floats
    time: _Ints
    servers: _Ints
    network: bool
    def __init__(
        self,
        rows: list[Any],
        servers: list[list[int]],
        times: list[int],
        start: Any,
        arrivals: list[Any],
        server_plan: list[Any],
        *,
        network: bool,
    ) -> None: ...
    def __len__(self) -> int: ...
    def mean(self) -> _Floats: ...
    def quantile(self, q: float) -> _Ints: ...
    def tail(self, k: int) -> _Floats: ...
    def throughput(self) -> _Floats: ...
    def service_level(self, t: float) -> _Floats: ...
    def dropped(self) -> _Floats: ...
    def to_pandas(
        self, quantiles: Sequence[float] = (0.5, 0.9, 0.99), wait_within: float | None = None
    ) -> Any: ...
    def plot(
        self,
        ax: Any = None,
        *,
        node: int | None = None,
        bands: Sequence[tuple[float, float]] = ((0.05, 0.95), (0.25, 0.75)),
        **kwargs: Any,
    ) -> Any: ...

@overload
def run(
    model: _Station,
    steps: int,
    *,
    arrivals: Mapping[int, float] | Sequence[Mapping[int, float]] | None = None,
    servers: int | Sequence[int] | None = None,
    progress: bool = False,
) -> Trajectory: ...
@overload
def run(
    model: StandardNetworkMultiserver,
    steps: int,
    *,
    arrivals: Sequence[Mapping[int, float]] | Sequence[Sequence[Mapping[int, float]]] | None = None,
    servers: Sequence[int] | Sequence[Sequence[int]] | None = None,
    progress: bool = False,
) -> Trajectory: ...

# Staffing
def required_servers(
    arrivals: Mapping[int, float],
    service: Mapping[int, float],
    *,
    wait_within: float,
    service_level: float,
    exact: bool = True,
    max_servers: int = 1000,
    executor: Executor | Any = None,
    tol: float = 1e-10,
    max_steps: int = 100_000,
) -> int: ...
def staff_schedule(
    arrivals_per_interval: Sequence[Mapping[int, float]],
    service: Mapping[int, float],
    *,
    steps_per_interval: int,
    wait_within: float,
    service_level: float,
    exact: bool = True,
    max_servers: int = 1000,
    executor: Executor | Any = None,
    initial: _Station | None = None,
) -> Any: ...
