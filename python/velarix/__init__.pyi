from typing import TypeAlias

from velarix._velarix import EndSlopes as EndSlopes
from velarix._velarix import RationalCubic as RationalCubic
from velarix._velarix import RationalCubicSpline as RationalCubicSpline
from velarix._velarix import Tension as Tension
from velarix._velarix import TensionSpline as TensionSpline
from velarix._velarix import VariableDegree as VariableDegree
from velarix._velarix import VariableDegreeSpline as VariableDegreeSpline
from velarix.interpolant import Antiderivative as Antiderivative
from velarix.interpolant import Interpolant as Interpolant
from velarix.interpolant import interpolate as interpolate

__all__ = [
    "EndSlopes",
    "RationalCubic",
    "RationalCubicSpline",
    "Tension",
    "TensionSpline",
    "VariableDegree",
    "VariableDegreeSpline",
    "Antiderivative",
    "Interpolant",
    "interpolate",
]

_PickledClass: TypeAlias = (
    EndSlopes
    | RationalCubic
    | RationalCubicSpline
    | Tension
    | TensionSpline
    | VariableDegree
    | VariableDegreeSpline
)

def _restore(name: str, state: bytes) -> _PickledClass: ...
