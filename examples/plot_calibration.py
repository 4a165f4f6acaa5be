"""
A thermocouple calibration curve
================================

A type K thermocouple's reference table gives the EMF every 100 °C. Reading a
temperature from a measured EMF needs the inverse curve, and the sensitivity
(the Seebeck coefficient, dE/dT) needs its derivative: both must be monotone
and smooth. The curve through the table is monotone, so its inverse is a
function too, fitted from the same table with the axes swapped.
"""

import matplotlib.pyplot as plt
import numpy as np

import velarix
from velarix import datasets

celsius, millivolts = datasets.calibration()
emf = velarix.interpolate(celsius, millivolts)
temperature = velarix.interpolate(millivolts, celsius)     # the inverse table

print(f"shape kept: {emf.is_shape_preserving}, {temperature.is_shape_preserving}")
print(f"a reading of 10.0 mV is {float(temperature(10.0)):.2f} °C")
print(f"round trip at 250 °C: {float(temperature(emf(250.0))):.6f} °C")

t = np.linspace(celsius[0], celsius[-1], 1501)
fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7, 6))
top.plot(t, emf(t), label="velarix (quintic)")
top.plot(celsius, millivolts, "o", label="reference table")
top.set_ylabel("EMF (mV)")
top.legend()
bottom.plot(t, 1000 * emf(t, nu=1))
bottom.set_ylabel("sensitivity dE/dT (µV/°C)")
bottom.set_xlabel("temperature (°C)")
fig.tight_layout()
