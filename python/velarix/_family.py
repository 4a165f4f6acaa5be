"""The interpolants: ``Interpolant``, the curves fitted on shared knots or one of their
derivatives or antiderivatives, and ``Antiderivative``, an antiderivative that
remembers the interpolant it integrates; their saved states, sealed by a checksum.
"""

import pickle
import uuid
import zlib

import numpy as np
from numpy import float64 as _float64

from velarix import _registry
from velarix._checks import chosen_mode, counted, index_text, number_text, real_array
from velarix._dask import is_dask
from velarix._engine import Curves, beyond_poles
from velarix._orders import (LOWEST, ORDINALS, beyond_lowest, differentiated, integrated_shift,
                             order_count, polynomial_at, resolved_order)
from velarix._roots import crossings

# Python and NumPy floats take the scalar path.
_SCALAR_TYPES = frozenset((float, np.float64))


class Interpolant(Curves):
    """Spline curves on shared knots, or one of their derivatives or antiderivatives.

    Made by ``velarix.interpolate``. ``f(x, nu=0)`` returns the value
    (``nu=0``) or the derivative of order ``nu`` at ``x``: an ndarray of
    shape ``y.shape[:axis] + x.shape + y.shape[axis+1:]``, or a NumPy float
    for a scalar ``x`` and one curve. Outside the knots the curve follows
    ``f.extrapolate`` or a per-call ``extrapolate=``. A NaN abscissa gives
    NaN. A Dask array gives a lazy Dask array, evaluated block by block
    where the blocks live.

    ``f.derivative(nu)`` and ``f.antiderivative(nu)`` are interpolants of
    the same kind; the classes evaluate up to the third derivative and down
    to the fourth antiderivative in closed form, and further orders are
    refused.

    Interpolants are immutable: they pickle, and ``copy.copy`` and
    ``copy.deepcopy`` return the object itself.
    """

    @classmethod
    def _from_parts(cls, x, splines, curves_shape, mode, config, axis=0, order=0, shift=None,
                    unit=None):
        self = cls.__new__(cls)
        # The unit of datetime64 knots ("s", "ns", ...), which the knots count
        # from the epoch; None for real knots.
        self._unit = unit
        self._x = np.array(x, dtype=np.float64)
        self._x.flags.writeable = False
        self._lo, self._hi = float(self._x[0]), float(self._x[-1])
        self._splines = tuple(splines)
        self._curves_shape = tuple(curves_shape)
        self._mode = mode
        self._config = config
        self._axis = axis
        self._order = order
        # Subtracted from the order-`order` curve: an antiderivative of a
        # derivative is 0 at the first knot with its derivatives below the
        # order it was taken from, as every antiderivative here. A polynomial
        # in x - x[0] per curve, shift[j, i] the coefficient of power i (a
        # constant, one coefficient, for a single antiderivative); None for
        # nothing.
        if shift is not None:
            shift = np.asarray(shift, dtype=np.float64)
            shift = shift.reshape(len(splines), -1) if shift.ndim < 2 else shift
        self._shift = shift
        # The core evaluates every mode but "raise", which is refused here
        # and leaves only abscissas inside the knots.
        self._core_mode = "hold" if mode == "raise" else mode
        self._engines = {}
        self._into = [s.evaluate_into for s in self._splines]
        # The scalar path of one curve skips the arrays altogether.
        self._single = len(self._splines) == 1 and not self._curves_shape
        self._evaluate_one = self._splines[0].evaluate if self._single else None
        plain = self._single and order == 0 and shift is None
        self._value = self._splines[0].value if plain else None
        self._token = uuid.uuid4().hex
        return self

    def _parts(self):
        return (self._x, self._splines, self._curves_shape, self._mode, self._config,
                self._axis, self._order, self._shift, self._unit)

    def __reduce__(self):
        return (restored, (sealed_state(type(self), self._parts()),))

    def __dask_tokenize__(self):
        # Dask names the tasks of a graph by a token of their arguments, and
        # would otherwise pickle every spline to make one: seconds at 10^6
        # knots, for each graph. An interpolant never changes, so a token
        # drawn once names it (a pickled copy draws its own), with the
        # extrapolation mode of the view evaluating it.
        return ("velarix.Interpolant", self._token, self._mode)

    def _related(self, order, shift):
        return Interpolant._from_parts(*self._parts()[:6], order, shift, self._unit)

    def _engine(self, mode):
        """The evaluation engine of one extrapolation mode: the one place a mode meets it.

        The interpolant's own mode is the interpolant itself; another mode a
        view sharing its state.
        """
        if mode == self._mode:
            return self
        engine = self._engines.get(mode)
        if engine is None:
            engine = object.__new__(type(self))
            vars(engine).update(vars(self))
            engine._mode = mode
            engine._core_mode = "hold" if mode == "raise" else mode
            self._engines[mode] = engine
        return engine

    def _values(self, x, kind, mode, name="x"):
        """The order-`kind` curves at x in the given mode, before the axis rule."""
        engine = self._engine(mode)
        if type(x) in _SCALAR_TYPES and self._single:
            return beyond_poles(engine._scalar_call(x, kind), x, kind, mode)
        return beyond_poles(engine._evaluate(x, kind, name), x, kind, mode)

    def _placed(self, result, x_ndim):
        """x's axes moved to where the knots' axis was in y."""
        if not self._axis or not x_ndim or not self._curves_shape:
            return result
        return np.moveaxis(result, range(x_ndim), range(self._axis, self._axis + x_ndim))

    def __call__(self, x, nu=0, extrapolate=None):
        """The curve (nu=0) or its derivative of order nu at x, any shape."""
        if extrapolate is None and self._value is not None and type(x) in _SCALAR_TYPES:
            if nu == 0 and type(nu) is int and self._lo <= x <= self._hi:
                return _float64(self._value(x))
            return self._scalar_call(x, resolved_order(0, nu))
        kind = resolved_order(self._order, nu)
        result = self._values(x, kind, chosen_mode(extrapolate, self._mode))
        shift = self._shift_at(x, kind - self._order)
        if shift is not None:
            result = result - shift
        return self._placed(result, np.ndim(x))

    def _shift_at(self, x, order, name="x"):
        """The shift's derivative of that order (-1 its integral from x[0]) at x, as a call's
        result is shaped (x.shape + curves_shape); None where it is 0 throughout."""
        terms = differentiated(self._shift, order)
        if terms is None:
            return None
        if terms.shape[1] == 1:
            return terms[:, 0].reshape(self._curves_shape)
        points = x if is_dask(x) else real_array(counted(x, self._unit, name), name)
        return polynomial_at(terms, points - self._lo, self._curves_shape)

    def integrate(self, a, b, extrapolate=None):
        """∫ from a to b of each curve, broadcasting a and b; outside the knots by the mode.

        The result has the shape of a call at ``broadcast(a, b)`` (a NumPy
        float for scalar bounds and one curve).
        """
        if self._order == LOWEST:
            raise beyond_lowest(f"integrate needs the curve's {ORDINALS[1 - LOWEST]} "
                                 f"antiderivative")
        mode = chosen_mode(extrapolate, self._mode)
        kind = self._order - 1
        try:
            ndim = len(np.broadcast_shapes(np.shape(a), np.shape(b)))
        except ValueError:
            raise ValueError(f"a and b must broadcast together, got shapes {np.shape(a)} and "
                             f"{np.shape(b)}") from None
        lower = self._values(a, kind, mode, "a")
        upper = self._values(b, kind, mode, "b")
        if self._shift is not None:  # minus the shift's integral over [a, b]
            lower = lower - self._shift_at(a, -1, "a")
            upper = upper - self._shift_at(b, -1, "b")
        # Equal limits enclose nothing: 0, also where both are infinite and
        # the difference of the antiderivatives there would be inf - inf.
        same = np.equal(a, b)
        same = np.reshape(same, np.shape(same) + (1,) * len(self._curves_shape))
        shape = np.broadcast_shapes(np.shape(upper), np.shape(lower))
        result = np.subtract(upper, lower, out=np.zeros(shape), where=~same)[()]
        return self._placed(result, ndim)

    def derivative(self, nu=1):
        """The derivative of order nu, an interpolant (orders up to the third of the fit)."""
        order = resolved_order(self._order, nu)
        return self._related(order, differentiated(self._shift, order - self._order))

    def antiderivative(self, nu=1):
        """The antiderivative of order nu that is 0 at the first knot, an interpolant.

        It vanishes there with its derivatives below order nu. The classes
        integrate the fitted curve in closed form down to its fourth
        antiderivative (each piece's repeated integral); deeper orders are
        refused.
        """
        count = order_count(nu)
        order = self._order - count
        if order < LOWEST:
            raise beyond_lowest(f"nu={nu} asks for antiderivative {-order} of the fitted curve")
        if count == 0:
            return self
        shift = integrated_shift(self._splines, self._lo, self._shift, order, count)
        if order < 0 and shift is None:
            base = self._interpolant if isinstance(self, Antiderivative) else self
            if base._order == 0 and type(base) is Interpolant:
                return Antiderivative(base, -order)
        return self._related(order, shift)

    def roots(self, discontinuity=True, extrapolate=None):
        """Where each curve is 0: ``solve(0.0, ...)``."""
        return self.solve(0.0, discontinuity, extrapolate)

    def solve(self, y=0.0, discontinuity=True, extrapolate=None):
        """The sorted abscissae where the curve equals ``y``.

        Every crossing, each to a few ulps; a touch without crossing once;
        a stretch where the curve equals ``y`` by its two ends. Outside the
        knots, the crossings of the continuation in the modes "linear" and
        "constant" (a held curve is constant there; "extend" is not
        searched). For several curves, an object array of shape ``curves_shape`` holding each
        curve's roots; for an array of levels, an object array of shape
        ``y.shape + curves_shape``. ``discontinuity`` is accepted for scipy's
        signature: the curves are continuous up to their second derivative.

        Raises
        ------
        ValueError
            For a level that is not a finite real number.
        """
        levels = real_array(y, "y")
        bad = np.flatnonzero(~np.isfinite(levels.reshape(-1)))
        if bad.size:
            where = (f"y[{index_text(np.unravel_index(int(bad[0]), levels.shape))}]"
                     if levels.ndim else "y")
            raise ValueError(
                f"{where} must be finite, got {number_text(levels.reshape(-1)[bad[0]])}")
        mode = chosen_mode(extrapolate, self._mode)
        if levels.ndim:
            out = np.empty(levels.shape + self._curves_shape, dtype=object)
            for index in np.ndindex(levels.shape):
                out[index] = self.solve(float(levels[index]), discontinuity, mode)
            return out
        level = float(levels)
        found = [crossings(self._engine(mode), j, level) for j in range(len(self._splines))]
        if not self._curves_shape:
            return found[0]
        out = np.empty(len(found), dtype=object)
        out[:] = found
        return out.reshape(self._curves_shape)

    @property
    def order(self):
        """Which derivative of the fitted curves this is: 0 the curves, -n their n-th
        antiderivative."""
        return self._order

    @property
    def axis(self):
        """The axis of y that ran along the knots; a call puts x's axes there."""
        return self._axis

    @property
    def x(self):
        """The knots, a read-only float64 array."""
        return self._x

    @property
    def splines(self):
        """The fitted spline of each curve, in row-major order of ``curves_shape``."""
        return self._splines

    @property
    def configuration(self):
        """The method's configuration object that fitted the curves."""
        return self._config

    @property
    def is_shape_preserving(self):
        """Whether each fit keeps the shape its method promises, by the fit's own verdict.

        A bool for one curve, else a bool array of shape ``curves_shape``.
        The promise is the method's: the requirements its record lists
        ("monotone", "convex" or concave, "flat", "overshoot" bounded), each
        where the data have that shape:

PROMISE_LIST
        """
        verdicts = np.array([s.is_shape_preserving for s in self._splines], dtype=bool)
        if not self._curves_shape:
            return bool(verdicts[0])
        return verdicts.reshape(self._curves_shape)

    def __repr__(self):
        order = f", order={self._order}" if self._order else ""
        return (f"Interpolant({type(self._splines[0]).__name__ if self._splines else 'no curves'}"
                f" on [{self._lo!r}, {self._hi!r}], {len(self._x)} knots, "
                f"curves_shape={self._curves_shape}, extrapolate={self._mode!r}{order})")


