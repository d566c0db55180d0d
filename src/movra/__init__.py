# The package around the compiled extension movra._movra. The types' names say "movra.",
# so their __module__, the pickles that refer to them and movra.error stay as they were
# before the package existed.  The planner's functions live in Python modules beside it,
# imported on first use: `import movra` alone does not load numpy.
import importlib as _importlib

from . import _movra
from ._movra import (
    ExactMultiserver,
    ExactNetworkMultiserver,
    StandardMultiserver,
    StandardNetworkMultiserver,
    __version__,
    error,
)

__doc__ = _movra.__doc__

# Public name -> the module that defines it.
_LAZY = {
    "dist": "dist",
    "SteadyState": "planning",
    "blocking_probability": "planning",
    "offered_load": "planning",
    "service_level": "planning",
    "sojourn_time_pmf": "planning",
    "steady_state": "planning",
    "throughput_pmf": "planning",
    "utilisation": "planning",
    "waiting_time_pmf": "planning",
    "required_servers": "staffing",
    "staff_schedule": "staffing",
    "OverloadWarning": "trajectory",
    "Trajectory": "trajectory",
    "run": "trajectory",
}

__all__ = sorted(["ExactMultiserver", "ExactNetworkMultiserver", "StandardMultiserver", "StandardNetworkMultiserver", "error", *_LAZY])


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'movra' has no attribute {name!r}")
    value: object = _importlib.import_module(f".{module}", __name__)
    if name != module:
        value = getattr(value, name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))
