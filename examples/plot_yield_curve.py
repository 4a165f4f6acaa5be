"""
A yield curve: forward rates and discount factors
=================================================

Zero-coupon yields y(T) quoted at a few maturities define the discount
factor P(T) = exp(-T y(T)) and the instantaneous forward rate
f(T) = y(T) + T y'(T). The quotes peak at 20 years and ease off to 30: a
cubic spline through them rises to a hump of its own between the two
(4.545 % where no quote exceeds 4.51 %) and dips below the 3-year trough,
and its forward rates follow those swings. velarix's curve stays within the
quotes (monotone where they are), and it is C², so the forward rates, which
read its first derivative, are continuous and have a continuous slope.
"""

import matplotlib.pyplot as plt
import numpy as np
from scipy.interpolate import CubicSpline

import velarix
from velarix import datasets

years, percent = datasets.yield_curve()
T = np.asarray(years)
y = np.asarray(percent) / 100
curve = velarix.interpolate(T, y)
cubic = CubicSpline(T, y)

late = np.linspace(20.0, 30.0, 1001)
print(f"highest yield from 20 to 30 years: velarix {100 * curve(late).max():.3f} %, "
      f"CubicSpline {100 * cubic(late).max():.3f} % (quotes: at most {percent[-2]} %)")
print(f"10-year discount factor {float(np.exp(-10.0 * curve(10.0))):.5f}")

grid = np.linspace(T[0], T[-1], 3000)
forward = curve(grid) + grid * curve(grid, nu=1)
forward_cubic = cubic(grid) + grid * cubic(grid, 1)
fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 6))
top.plot(grid, 100 * curve(grid), label="zero yield, velarix")
top.plot(grid, 100 * cubic(grid), "--", label="zero yield, CubicSpline")
top.plot(grid, 100 * forward, label="forward rate, velarix")
top.plot(grid, 100 * forward_cubic, ":", label="forward rate, CubicSpline")
top.plot(T, 100 * y, "o", label="quoted yields")
top.set_ylabel("% a year")
top.legend(fontsize="small")
bottom.plot(grid, np.exp(-grid * curve(grid)))
bottom.set_ylabel("discount factor")
bottom.set_xlabel("maturity (years)")
fig.tight_layout()
