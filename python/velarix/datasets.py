"""Small data sets for trying velarix, as tables arrive.

Each curve's function returns ``(x, y)`` as two ``array.array('d')``
buffers, which every ``fit`` and `velarix.interpolate` accept directly (as
they accept NumPy arrays); the command fits any of them with ``--example``.
`property_table` returns a table of two variables for
`velarix.interpolate_grid`.

Examples
--------
>>> from velarix import datasets
>>> x, y = datasets.calibration()
>>> len(x), x[0], y[0]
(16, -200.0, -5.891)
"""

from array import array

__all__ = ["akima", "fritsch_carlson", "titanium", "calibration", "normal_cdf", "yield_curve",
           "cam", "dose_response", "property_table"]

# The data sets of one curve, which the command's ``--example`` offers.
CURVES = ("akima", "fritsch_carlson", "titanium", "calibration", "normal_cdf", "yield_curve",
          "cam", "dose_response")


def akima():
    """Akima's 1970 data: flat, then a sharp monotone rise (11 points)."""
    x = [0, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15]
    y = [10, 10, 10, 10, 10, 10, 10.5, 15, 50, 60, 85]
    return array("d", x), array("d", y)


def fritsch_carlson():
    """The Fritsch–Carlson RPN 15A data: monotone, nearly a step (9 points)."""
    x = [7.99, 8.09, 8.19, 8.7, 9.2, 10, 12, 15, 20]
    y = [0, 2.76429e-5, 4.37498e-2, 0.169183, 0.469428, 0.943740, 0.998636, 0.999919, 0.999994]
    return array("d", x), array("d", y)


def titanium():
    """de Boor's titanium heat data: a sharp peak on a flat base (49 points)."""
    x = [595 + 10 * i for i in range(49)]
    y = [
        0.644, 0.622, 0.638, 0.649, 0.652, 0.639, 0.646, 0.657, 0.652, 0.655,
        0.644, 0.663, 0.663, 0.668, 0.676, 0.676, 0.686, 0.679, 0.678, 0.683,
        0.694, 0.699, 0.710, 0.730, 0.763, 0.812, 0.907, 1.044, 1.336, 1.881,
        2.169, 2.075, 1.598, 1.211, 0.916, 0.746, 0.672, 0.627, 0.615, 0.607,
        0.606, 0.609, 0.603, 0.601, 0.603, 0.601, 0.611, 0.601, 0.608,
    ]
    return array("d", x), array("d", y)


def calibration():
    """A type K thermocouple's reference table: EMF (mV) against temperature (°C),
    every 100 °C from -200 to 1300 (16 points, rounded to 1 µV as published)."""
    x = [-200 + 100 * i for i in range(16)]
    y = [-5.891, -3.554, 0.0, 4.096, 8.138, 12.209, 16.397, 20.644, 24.905, 29.129, 33.275,
         37.326, 41.276, 45.119, 48.838, 52.410]
    return array("d", x), array("d", y)


def normal_cdf():
    """The standard normal distribution function: at z = -3, -2.5, ..., 3, to four
    decimals as printed tables give it (13 points)."""
    x = [-3 + 0.5 * i for i in range(13)]
    y = [0.0013, 0.0062, 0.0228, 0.0668, 0.1587, 0.3085, 0.5, 0.6915, 0.8413, 0.9332, 0.9772,
         0.9938, 0.9987]
    return array("d", x), array("d", y)


def yield_curve():
    """An illustrative government bond curve: zero-coupon yields (% a year) against
    maturity (years), from three months to thirty years (10 points)."""
    x = [0.25, 0.5, 1, 2, 3, 5, 7, 10, 20, 30]
    y = [4.32, 4.28, 4.11, 3.92, 3.86, 3.90, 4.02, 4.18, 4.51, 4.47]
    return array("d", x), array("d", y)


def cam():
    """A cam's radius against angle in degrees: one turn (15 points, first and
    last equal), a dwell on the base circle from 330° over the wrap to 150°,
    a rise, a dwell at full lift from 220° to 260° and a fall."""
    x = [0, 30, 60, 90, 120, 150, 180, 200, 220, 240, 260, 280, 300, 330, 360]
    y = [1, 1, 1, 1, 1, 1, 1.1, 1.35, 1.6, 1.6, 1.6, 1.35, 1.1, 1, 1]
    return array("d", x), array("d", y)


def dose_response():
    """A simulated assay: response (% of the maximum) at nine doses (µM), three
    replicates each (27 points, ties in x), from a Hill curve with a half-effect
    dose of 1.5 µM and 4 % noise."""
    doses = [0.01, 0.03, 0.1, 0.3, 1, 3, 10, 30, 100]
    y = [0.2, 1.4, -0.9, -2.7, -0.9, -3.1, 4.0, 9.1, 1.8, 10.2, 14.6, 14.1, 38.5, 34.3, 38.0,
         72.5, 64.3, 67.8, 83.1, 85.5, 83.3, 96.4, 92.3, 98.4, 100.0, 98.6, 89.3]
    return array("d", [d for d in doses for _ in range(3)]), array("d", y)


def property_table():
    """Air's density (kg/m³) as an ideal gas, tabulated against pressure (bar) and
    temperature (K) to four significant digits: ``(pressure, temperature, density)``
    with ``density[i][j]`` at ``pressure[i]`` and ``temperature[j]`` (6 x 8 values)."""
    pressure = [1, 2, 5, 10, 20, 50]
    temperature = [250, 275, 300, 350, 400, 450, 500, 600]
    density = [[float(f"{p * 1e5 / (287.05 * t):.4g}") for t in temperature] for p in pressure]
    return array("d", pressure), array("d", temperature), [array("d", row) for row in density]
