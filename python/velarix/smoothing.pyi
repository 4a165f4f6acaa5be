# Types of the smoothing layer.
from typing import Any, NamedTuple

import numpy.typing as npt

from velarix._velarix import Smoother
from velarix.interpolant import Interpolant, _ExtrapolateArg

__all__ = ["SmoothingInfo", "smooth"]

class _Choices(NamedTuple):
    lam: float
    edf: float
    gcv: float
    shape: str
    active_constraints: int

class SmoothingInfo(_Choices):
    knots: int
    warning: str | None
    def __new__(cls, lam: float, edf: float, gcv: float, shape: str, active_constraints: int,
                knots: int = ..., warning: str | None = ...) -> SmoothingInfo: ...

class _Smoothed(Interpolant):
    @property
    # SmoothingInfo for one curve, a tuple of them for several: which one
    # depends on the shape of y, which the types do not carry.
    def smoothing(self) -> Any: ...
    @property
    def configuration(self) -> Smoother: ...  # type: ignore[override]

class _Weighted:
    def __init__(self, config: Smoother, weights: npt.NDArray[Any]) -> None: ...
    def fit(self, x: npt.NDArray[Any], y: npt.NDArray[Any]) -> Any: ...

def smooth(
    x: npt.ArrayLike,
    y: npt.ArrayLike,
    shape: str | None = None,
    *,
    lam: float | None = None,
    weights: npt.ArrayLike | None = None,
    knots: int | npt.ArrayLike | None = None,
    robust: bool = False,
    axis: int = 0,
    extrapolate: _ExtrapolateArg = "linear",
) -> _Smoothed: ...
