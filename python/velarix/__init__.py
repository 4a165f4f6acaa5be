"""Shape-preserving, twice continuously differentiable interpolating splines."""

from velarix._velarix import EndSlopes, VariableDegree, VariableDegreeSpline

__all__ = ["EndSlopes", "VariableDegree", "VariableDegreeSpline"]
