"""Classic test data for shape-preserving interpolation.

Each function returns ``(x, y)`` as two ``array.array('d')`` buffers, which
every ``fit`` accepts directly (as it accepts NumPy arrays).
"""

from array import array

__all__ = ["akima", "fritsch_carlson", "titanium"]


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
