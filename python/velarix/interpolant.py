"""NumPy-native interpolation over the velarix spline classes.

``interpolate(x, y)`` converts and validates the data once, fits one spline
per curve of ``y`` and returns an ``Interpolant``: a callable that takes
array-likes of any shape, evaluates the curve or its first two derivatives
through the classes' ``*_batch_into`` methods on flat float64 views, and
continues the curve outside the knots by the chosen extrapolation mode.
"""

import operator

import numpy as np

from velarix import _registry

__all__ = ["Antiderivative", "Interpolant", "interpolate"]

EXTRAPOLATION_MODES = ("linear", "constant", "hold", "nan", "raise")


# Every registered method by its snake-case name: a function that returns
# the configuration interpolate fits with (limited end slopes; the strict
# tension policy; the Newton convexity solve).
METHODS = {
    name: (lambda method=method: method.interpolation_configuration)
    for name, method in _registry.METHODS.items()
}

# Python and NumPy floats take the scalar path.
_SCALAR_TYPES = frozenset((float, np.float64))

# Each piece is cut into this many equal parts when `solve` looks for level
# crossings: a shape-preserving piece turns at most once, and the parts
# bracket any pair of crossings that a turn between two knots allows.
SOLVE_SUBDIVISIONS = 8
# Bisection reaches adjacent doubles in at most ~64 halvings on a finite
# interval away from 0; Newton steps take the rest.
SOLVE_MAX_STEPS = 200

_float64 = np.float64


def _number(value):
    """A double as the library's messages print it: shortest, no exponent."""
    value = float(value)
    if value != value:
        return "NaN"
    return np.format_float_positional(value, unique=True, trim="-")


def _index_text(index):
    return ", ".join(str(int(i)) for i in index)


def _real_array(values, name):
    """An array-like of real numbers as a C-contiguous, aligned float64 array of native
    byte order: the array itself when it already is one, else one copy.

    The classes read their buffers as doubles in place; an unaligned buffer
    (from pickling, shared memory, a byte offset into raw storage) or a
    byte-swapped one cannot be read that way, so it is copied here.
    """
    array = np.asarray(values)
    if array.dtype.kind not in "iuf":
        raise ValueError(f"{name} must hold real numbers, got an array of {array.dtype}")
    return np.require(array, np.float64, ["C_CONTIGUOUS", "ALIGNED"])


def _first_not_finite(array, name):
    bad = ~np.isfinite(array)
    if bad.any():
        index = np.unravel_index(int(np.flatnonzero(bad)[0]), array.shape)
        raise ValueError(
            f"{name}[{_index_text(index)}] must be finite, got {_number(array[index])}")


def _knots(x):
    x = _real_array(x, "x")
    if x.ndim != 1:
        raise ValueError(f"x must be one-dimensional, got {x.ndim} dimensions")
    if len(x) < 2:
        raise ValueError(f"need at least 2 data points, got {len(x)}")
    _first_not_finite(x, "x")
    steps = np.flatnonzero(~(x[1:] > x[:-1]))
    if steps.size:
        i = int(steps[0])
        raise ValueError(f"x must be strictly increasing; x[{i}] = {_number(x[i])} "
                         f"is not < x[{i + 1}] = {_number(x[i + 1])}")
    return x


def _axis(axis, ndim):
    try:
        index = operator.index(axis)
    except TypeError:
        raise ValueError(f"axis must be an integer, got {axis!r}") from None
    if not -ndim <= index < ndim:
        raise ValueError(f"axis {index} is out of range for y with {ndim} dimensions")
    return index % ndim


def _configuration(method):
    if isinstance(method, str) and method in METHODS:
        return METHODS[method]()
    if isinstance(method, str) or not callable(getattr(method, "fit", None)):
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))} "
                         f"or a configuration object, got {method!r}")
    return method


def _extrapolation(mode):
    if not isinstance(mode, str) or mode not in EXTRAPOLATION_MODES:
        raise ValueError(f"extrapolate must be one of "
                         f"{', '.join(map(repr, EXTRAPOLATION_MODES))}, got {mode!r}")
    return mode


def _order(nu, top):
    """The derivative order `nu` as an int in 0..top, or ValueError."""
    try:
        order = None if isinstance(nu, (bool, np.bool_)) else operator.index(nu)
    except TypeError:
        order = None
    if order is None or not 0 <= order <= top:
        allowed = ", ".join(map(str, range(top))) + f" or {top}"
        raise ValueError(f"nu must be {allowed}, got {nu!r}")
    return order


