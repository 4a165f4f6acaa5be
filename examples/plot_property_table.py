"""
A property table of two variables
=================================

Air's density tabulated against pressure and temperature: it rises with
pressure and falls with temperature. ``velarix.interpolate_grid`` fits a C²
surface that keeps both monotone directions between the nodes, and gives
partial derivatives in closed form.
"""

import matplotlib.pyplot as plt
import numpy as np

import velarix
from velarix import datasets

pressure, temperature, density = datasets.property_table()
rho = velarix.interpolate_grid((pressure, temperature), np.array(density))
print(rho)
print(f"shape kept: {rho.is_shape_preserving}")
print(f"density at 3 bar, 320 K: {float(rho([3.0, 320.0])):.4f} kg/m³")
print(f"d rho / d T there: {float(rho([3.0, 320.0], nu=(0, 1))):.5f} kg/m³/K")

p = np.linspace(pressure[0], pressure[-1], 200)
t = np.linspace(temperature[0], temperature[-1], 200)
surface = rho.grid(p, t)
fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4))
image = left.pcolormesh(t, p, surface, shading="auto")
left.contour(t, p, surface, colors="white", linewidths=0.5)
fig.colorbar(image, ax=left, label="density (kg/m³)")
left.set_xlabel("temperature (K)")
left.set_ylabel("pressure (bar)")
for bar in (1.0, 10.0, 50.0):
    right.plot(t, rho.grid([bar], t)[0], label=f"{bar:g} bar")
right.set_yscale("log")
right.set_xlabel("temperature (K)")
right.legend()
fig.tight_layout()
