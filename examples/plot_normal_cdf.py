"""
A cumulative distribution from a printed table
==============================================

A distribution function must rise from 0 to 1 and never fall; its
derivative is the density, which must stay at or above 0. A cubic spline
through the four-decimal table of the normal distribution leaves [0, 1] in
the tails and its density goes negative there; velarix's curve stays
monotone, and its density is continuous and non-negative.
"""

import matplotlib.pyplot as plt
import numpy as np
from scipy.interpolate import CubicSpline

import velarix
from velarix import datasets

z, p = datasets.normal_cdf()
cdf = velarix.interpolate(z, p)
cubic = CubicSpline(z, p)

grid = np.linspace(z[0], z[-1], 3001)
print(f"smallest density: velarix {cdf(grid, nu=1).min():.2e}, "
      f"cubic spline {cubic(grid, 1).min():.2e}")
print(f"monotone: {bool(np.all(np.diff(cdf(grid)) >= 0))}")

fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 6))
top.plot(grid, cdf(grid), label="velarix")
top.plot(grid, cubic(grid), "--", label="CubicSpline")
top.plot(z, p, "o", label="table")
top.set_ylabel("P(Z ≤ z)")
top.legend()
bottom.plot(grid, cdf(grid, nu=1), label="velarix")
bottom.plot(grid, cubic(grid, 1), "--", label="CubicSpline")
bottom.plot(grid, np.exp(-grid**2 / 2) / np.sqrt(2 * np.pi), ":", label="exact density")
bottom.axhline(0.0, color="grey", linewidth=0.5)
bottom.set_ylabel("density")
bottom.set_xlabel("z")
bottom.legend()
fig.tight_layout()