class Antiderivative(Interpolant):
    """The antiderivative of order nu (1 to 4) of a fitted ``Interpolant`` from its first knot.

    ``F(x, nu=0)`` for ``F = f.antiderivative(n)``: nu = 0 the n-fold
    integral from ``x[0]`` to ``x`` (the integral of the integral ...), 0 at
    ``x[0]`` with its first n - 1 derivatives; nu = n the curve itself and
    up to n + 3 its derivatives, with the interpolant's shapes and
    extrapolation mode, which is integrated as it continues the curve.
    ``F.derivative()``, ``F.antiderivative()``, ``F.integrate(a, b)`` (the
    next antiderivative's difference), ``F.solve`` and ``F.roots`` work as
    on the interpolant. ``f.antiderivative(n)`` returns one.
    """

    def __init__(self, interpolant, nu=1):
        if order_count(nu) > -LOWEST:
            raise beyond_lowest(f"nu={nu} asks for antiderivative {nu} of the fitted curve")
        if nu == 0:
            raise ValueError("nu must be a positive integer, got 0")
        state = Interpolant._from_parts(*interpolant._parts()[:6], -nu, None, interpolant._unit)
        vars(self).update(vars(state))
        self._interpolant = interpolant

    def __reduce__(self):
        return (Antiderivative, (self._interpolant, -self._order))

    def _related(self, order, shift):
        if shift is None and order == 0:
            return self._interpolant
        if shift is None and order < 0:
            return Antiderivative(self._interpolant, -order)
        return super()._related(order, shift)

    @property
    def interpolant(self):
        """The ``Interpolant`` this is the antiderivative of."""
        return self._interpolant

    def __repr__(self):
        depth = f", nu={-self._order}" if self._order != -1 else ""
        return f"Antiderivative({self._interpolant!r}{depth})"


