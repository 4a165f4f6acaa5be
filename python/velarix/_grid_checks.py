"""The checks of ``interpolate_grid``'s arguments: the axes, the method, the
extrapolation mode and the workers, each refused with a message naming it."""

import numpy as np

from velarix import _velarix
from velarix._checks import index_text, number_text, real_array

GRID_METHODS = _velarix.GridSurface.methods()
GRID_MODES = ("linear", "constant", "nan", "raise")
HIGHEST_GRID_ORDER = 2
_LEAST_AXES, _MOST_AXES = 2, 6


def listed(names):
    return ", ".join(repr(name) for name in names)


def grid_mode(extrapolate, default):
    if extrapolate is None:
        return default
    if not isinstance(extrapolate, str) or extrapolate not in GRID_MODES:
        raise ValueError(f"extrapolate must be one of {listed(GRID_MODES)}, got {extrapolate!r}")
    return extrapolate


def grid_workers(workers):
    if workers is None:
        return 0
    if isinstance(workers, bool) or not isinstance(workers, (int, np.integer)) or workers < 1:
        raise ValueError(f"workers must be a positive integer or None, got {workers!r}")
    return int(workers)


def grid_axes(points):
    if not isinstance(points, (tuple, list)):
        raise ValueError(f"points must be a tuple of {_LEAST_AXES} to {_MOST_AXES} "
                         f"one-dimensional arrays, got {type(points).__name__}")
    if not _LEAST_AXES <= len(points) <= _MOST_AXES:
        raise ValueError(f"points must be a tuple of {_LEAST_AXES} to {_MOST_AXES} "
                         f"one-dimensional arrays, got {len(points)}")
    axes = []
    for a, x in enumerate(points):
        array = real_array(x, f"points[{a}]")
        if array.ndim != 1:
            raise ValueError(f"points[{a}] must be one-dimensional, got shape {array.shape}")
        axes.append(array)
    return tuple(axes)


def first_bad(values, name):
    """ValueError naming the first entry of `values` that is not finite, if any."""
    bad = ~np.isfinite(values)
    if bad.any():
        index = np.unravel_index(int(np.flatnonzero(bad)[0]), values.shape)
        raise ValueError(f"{name}[{index_text(index)}] must be finite, "
                         f"got {number_text(values[index])}")
