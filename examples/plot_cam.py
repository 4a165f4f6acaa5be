"""
A periodic cam profile
======================

A cam's radius is a function of angle with no ends: the follower's
acceleration (the second derivative) must be continuous across the wrap
from 360° to 0°, and the dwells must stay circles. Periodic ends give a C²
curve across the wrap; the quintic keeps the dwells exactly at the base and
full-lift radii.
"""

import matplotlib.pyplot as plt
import numpy as np
from scipy.interpolate import CubicSpline

import velarix
from velarix import datasets

degrees, radius = datasets.cam()
theta = np.radians(degrees)
cam = velarix.interpolate(theta, radius, bc_type="periodic")
cubic = CubicSpline(theta, radius, bc_type="periodic")

turn = np.linspace(0.0, 2 * np.pi, 3601)
for nu in range(3):
    print(f"order {nu} across the wrap: {float(cam(0.0, nu)):+.6f} {float(cam(2 * np.pi, nu)):+.6f}")
print(f"largest radius: velarix {cam(turn).max():.6f}, CubicSpline {cubic(turn).max():.6f}")

fig = plt.figure(figsize=(9, 4))
left = fig.add_subplot(1, 2, 1)
left.plot(np.degrees(turn), cam(turn, nu=2), label="velarix")
left.plot(np.degrees(turn), cubic(turn, 2), "--", label="CubicSpline")
left.set_xlabel("angle (degrees)")
left.set_ylabel("d²r/dθ²")
left.legend()
right = fig.add_subplot(1, 2, 2, projection="polar")
right.plot(turn, cam(turn), label="velarix")
right.plot(turn, cubic(turn), "--", label="CubicSpline")
right.plot(theta, radius, "o")
fig.tight_layout()