def _fit_curves(config, x, y, axis):
    """One fitted spline per curve of y, in row-major order of the curves."""
    curves_shape = y.shape[:axis] + y.shape[axis + 1:]
    columns = np.ascontiguousarray(np.moveaxis(y, axis, -1)).reshape(-1, len(x))
    splines = []
    for j, column in enumerate(columns):
        try:
            splines.append(config.fit(x, column))
        except ValueError as error:
            if curves_shape:
                index = [str(i) for i in np.unravel_index(j, curves_shape)]
                index.insert(axis, ":")
                error.add_note(f"while fitting y[{', '.join(index)}]")
            raise
    return tuple(splines), curves_shape


def interpolate(x, y, method="tension", *, axis=0, extrapolate="linear"):
    """Fit a shape-preserving C² spline through (x, y) and return an ``Interpolant``.

    Parameters
    ----------
    x : array-like of real numbers, one-dimensional
        The knots: finite and strictly increasing, at least 2 of them. Lists,
        tuples, integers, float32, any strides, alignment and byte order are
        accepted; an array that is not already aligned, contiguous, native
        float64 is copied once, any other is used in place.
    y : array-like of real numbers
        The values, finite, with ``len(x)`` entries along ``axis``. Any other
        axes hold several curves on the same knots: ``y`` of shape (n, 3)
        gives three curves, evaluated together.
    method : str or configuration object, default "tension"
        "tension" (the default: it accepts any data and keeps every
        interval's monotonicity and convexity, with the strict shape policy),
        "rational_cubic" (data convex throughout or concave throughout; the
        curve is then convex or concave everywhere; Newton convexity solve),
        or "variable_degree" (inflections allowed; each interval's curvature
        sign follows the data). The three use limited end slopes, which keep
        the end intervals inside the data's shape. A configuration object
        such as ``velarix.Tension().with_uniform_tension(2.0)`` is used
        exactly as given.
    axis : int, default 0
        The axis of ``y`` that runs along the knots; negative counts from
        the end. The default matches ``y`` laid out as one row per knot.
    extrapolate : str, default "linear"
        What the curve does outside ``[x[0], x[-1]]``:
        "linear" (the default) continues the end value with the end slope,
        so the second derivative is 0 there and value, slope and integral
        stay consistent with each other (a Newton solve outside the data
        converges); "constant" holds the end value, with derivatives 0;
        "hold" is the spline classes' own rule (value and both derivatives
        held at the end); "nan" gives NaN; "raise" raises ``ValueError``
        naming the first abscissa outside. ``integrate`` follows the mode.

    Returns
    -------
    Interpolant
        Call it as ``f(x, nu=0)``; see ``Interpolant``.

    Raises
    ------
    ValueError
        For data that are not real numbers, not finite, of the wrong shape,
        or knots not strictly increasing (the message names the argument, the
        index and the value), for an unknown ``method`` or ``extrapolate``,
        and for data the method refuses (for instance "rational_cubic" on
        data whose curvature changes; with several curves a note names the
        curve).
    """
    config = _configuration(method)
    mode = _extrapolation(extrapolate)
    knots = _knots(x)
    values = _real_array(y, "y")
    if values.ndim == 0:
        raise ValueError("y must have at least one dimension, got a scalar")
    axis = _axis(axis, values.ndim)
    if values.shape[axis] != len(knots):
        raise ValueError(f"x and y must have the same length along axis {axis} "
                         f"(got {len(knots)} and {values.shape[axis]})")
    _first_not_finite(values, "y")
    splines, curves_shape = _fit_curves(config, knots, values, axis)
    return Interpolant._from_parts(knots, splines, curves_shape, mode, config)


def _is_dask(x):
    return type(x).__module__.startswith("dask.") and hasattr(x, "map_blocks")


def _evaluate_block(block, curves, kind):
    return curves._evaluate(block, kind)


class _Curves:
    """The evaluation engine that ``Interpolant`` and ``Antiderivative`` share."""

    def _evaluate(self, x, kind, name="x"):
        if _is_dask(x):
            return self._map_blocks(x, kind)
        points = _real_array(x, name)
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
            where = f"{name}[{_index_text(np.unravel_index(first, shape))}]" if shape else name
            raise ValueError(f"{where} = {_number(flat[first])} is outside the domain "
                             f"[{_number(lo)}, {_number(hi)}]")

    def _scalar_call(self, x, kind):
        """One curve at one float: the class's own scalar evaluation, no arrays."""
        if self._mode == "raise" and not self._lo <= x <= self._hi and x == x:
            return self._evaluate(x, kind)
        return _float64(self._evaluate_one(x, kind, self._core_mode))

    def _map_blocks(self, x, kind):
        curves = self._curves_shape
        new_axes = list(range(x.ndim, x.ndim + len(curves)))
        return x.map_blocks(
            _evaluate_block, curves=self, kind=kind, dtype=np.float64,
            new_axis=new_axes or None, chunks=x.chunks + tuple((c,) for c in curves),
            meta=np.empty((0,) * (x.ndim + len(curves))),
        )

    @property
    def domain(self):
        """The first and the last knot."""
        return (self._lo, self._hi)

    @property
    def extrapolate(self):
        """The extrapolation mode: "linear", "constant", "hold", "nan" or "raise"."""
        return self._mode

    @property
    def curves_shape(self):
        """The shape of the curves: y's shape without the knots' axis; () for one curve."""
        return self._curves_shape

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self


