# Types of the NumPy layer: array-likes in, float64 arrays (or NumPy floats
# for a scalar x and one curve) out.
import contextlib
from collections.abc import Callable
from typing import Any, Final, Literal, TypeAlias, overload

import numpy as np
import numpy.typing as npt

from velarix._velarix import _Configuration, _FittedSpline, _MethodName

__all__ = ["Antiderivative", "Interpolant", "cached_bytes", "get_cache_limit", "get_workers",
           "interpolate", "set_cache_limit", "set_workers"]

_Method: TypeAlias = _MethodName | _Configuration
_Extrapolate: TypeAlias = Literal["linear", "constant", "hold", "nan", "raise", "extend", "periodic"]
# scipy's forms besides the modes: True ("extend"), False ("nan"), None (the default).
_ExtrapolateArg: TypeAlias = _Extrapolate | bool | None
_BcType: TypeAlias = (Literal["clamped", "natural", "periodic"]
                      | tuple[tuple[int, float], tuple[int, float]] | None)
_Spline: TypeAlias = _FittedSpline
_Floats: TypeAlias = npt.NDArray[np.float64]
# Arrays and sequences give arrays; scalars give a NumPy float for one curve.
_Arrays: TypeAlias = npt.NDArray[Any] | list[Any] | tuple[Any, ...]

EXTRAPOLATION_MODES: Final[tuple[str, ...]]
METHODS: Final[dict[str, Callable[[], _Configuration]]]
SOLVE_SUBDIVISIONS: Final[int]
SOLVE_MAX_STEPS: Final[int]

def interpolate(
    x: npt.ArrayLike,
    y: npt.ArrayLike,
    method: _Method = "quintic",
    *,
    axis: int = 0,
    extrapolate: _ExtrapolateArg = None,
    bc_type: _BcType = None,
    workers: int | None = None,
) -> Interpolant: ...
def set_workers(workers: int | None) -> contextlib.AbstractContextManager[None]: ...
def get_workers() -> int: ...
def set_cache_limit(limit: int) -> int: ...
def get_cache_limit() -> int: ...
def cached_bytes() -> int: ...

class _Curves:
    @property
    def domain(self) -> tuple[float, float]: ...
    @property
    def extrapolate(self) -> _Extrapolate: ...
    @property
    def curves_shape(self) -> tuple[int, ...]: ...
    def __copy__(self) -> Any: ...
    def __deepcopy__(self, memo: Any) -> Any: ...

class Interpolant(_Curves):
    @overload
    def __call__(self, x: _Arrays, nu: int = 0, extrapolate: _ExtrapolateArg = None) -> _Floats: ...
    @overload
    def __call__(
        self, x: npt.ArrayLike, nu: int = 0, extrapolate: _ExtrapolateArg = None
    ) -> np.float64 | _Floats: ...
    @overload
    def integrate(self, a: _Arrays, b: npt.ArrayLike, extrapolate: _ExtrapolateArg = None) -> _Floats: ...
    @overload
    def integrate(self, a: npt.ArrayLike, b: _Arrays, extrapolate: _ExtrapolateArg = None) -> _Floats: ...
    @overload
    def integrate(
        self, a: npt.ArrayLike, b: npt.ArrayLike, extrapolate: _ExtrapolateArg = None
    ) -> np.float64 | _Floats: ...
    def derivative(self, nu: int = 1) -> Interpolant: ...
    def antiderivative(self, nu: int = 1) -> Interpolant: ...
    def roots(
        self, discontinuity: bool = True, extrapolate: _ExtrapolateArg = None
    ) -> _Floats | npt.NDArray[np.object_]: ...
    def solve(
        self, y: npt.ArrayLike = 0.0, discontinuity: bool = True,
        extrapolate: _ExtrapolateArg = None
    ) -> _Floats | npt.NDArray[np.object_]: ...
    @property
    def order(self) -> int: ...
    @property
    def axis(self) -> int: ...
    @property
    def x(self) -> _Floats: ...
    @property
    def splines(self) -> tuple[_Spline, ...]: ...
    @property
    def configuration(self) -> _Configuration: ...
    @property
    # A bool for one curve, a bool array for several (by the shape of y).
    def is_shape_preserving(self) -> Any: ...
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...
    def __dask_tokenize__(self) -> tuple[str, str, str]: ...

class Antiderivative(Interpolant):
    # nu: the order, 1 to _velarix.highest_antiderivative.
    def __init__(self, interpolant: Interpolant, nu: int = 1) -> None: ...
    @property
    def interpolant(self) -> Interpolant: ...
