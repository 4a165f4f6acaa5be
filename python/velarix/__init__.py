"""Shape-preserving, twice continuously differentiable interpolating splines."""

from velarix._velarix import (
    EndSlopes,
    Tension,
    TensionSpline,
    VariableDegree,
    VariableDegreeSpline,
)

__all__ = ["EndSlopes", "Tension", "TensionSpline", "VariableDegree", "VariableDegreeSpline"]
