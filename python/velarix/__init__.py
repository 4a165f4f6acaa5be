"""Shape-preserving, twice continuously differentiable interpolating splines."""

from velarix._velarix import EndSlopes

__all__ = ["EndSlopes"]
