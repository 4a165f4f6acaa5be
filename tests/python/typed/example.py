# A small program written against the stubs; mypy --strict must accept it.
from __future__ import annotations

from array import array

import numpy as np
import numpy.typing as npt

import velarix
from velarix import datasets


def resample(spline: velarix.TensionSpline, n: int) -> npt.NDArray[np.float64]:
    lo, hi = spline.domain
    xs = np.linspace(lo, hi, n)
    out = np.empty_like(xs)
    spline.value_batch_into(xs, out)
    return out


def curvature(x: array[float], y: array[float]) -> array[float]:
    config: velarix.VariableDegree = velarix.VariableDegree().with_max_degree(20.0)
    fitted = config.fit(x, y)
    ok: bool = fitted.is_shape_preserving
    degrees: list[float] = fitted.degrees
    assert ok or degrees
    return fitted.second_derivative_batch(x)


x, y = datasets.akima()
tension = velarix.Tension().with_boundary(velarix.EndSlopes.clamped(0.0, 1.0)).fit(x, y)
value: float = tension(3.5) + tension.first_derivative(3.5)
uniform: float | None = velarix.Tension().uniform_tension
convex = np.exp(np.linspace(0.0, 2.0, 7))
rational = velarix.RationalCubic().with_shape(1.0, 2.0).fit(np.arange(7.0), convex)
w: list[float] = rational.tension_parameters
print(resample(tension, 5), curvature(x, y), value, uniform, w)

# The NumPy layer: array-likes in, float64 arrays out.
f: velarix.Interpolant = velarix.interpolate([0, 1, 2, 3], [[0.0, 1.0], [1.0, 0.5], [4.0, 0.4], [9.0, 0.6]],
                                             velarix.Tension(), extrapolate="constant")
grid: npt.NDArray[np.float64] = f(np.linspace(-1.0, 4.0, 6), nu=1)
areas: npt.NDArray[np.float64] = f.integrate([0.0, 1.0], 3.0)
one = velarix.interpolate(np.arange(4.0), np.arange(4.0) ** 2, velarix.Tension())
print(grid, areas, one(1.5), one.solve(2.0), one.domain)
