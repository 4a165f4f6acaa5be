# Types of the NumPy layer: array-likes in, float64 arrays (or NumPy floats
# for a scalar x and one curve) out.
from collections.abc import Callable
from typing import Any, Final, Literal, TypeAlias, overload

import numpy as np
import numpy.typing as npt

from velarix._velarix import (
    RationalCubic,
    RationalCubicSpline,
    Tension,
    TensionSpline,
    VariableDegree,
    VariableDegreeSpline,
)

__all__ = ["Antiderivative", "Interpolant", "interpolate"]

_Method: TypeAlias = (
    Literal["tension", "rational_cubic", "variable_degree"] | Tension | RationalCubic | VariableDegree
)
_Configuration: TypeAlias = Tension | RationalCubic | VariableDegree
_Extrapolate: TypeAlias = Literal["linear", "constant", "hold", "nan", "raise"]
_Spline: TypeAlias = TensionSpline | RationalCubicSpline | VariableDegreeSpline
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
    method: _Method = "tension",
    *,
    axis: int = 0,
    extrapolate: _Extrapolate = "linear",
) -> Interpolant: ...

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
    def __call__(self, x: _Arrays, nu: int = 0) -> _Floats: ...
    @overload
    def __call__(self, x: npt.ArrayLike, nu: int = 0) -> np.float64 | _Floats: ...
    @overload
    def integrate(self, a: _Arrays, b: npt.ArrayLike) -> _Floats: ...
    @overload
    def integrate(self, a: npt.ArrayLike, b: _Arrays) -> _Floats: ...
    @overload
    def integrate(self, a: npt.ArrayLike, b: npt.ArrayLike) -> np.float64 | _Floats: ...
    def antiderivative(self) -> Antiderivative: ...
    def solve(self, level: float) -> _Floats: ...
    @property
    def x(self) -> _Floats: ...
    @property
    def splines(self) -> tuple[_Spline, ...]: ...
    @property
    def configuration(self) -> _Configuration: ...
    @property
    def is_shape_preserving(self) -> bool | npt.NDArray[np.bool_]: ...
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...

class Antiderivative(_Curves):
    def __init__(self, interpolant: Interpolant) -> None: ...
    @overload
    def __call__(self, x: _Arrays, nu: int = 0) -> _Floats: ...
    @overload
    def __call__(self, x: npt.ArrayLike, nu: int = 0) -> np.float64 | _Floats: ...
    @property
    def interpolant(self) -> Interpolant: ...
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...
