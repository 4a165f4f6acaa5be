"""The evaluation engine that every interpolant shares.

An interpolant converts its abscissae once (date-times counted in the
knots' unit), evaluates each curve into one preallocated array through the
classes' ``evaluate_into`` on the flat float64 view, refuses abscissae
outside the knots in the mode "raise", and shapes the result as
``x.shape + curves_shape``; a Dask array is evaluated block by block.
"""

import numpy as np
from numpy import float64 as _float64

from velarix._checks import counted, index_text, modes_text, number_text, real_array
from velarix._dask import is_dask, map_blocks


class Curves:
    """The evaluation engine that ``Interpolant`` and ``Antiderivative`` share."""

    def _evaluate(self, x, kind, name="x"):
        if is_dask(x):
            return map_blocks(self, x, kind)
        points = real_array(counted(x, self._unit, name), name)
        flat = points.reshape(-1)
        out = np.empty((len(self._splines), flat.size))
        if flat.size:
            if self._mode == "raise":
                self._refuse_outside(flat, points.shape, name)
            for j, into in enumerate(self._into):
                into(flat, out[j], kind, self._core_mode)
        return self._shaped(out, points.shape, scalar=not isinstance(x, np.ndarray))

    def _shaped(self, out, shape, scalar):
        if not self._curves_shape:
            result = out.reshape(shape)
            return result[()] if scalar and not shape else result
        # Curves last: x.shape + curves_shape, in C order.
        return np.ascontiguousarray(out.T).reshape(shape + self._curves_shape)

    def _refuse_outside(self, flat, shape, name):
        """ValueError naming the first abscissa beyond the knots, if any (NaN is not)."""
        lo, hi = self._lo, self._hi
        # Two reductions decide the common case; a NaN fails both
        # comparisons and sends the array to the mask, which skips it.
        if lo <= np.minimum.reduce(flat) and np.maximum.reduce(flat) <= hi:
            return
        beyond = np.flatnonzero((flat < lo) | (flat > hi))
        if beyond.size:
            first = int(beyond[0])
            where = f"{name}[{index_text(np.unravel_index(first, shape))}]" if shape else name
            raise ValueError(f"{where} = {number_text(flat[first])} is outside the domain "
                             f"[{number_text(lo)}, {number_text(hi)}]")

    def _scalar_call(self, x, kind):
        """One curve at one float: the class's own scalar evaluation, no arrays."""
        if self._mode == "raise" and not self._lo <= x <= self._hi and x == x:
            return self._evaluate(x, kind)
        return _float64(self._evaluate_one(x, kind, self._core_mode))

    @property
    def domain(self):
        """The first and the last knot."""
        return (self._lo, self._hi)

    @property
    def extrapolate(self):
        return self._mode

    # The modes stand in the docstring as the core lists them.
    extrapolate.__doc__ = f"The extrapolation mode, a str: one of {modes_text()}."

    @property
    def curves_shape(self):
        """The shape of the curves: y's shape without the knots' axis; () for one curve."""
        return self._curves_shape

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self


def beyond_poles(result, x, kind, mode):
    """The antiderivative in the mode "extend" where it exists; a refusal where the
    continued end piece (a rational cubic's quotient) passes a pole before x, so that
    its integral there does not exist and the closed form gives NaN."""
    if kind >= 0 or mode != "extend" or not np.isnan(result).any():
        return result
    try:
        at = np.asarray(x, dtype=float)
    except (TypeError, ValueError):
        return result
    at = np.reshape(at, np.shape(at) + (1,) * (np.ndim(result) - np.ndim(at)))
    # At an infinite bound the continuation's own limit stands (NaN where its
    # terms have none), as for the value.
    missing = np.isnan(result) & np.isfinite(at)
    if missing.any():
        where = number_text(np.broadcast_to(at, np.shape(result))[missing].flat[0])
        raise ValueError(f"extrapolate='extend' continues the end pieces' own closed forms, "
                         f"and their integral to x = {where} does not exist: the continued "
                         f"end piece has a pole before it; integrate within the knots or "
                         f"extrapolate by another mode")
    return result
