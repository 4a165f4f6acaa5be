"""
Newton's method on a velarix curve
==================================

Newton's method needs a derivative, and converges fast only where the curve
is smooth and does not turn back. On Akima's data, flat and then rising
sharply, the cubic spline dips below the flat level and so crosses it three
times, and its slope vanishes inside the flat stretch: Newton's iteration for
the level 10.25 lands on a crossing the data do not have. velarix's curve is
monotone, so the level has one crossing, which Newton finds from any start
in the rise.
"""

import matplotlib.pyplot as plt
import numpy as np
from scipy.interpolate import CubicSpline

import velarix
from velarix import datasets

x, y = datasets.akima()
f = velarix.interpolate(x, y)
cubic = CubicSpline(x, y)
level = 10.25


def newton(value, slope, start, steps=50):
    t = start
    for _ in range(steps):
        step = (value(t) - level) / slope(t)
        t = t - step
        if abs(step) < 1e-13:
            break
    return float(t)


print("crossings of 10.25: velarix", np.round(f.solve(level, extrapolate=False), 4),
      "cubic spline", np.round(cubic.solve(level, extrapolate=False), 4))
print("Newton from x = 10:",
      "velarix", round(newton(f, lambda t: f(t, nu=1), 10.0), 6),
      "cubic spline", round(newton(cubic, lambda t: cubic(t, 1), 10.0), 6))

grid = np.linspace(x[0], x[-1], 2000)
fig, ax = plt.subplots(figsize=(7, 4))
ax.plot(grid, f(grid), label="velarix")
ax.plot(grid, cubic(grid), "--", label="CubicSpline")
ax.plot(x, y, "o", label="Akima data")
ax.axhline(level, color="grey", linewidth=0.5)
ax.set_ylim(5, 20)
ax.legend()
fig.tight_layout()
