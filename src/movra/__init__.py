# The package around the compiled extension movra._movra. The types' names say "movra.",
# so their __module__, the pickles that refer to them and movra.error stay as they were
# before the package existed.
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

__all__ = [
    "ExactMultiserver",
    "ExactNetworkMultiserver",
    "StandardMultiserver",
    "StandardNetworkMultiserver",
    "error",
]
