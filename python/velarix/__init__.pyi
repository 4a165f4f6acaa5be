# The package re-exports the extension's classes as they stand, then adds
# the NumPy layer.
from typing import Any, Protocol

from velarix._velarix import *
from velarix.interpolant import Antiderivative as Antiderivative
from velarix.interpolant import Interpolant as Interpolant
from velarix.interpolant import interpolate as interpolate
from velarix.interpolant import set_workers as set_workers
from velarix.interpolant import get_workers as get_workers
from velarix.interpolant import set_cache_limit as set_cache_limit
from velarix.interpolant import get_cache_limit as get_cache_limit
from velarix.interpolant import cached_bytes as cached_bytes
from velarix.smoothing import smooth as smooth
from velarix._grid import GridInterpolant as GridInterpolant
from velarix._grid import interpolate_grid as interpolate_grid

__version__: str

class _Pickled(Protocol):
    def __reduce__(self) -> tuple[Any, tuple[str, bytes]]: ...

def _restore(name: str, state: bytes) -> _Pickled: ...