def sealed_state(cls, parts):
    """An interpolant's class and parts as a pickled state closed by its CRC-32.

    The splines' own states refuse any altered byte; the knots, the shapes,
    the mode and the shift around them are covered here, as the splines'
    states are: the state ends with the CRC-32 of all its bytes, little-endian.
    """
    state = pickle.dumps((cls, parts), protocol=pickle.HIGHEST_PROTOCOL)
    return state + zlib.crc32(state).to_bytes(4, "little")


def restored(sealed):
    """The interpolant of a state made by ``sealed_state``; ValueError if it is damaged."""
    if not isinstance(sealed, bytes) or len(sealed) < 4:
        raise ValueError("invalid saved state: the interpolant's state is truncated")
    state, checksum = sealed[:-4], int.from_bytes(sealed[-4:], "little")
    if zlib.crc32(state) != checksum:
        raise ValueError("invalid saved state: the interpolant's state is damaged "
                         "(its checksum does not match)")
    cls, parts = pickle.loads(state)
    return cls._from_parts(*parts)


def _promise_list():
    """Each registered method's promises and summary, as the verdict's docstring lists them."""
    return "\n".join(f'        - "{m.name}" ({", ".join(m.promises)}): {m.summary}'
                     for m in _registry.RECORDS.values())


# The methods' promises stand in the verdict's docstring as their records
# state them (no docstring under -OO).
if Interpolant.is_shape_preserving.__doc__:
    Interpolant.is_shape_preserving.__doc__ = (
        Interpolant.is_shape_preserving.__doc__.replace("PROMISE_LIST", _promise_list()))
