# Types of the grid layer.
from typing import Any, Literal, TypeAlias

import numpy as np
import numpy.typing as npt

from velarix._velarix import GridSurface

GRID_METHODS: tuple[str, ...]
GRID_MODES: tuple[str, ...]
HIGHEST_GRID_ORDER: int

_GridMethodArg: TypeAlias = Literal["shape", "cubic", "linear"]
_GridModeArg: TypeAlias = Literal["linear", "constant", "nan", "raise"]
_Orders: TypeAlias = tuple[int, ...] | list[int] | None

def interpolate_grid(
    points: tuple[npt.ArrayLike, ...] | list[npt.ArrayLike],
    values: npt.ArrayLike,
    *,
    method: _GridMethodArg = "shape",
    extrapolate: _GridModeArg | None = None,
    workers: int | None = None,
) -> GridInterpolant: ...

class GridInterpolant:
    @classmethod
    def _from_parts(
        cls,
        axes: tuple[npt.NDArray[np.float64], ...],
        surfaces: tuple[GridSurface, ...],
        surfaces_shape: tuple[int, ...],
        mode: str,
        workers: int,
        method: str,
    ) -> GridInterpolant: ...
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
    @property
    def ndim(self) -> int: ...
    @property
    def points(self) -> tuple[npt.NDArray[np.float64], ...]: ...
    @property
    def method(self) -> str: ...
    @property
    def extrapolate(self) -> str: ...
    @property
    def surfaces_shape(self) -> tuple[int, ...]: ...
    @property
    def nbytes(self) -> int: ...
    @property
    def is_shape_preserving(self) -> Any: ...
    # A NumPy float for one point and one surface, else an ndarray.
    def __call__(
        self, xi: Any, nu: _Orders = None, extrapolate: _GridModeArg | None = None
    ) -> Any: ...
    def grid(
        self, *xs: npt.ArrayLike, nu: _Orders = None, extrapolate: _GridModeArg | None = None
    ) -> npt.NDArray[np.float64]: ...
    def gradient(self, xi: Any, extrapolate: _GridModeArg | None = None) -> Any: ...
    def integrate(
        self, lower: npt.ArrayLike, upper: npt.ArrayLike, extrapolate: _GridModeArg | None = None
    ) -> Any: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]
    def __copy__(self) -> GridInterpolant: ...
    def __deepcopy__(self, memo: Any) -> GridInterpolant: ...