class Interpolant(_Curves):
    """Spline curves on shared knots, evaluated on array-likes of any shape.

    Made by ``velarix.interpolate``. ``f(x, nu=0)`` returns the value
    (``nu=0``), first (1) or second (2) derivative at ``x``: an ndarray of
    shape ``x.shape + f.curves_shape``, or a NumPy float for a scalar
    ``x`` and one curve. Outside the knots the curve follows
    ``f.extrapolate``. A NaN abscissa gives NaN. A Dask array gives a lazy
    Dask array, evaluated block by block where the blocks live.

    Interpolants are immutable: they pickle, and ``copy.copy`` and
    ``copy.deepcopy`` return the object itself.
    """

    @classmethod
    def _from_parts(cls, x, splines, curves_shape, mode, config):
        self = cls.__new__(cls)
        self._x = np.array(x, dtype=np.float64)
        self._x.flags.writeable = False
        self._lo, self._hi = float(self._x[0]), float(self._x[-1])
        self._splines = tuple(splines)
        self._curves_shape = tuple(curves_shape)
        self._mode = mode
        # The core evaluates every mode but "raise", which is refused here
        # and leaves only abscissas inside the knots.
        self._core_mode = "hold" if mode == "raise" else mode
        self._config = config
        self._into = [s.evaluate_into for s in self._splines]
        # The scalar path of one curve skips the arrays altogether.
        self._single = len(self._splines) == 1 and not self._curves_shape
        self._value = self._splines[0].value if self._single else None
        self._evaluate_one = self._splines[0].evaluate if self._single else None
        return self

    def __reduce__(self):
        return (Interpolant._from_parts,
                (self._x, self._splines, self._curves_shape, self._mode, self._config))

    def __call__(self, x, nu=0):
        """Value (nu=0) or derivative of order nu (1 or 2) at x, any shape."""
        if type(x) in _SCALAR_TYPES and self._single:
            if nu == 0 and type(nu) is int and self._lo <= x <= self._hi:
                return _float64(self._value(x))
            return self._scalar_call(x, _order(nu, 2))
        return self._evaluate(x, _order(nu, 2))

    def integrate(self, a, b):
        """∫ from a to b of each curve, broadcasting a and b; outside the knots by the mode.

        The result has shape ``broadcast(a, b).shape + curves_shape`` (a
        NumPy float for scalar bounds and one curve).
        """
        lower = self._evaluate(a, -1, "a")
        return self._evaluate(b, -1, "b") - lower

    def antiderivative(self):
        """The antiderivative from the first knot, as a callable like this one.

        Its value is 0 at ``x[0]``; its ``nu=1`` is this curve and ``nu=2``,
        ``nu=3`` the curve's derivatives. Outside the knots it integrates
        the extrapolated curve.
        """
        return Antiderivative(self)

    def solve(self, level):
        """The sorted abscissae in the domain where the curve equals ``level``.

        For one curve. Each piece is cut into equal parts and at its turning
        points, so that the curve is monotone between cut points; every cut
        point where the curve changes sides of ``level`` brackets a crossing,
        which a Newton iteration kept inside the bracket (bisecting when a
        step leaves it or gains too little) finds to a few ulps. Points
        where the curve touches ``level`` without crossing it are found
        when they are cut points, so a stretch that runs level at ``level``
        (flat data) gives its knots. On a monotone curve this inverts it.
        """
        if not self._single:
            raise ValueError(f"solve needs one curve; this interpolant holds curves "
                             f"of shape {self._curves_shape}")
        level = float(level)
        if level != level or level in (np.inf, -np.inf):
            raise ValueError(f"level must be finite, got {_number(level)}")
        spline = self._splines[0]
        grid = _subdivided(self._x)
        slope = _batch(spline.first_derivative_batch_into, grid)
        turns = np.flatnonzero(np.sign(slope[:-1]) * np.sign(slope[1:]) < 0)
        critical = _zeros(spline.first_derivative_batch_into, spline.second_derivative_batch_into,
                          grid[turns], grid[turns + 1], 0.0)
        cuts = np.union1d(grid, critical)
        offset = _batch(spline.value_batch_into, cuts) - level
        side = np.sign(offset)
        brackets = np.flatnonzero(side[:-1] * side[1:] < 0)
        roots = _zeros(spline.value_batch_into, spline.first_derivative_batch_into,
                       cuts[brackets], cuts[brackets + 1], level)
        return np.union1d(cuts[offset == 0], roots)

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
        The promise is the method's: the tension spline's (monotone, convex
        or concave, flat wherever the data are, overshoot bounded), the
        variable-degree spline's (each interval's curvature sign follows the
        data's; monotonicity is not promised), the rational cubic's (convex
        or concave throughout, as its data).
        """
        verdicts = np.array([s.is_shape_preserving for s in self._splines], dtype=bool)
        if not self._curves_shape:
            return bool(verdicts[0])
        return verdicts.reshape(self._curves_shape)

    def __repr__(self):
        return (f"Interpolant({type(self._splines[0]).__name__ if self._splines else 'no curves'}"
                f" on [{self._lo!r}, {self._hi!r}], {len(self._x)} knots, "
                f"curves_shape={self._curves_shape}, extrapolate={self._mode!r})")


class Antiderivative(_Curves):
    """The antiderivative of an ``Interpolant`` from its first knot.

    ``F(x, nu=0)``: nu = 0 the integral from ``x[0]`` to ``x``, 1 the curve
    itself, 2 and 3 its derivatives, with the interpolant's shapes and
    extrapolation mode.
    """

    def __init__(self, interpolant):
        # The engine's state (knots, splines, mode and members) is the
        # interpolant's own, shared.
        vars(self).update(vars(interpolant))
        self._interpolant = interpolant

    def __reduce__(self):
        return (Antiderivative, (self._interpolant,))

    def __call__(self, x, nu=0):
        """The integral from the first knot (nu=0), or the curve's derivative of order nu - 1."""
        order = _order(nu, 3) - 1
        if type(x) in _SCALAR_TYPES and self._single:
            return self._scalar_call(x, order)
        return self._evaluate(x, order)

    @property
    def interpolant(self):
        """The ``Interpolant`` this is the antiderivative of."""
        return self._interpolant

    def __repr__(self):
        return f"Antiderivative({self._interpolant!r})"


