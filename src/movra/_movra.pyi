"""The compiled extension; the package re-exports its public names."""

from typing import Any

from . import StandardMultiserver as StandardMultiserver
from . import StandardNetworkMultiserver as StandardNetworkMultiserver
from . import error as error

__version__: str

def _marginal_record(model: StandardMultiserver | StandardNetworkMultiserver, /) -> Any: ...
def _waiting_time(station: Any, position: int | None, tail: float | None = None, /) -> Any: ...
def _service_figures(station: Any, /) -> tuple[float, bytes]: ...
def _step_change(model: Any, /) -> float: ...
