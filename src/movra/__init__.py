# The package around the compiled extension movra._movra. The types' names say "movra.",
# so their __module__, the pickles that refer to them and movra.error stay as they were
# before the package existed.  The planner's functions are pure Python beside it.
from . import _movra, dist
from ._movra import (
    StandardMultiserver,
    StandardNetworkMultiserver,
    __version__,
    error,
)
from .planning import (
    SteadyState,
    blocking_probability,
    offered_load,
    service_level,
    sojourn_time_pmf,
    steady_state,
    throughput_pmf,
    utilisation,
    waiting_time_pmf,
)
from .staffing import required_servers, staff_schedule
from .trajectory import OverloadWarning, Trajectory, run

__doc__ = _movra.__doc__

__all__ = [
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