def _batch(into, xs):
    xs = np.ascontiguousarray(xs, dtype=np.float64)
    out = np.empty_like(xs)
    if xs.size:
        into(xs, out)
    return out


def _subdivided(x):
    """The knots with SOLVE_SUBDIVISIONS - 1 equally spaced points inside every interval."""
    fractions = np.arange(SOLVE_SUBDIVISIONS) / SOLVE_SUBDIVISIONS
    inner = x[:-1, None] + np.diff(x)[:, None] * fractions
    return np.append(inner.reshape(-1), x[-1])


def _zeros(f_into, df_into, a, b, level):
    """Where f = level in each bracket [a[i], b[i]] whose ends lie on opposite sides.

    Safeguarded Newton, all brackets at once: each step keeps a bracket
    [neg, pos] (f - level < 0 at neg, > 0 at pos) and takes the Newton point
    when it lies strictly inside and the previous step at least halved the
    bracket, the midpoint otherwise. The iteration stops when f - level is 0,
    the Newton point repeats, or the bracket spans two ulps; the bracket end
    nearer the level in f is the zero.
    """
    if not a.size:
        return a
    fa = _batch(f_into, a) - level
    neg, pos = np.where(fa < 0, a, b), np.where(fa < 0, b, a)
    f_neg, f_pos = np.full(a.shape, -np.inf), np.full(a.shape, np.inf)
    x = neg + 0.5 * (pos - neg)
    width = np.abs(pos - neg)
    done = np.zeros(a.shape, dtype=bool)
    for _ in range(SOLVE_MAX_STEPS):
        f = _batch(f_into, x) - level
        slope = _batch(df_into, x)
        below = (f < 0) & ~done
        above = (f > 0) & ~done
        neg, f_neg = np.where(below, x, neg), np.where(below, f, f_neg)
        pos, f_pos = np.where(above, x, pos), np.where(above, f, f_pos)
        lo, hi = np.minimum(neg, pos), np.maximum(neg, pos)
        with np.errstate(divide="ignore", invalid="ignore"):
            newton = x - f / slope
        halved = (hi - lo) <= 0.5 * width
        inside = (newton > lo) & (newton < hi) & halved
        step = np.where(inside, newton, lo + 0.5 * (hi - lo))
        exact = (f == 0) & ~done
        done |= exact | (inside & (newton == x)) | (hi - lo <= 2 * np.spacing(np.abs(x)))
        neg = np.where(exact, x, neg)
        f_neg = np.where(exact, 0.0, f_neg)
        if done.all():
            break
        width = np.where(halved, hi - lo, width)
        x = np.where(done, x, step)
    return np.where(np.abs(f_neg) <= np.abs(f_pos), neg, pos)
