"""
Smoothing a noisy dose–response curve
=====================================

Three replicates at each of nine doses: the x repeat, so no interpolant can
pass through the data, and the noise would make one wiggle. The smoothing
spline picks its smoothness by generalised cross-validation and, asked for
an increasing curve, is monotone by construction.
"""

import matplotlib.pyplot as plt
import numpy as np

import velarix
from velarix import datasets

dose, response = datasets.dose_response()
log_dose = np.log10(dose)
free = velarix.smooth(log_dose, response)
rising = velarix.smooth(log_dose, response, "increasing")
print(rising.smoothing)

grid = np.linspace(log_dose[0], log_dose[-1], 1000)
print(f"falls anywhere: free {bool(np.any(np.diff(free(grid)) < 0))}, "
      f"increasing {bool(np.any(np.diff(rising(grid)) < 0))}")

fig, ax = plt.subplots(figsize=(7, 4))
ax.plot(log_dose, response, "o", alpha=0.6, label="replicates")
ax.plot(grid, free(grid), "--", label="smooth, no shape")
ax.plot(grid, rising(grid), label='smooth, "increasing"')
ax.set_xlabel("log10 dose (µM)")
ax.set_ylabel("response (% of maximum)")
ax.legend()
fig.tight_layout()
