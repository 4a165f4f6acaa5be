"""NumPy-native interpolation over the velarix spline classes.

``interpolate(x, y)`` converts and validates the data once, fits one spline
per curve of ``y`` and returns an ``Interpolant``: a callable that takes
array-likes of any shape, evaluates the curve or its first two derivatives
through the classes' ``*_batch_into`` methods on flat float64 views, and
continues the curve outside the knots by the chosen extrapolation mode.

Each job has a module of its own, and this one gathers their public names:
the checks at the door (``_checks``), the fits and their threads
(``_fitting``), the interpolants and their saved states (``_family``), the
evaluation engine they share (``_engine``, with ``_dask`` for Dask arrays),
the orders and shifts of derivatives and antiderivatives (``_orders``) and
the level crossings (``_roots``).
"""

from velarix._checks import EXTRAPOLATION_MODES, METHODS  # noqa: F401
from velarix._engine import Curves as _Curves  # noqa: F401  (the stubs' base class)
from velarix._family import Antiderivative, Interpolant, restored
from velarix._fitting import (cached_bytes, get_cache_limit, get_workers, interpolate,
                              set_cache_limit, set_workers)
from velarix._roots import SOLVE_MAX_STEPS, SOLVE_SUBDIVISIONS  # noqa: F401

__all__ = ["Antiderivative", "Interpolant", "cached_bytes", "get_cache_limit", "get_workers",
           "interpolate", "set_cache_limit", "set_workers"]

# The public names are this module's wherever they are defined: their
# reprs, help and pickles name velarix.interpolant, as they did before the
# layer was split into modules, and pickles made by either load in both.
for _name in __all__:
    globals()[_name].__module__ = __name__
del _name
# A pickled interpolant is rebuilt by velarix.interpolant._restored.
_restored = restored
restored.__module__, restored.__qualname__ = __name__, "_restored"
