"""
A yield curve: forward rates and discount factors
=================================================

Zero-coupon yields y(T) at a few maturities define the discount factor
P(T) = exp(-T y(T)) and the instantaneous forward rate
f(T) = d(T y(T))/dT. Forward rates read from the curve's derivative must not
swing where the yields do not: a C² curve that invents no wiggles gives
continuous, calm forward rates.
"""

import matplotlib.pyplot as plt
import numpy as np
from scipy.interpolate import CubicSpline

import velarix
from velarix import datasets

years, percent = datasets.yield_curve()
T = np.asarray(years)
y = np.asarray(percent) / 100
total = velarix.interpolate(T, T * y)          # T·y(T), the integral of the forward rate
cubic = CubicSpline(T, T * y)

grid = np.linspace(T[0], T[-1], 2000)
forward = total(grid, nu=1)
discount = np.exp(-total(grid))
print(f"forward rates between {forward.min():.4f} and {forward.max():.4f} a year")
print(f"10-year discount factor {float(np.exp(-total(10.0))):.5f}")

fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 6))
top.plot(grid, 100 * total(grid) / grid, label="zero yield")
top.plot(grid, 100 * forward, label="forward rate, velarix")
top.plot(grid, 100 * cubic(grid, 1), "--", label="forward rate, CubicSpline")
top.plot(T, 100 * y, "o", label="quoted yields")
top.set_ylabel("% a year")
top.legend()
bottom.plot(grid, discount)
bottom.set_ylabel("discount factor")
bottom.set_xlabel("maturity (years)")
fig.tight_layout()
