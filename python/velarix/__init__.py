"""Shape-preserving, twice continuously differentiable interpolating splines."""

from velarix._velarix import (
    EndSlopes,
    RationalCubic,
    RationalCubicSpline,
    Tension,
    TensionSpline,
    VariableDegree,
    VariableDegreeSpline,
)

__all__ = [
    "EndSlopes",
    "RationalCubic",
    "RationalCubicSpline",
    "Tension",
    "TensionSpline",
    "VariableDegree",
    "VariableDegreeSpline",
]
