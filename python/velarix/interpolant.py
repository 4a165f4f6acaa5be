"""NumPy-native interpolation over the velarix spline classes.

``interpolate(x, y)`` converts and validates the data once, fits one spline
per curve of ``y`` and returns an ``Interpolant``: a callable that takes
array-likes of any shape, evaluates the curve or its first two derivatives
through the classes' ``*_batch_into`` methods on flat float64 views, and
continues the curve outside the knots by the chosen extrapolation mode.
"""

import contextlib
import math
import operator
import pickle
import uuid
import zlib
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from velarix import _registry, _velarix
from velarix._complex import ComplexInterpolant

__all__ = ["Antiderivative", "Interpolant", "cached_bytes", "get_cache_limit", "get_workers",
           "interpolate", "set_cache_limit", "set_workers"]

# The modes offered, as the core lists them ("raise" is answered here: a refusal
# of any abscissa outside the knots).
EXTRAPOLATION_MODES = tuple(_velarix.extrapolations)
# scipy's booleans: True continues the end pieces, False gives NaN.
_BOOLEAN_MODES = {True: "extend", False: "nan"}


# Every registered method by its snake-case name: a function that returns
# the configuration interpolate fits with (limited end slopes; the strict
# tension policy; the Newton convexity solve).
METHODS = {
    name: (lambda method=method: method.interpolation_configuration)
    for name, method in _registry.METHODS.items()
}

# Members of the fitted splines by the order of the derivative taken, with
# -1 standing for the antiderivative from the first knot.
_SCALAR = {-1: "antiderivative", 0: "value", 1: "first_derivative", 2: "second_derivative",
           3: "third_derivative"}
_BATCH_INTO = {kind: name + "_batch_into" for kind, name in _SCALAR.items()}
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


# Positional digits stay short from 1e-4 up to 1e16; beyond, a message takes
# the exponent form where it is shorter, as the core's messages do.
_POSITIONAL_FROM, _POSITIONAL_TO = 1e-4, 1e16


def _number(value):
    """A double as the library's messages print it: the shortest digits that read back
    to it, positional from 1e-4 to 1e16 ("0.25", "3"), else in the exponent form where
    that is shorter ("1e-300", "1.5e308"); "NaN", "inf", "-inf"."""
    value = float(value)
    if value != value:
        return "NaN"
    plain = np.format_float_positional(value, unique=True, trim="-")
    magnitude = abs(value)
    if magnitude == 0 or _POSITIONAL_FROM <= magnitude < _POSITIONAL_TO or magnitude == np.inf:
        return plain
    # repr gives the shortest digits, in its exponent form outside that range.
    digits, _, exponent = repr(value).partition("e")
    scientific = f"{digits}e{int(exponent)}"
    return scientific if len(scientific) < len(plain) else plain


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


def _datetimes(x):
    """x as a datetime64 array where it holds date-times (pandas' timestamps too), else None."""
    array = np.asarray(x)
    if array.dtype.kind == "M":
        return array
    if array.dtype == object and array.size and hasattr(array.flat[0], "to_datetime64"):
        return np.array([t.to_datetime64() for t in array.flat]).reshape(array.shape)
    return None


def _time_unit(x):
    """The unit of datetime64 knots, which the interpolant then counts its abscissae in."""
    times = _datetimes(x)
    return None if times is None else np.datetime_data(times.dtype)[0]


def _counted(x, unit, name):
    """Date-times as float64 counts of `unit` from the epoch; anything else as given.

    Knots of date-times make the interpolant count every abscissa in their
    unit, so it is called at date-times; numbers are such counts already
    (``f.x`` holds the knots so), and integrals and slopes are per that unit.
    """
    if unit is None:
        return x
    times = _datetimes(x)
    if times is None:
        return x
    missing = np.flatnonzero(np.isnat(times.reshape(-1)))
    if missing.size:
        where = f"[{_index_text(np.unravel_index(int(missing[0]), times.shape))}]" if times.ndim else ""
        raise ValueError(f"{name}{where} must be a date-time, got NaT")
    # A ratio of time spans: an instant finer than the unit keeps its fraction.
    return (times - np.datetime64(0, unit)) / np.timedelta64(1, unit)


def _knots(x):
    """x as the knots' float64 array, refused as the core refuses it."""
    x = _real_array(x, "x")
    if x.ndim != 1:
        raise ValueError(f"x must be one-dimensional, got {x.ndim} dimensions")
    _accept(_velarix.knot_refusal(x))
    return x


def _accept(refusal, shape=()):
    """Raise the core's refusal of the knots or of y's values (in y's `shape`), if any.

    The core checks one curve's knots and values; here they are the arrays
    as given, so a knot or value that is not finite is named by its index in
    that array ("y[1, 1] must be finite, got NaN", where the core fitting
    the column y[:, 1] would name y[1]); every other refusal is the core's
    message as it stands.
    """
    if refusal is None:
        return
    kind, message, index, *numbers = refusal
    if kind == "NonFiniteValue":
        index = np.unravel_index(index, shape) if shape else (index,)
        raise ValueError(f"y[{_index_text(index)}] must be finite, got {_number(numbers[0])}")
    if kind in ("NonFiniteKnot", "NotIncreasing"):
        # A NaN knot fails the order test at its first pair; an infinite one
        # there or as an end: either way it is the non-finite one to name.
        for i, value in zip((index, index + 1), numbers):
            if not np.isfinite(value):
                raise ValueError(f"x[{i}] must be finite, got {_number(value)}")
    raise ValueError(message)


def _curves(y, axis, count):
    """y as a float64 array with `count` entries along `axis`, and that axis, not negative."""
    values = _real_array(y, "y")
    if values.ndim == 0:
        raise ValueError("y must have at least one dimension, got a scalar")
    axis = _axis(axis, values.ndim)
    if values.shape[axis] != count:
        raise ValueError(f"x and y must have the same length along axis {axis} "
                         f"(got {count} and {values.shape[axis]})")
    return values, axis


def _axis(axis, ndim):
    try:
        index = operator.index(axis)
    except TypeError:
        raise ValueError(f"axis must be an integer, got {axis!r}") from None
    if not -ndim <= index < ndim:
        raise ValueError(f"axis {index} is out of range for y with {ndim} dimensions")
    return index % ndim


def _configuration(method):
    if isinstance(method, str) and _method_name(method) in METHODS:
        return METHODS[_method_name(method)]()
    if isinstance(method, type):
        raise ValueError(f"method must be a configuration object, not the class itself: "
                         f"pass {method.__name__}() instead of {method.__name__}")
    if isinstance(method, _velarix.Smoother):
        raise ValueError("method Smoother() smooths instead of interpolating, and its curve "
                         "misses the data: use velarix.smooth(x, y, ...) for smoothing")
    if isinstance(method, str) or not callable(getattr(method, "fit", None)):
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))} "
                         f"or a configuration object, got {method!r}")
    return method


def _method_name(name):
    """A method's registered name from either spelling ("rational-cubic", "rational_cubic")."""
    return name.replace("-", "_")


def _extrapolation(mode):
    if isinstance(mode, (bool, np.bool_)):
        return _BOOLEAN_MODES[bool(mode)]
    if not isinstance(mode, str) or mode not in EXTRAPOLATION_MODES:
        raise ValueError(f"extrapolate must be one of "
                         f"{', '.join(map(repr, EXTRAPOLATION_MODES))}, True, False "
                         f"or None, got {mode!r}")
    return mode


def _record(config):
    """The registered method whose configuration class `config` is, or None."""
    return next((m for m in _registry.METHODS.values() if type(config) is m.configuration), None)


def _with_bc_type(config, bc_type):
    """The configuration with scipy's `bc_type` as its end slopes.

    ((1, left), (1, right)) and "clamped" (zero slopes) clamp the end
    slopes; "natural" and "periodic" are the method's natural and periodic
    ends. Each is taken where the method's record lists it.
    """
    if bc_type is None:
        return config
    record = _record(config)
    ends = record.end_conditions if record else ()
    slopes = _registry._velarix.EndSlopes
    boundary = None
    if isinstance(bc_type, str) and bc_type in ends and bc_type in ("natural", "periodic", "clamped"):
        boundary = slopes.clamped(0.0, 0.0) if bc_type == "clamped" else getattr(slopes, bc_type)()
    elif "clamped" in ends and _is_first_derivative_pair(bc_type):
        boundary = slopes.clamped(float(bc_type[0][1]), float(bc_type[1][1]))
    if boundary is None:
        supported = [repr(e) for e in ("clamped", "natural", "periodic") if e in ends]
        if "clamped" in ends:
            supported.append("((1, left), (1, right))")
        name = record.name if record else type(config).__name__
        raise ValueError(f"bc_type {bc_type!r} is not supported by the method {name!r}, which "
                         f"takes bc_type None, {', '.join(supported)}")
    return config.with_boundary(boundary)


def _is_first_derivative_pair(bc_type):
    try:
        (left_order, left), (right_order, right) = bc_type
    except (TypeError, ValueError):
        return False
    return (all(type(o) is int and o == 1 for o in (left_order, right_order))
            and all(isinstance(v, (int, float, np.integer, np.floating))
                    and np.isfinite(v) for v in (left, right)))


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


# The most threads a setting may name (a fit uses at most one per chunk of
# its work, so more only wait); the binding takes a size_t.
_MAX_WORKERS = 2**16


def _worker_count(workers):
    """`workers` as a positive int, or 0 for None."""
    if workers is None:
        return 0
    count = operator.index(workers) if not isinstance(workers, bool) else 0
    if count < 1:
        raise ValueError(f"workers must be a positive integer or None, got {workers!r}")
    if count > _MAX_WORKERS:
        raise ValueError(f"workers must be at most {_MAX_WORKERS} threads, got {workers!r}")
    return count


@contextlib.contextmanager
def set_workers(workers):
    """Set the threads of the fits started on this thread, within a ``with`` block.

    ``workers`` is a positive integer, or None for one per core (the
    setting outside any block). A fit of long data splits its passes over
    these threads and gives the same bits on any number of them; fits
    run side by side on a pool of your own are best kept to one each.
    The previous setting is restored when the block ends.
    """
    count = _worker_count(workers)
    previous = _velarix.set_fit_workers(count)
    try:
        yield
    finally:
        _velarix.set_fit_workers(previous)


def get_workers():
    """The threads a fit started on this thread may use (see ``set_workers``)."""
    return _velarix.fit_workers()


def set_cache_limit(limit):
    """Set the bytes of released large arrays kept for reuse; return the previous limit.

    A fit's arrays of 512 KiB and more are mapped on their own, and when a
    fit or a curve releases them they are kept, up to this many bytes in
    all (64 MiB by default), for the next fit of the same size, which then
    needs no fresh pages. An array of more than half the limit is returned
    to the system at once; lowering the limit returns the oldest kept ones
    at once; 0 keeps none. Raise it for a loop that refits long data (256
    MiB holds every array of a quintic fit of 10^6 knots). ``limit`` is a
    non-negative integer: a negative one or a bool raises ValueError, a
    non-integer TypeError.
    """
    count = operator.index(limit) if not isinstance(limit, bool) else -1
    if count < 0:
        raise ValueError(f"limit must be a non-negative integer of bytes, got {limit!r}")
    # A limit beyond any memory keeps every released array (of the 32 kept).
    return _velarix.set_block_cache_limit(min(count, 2**64 - 1))


def get_cache_limit():
    """The bytes of released large arrays kept for reuse at most (see ``set_cache_limit``)."""
    return _velarix.block_cache_limit()


def cached_bytes():
    """The bytes of released large arrays kept for reuse now, at most ``get_cache_limit()``.

    Once every curve is dropped, this is what the library still holds of
    the system's memory (lazily freed: the system may take it back when it
    runs short).
    """
    return _velarix.block_cache_bytes()


def _fit_curves(config, x, y, axis, workers=None):
    """One fitted spline per curve of y, in row-major order of the curves.

    The fits release the interpreter lock: several curves fit side by side
    on a pool of threads, one thread each; a single curve's fit may use
    them all.
    """
    curves_shape = y.shape[:axis] + y.shape[axis + 1:]
    if not len(x):
        # No columns to split y into: the configuration refuses empty data in its own words.
        config.fit(x, x)
    columns = np.ascontiguousarray(np.moveaxis(y, axis, -1)).reshape(-1, len(x))

    def fit(j):
        try:
            return config.fit(x, columns[j])
        except ValueError as error:
            if curves_shape:
                index = [str(i) for i in np.unravel_index(j, curves_shape)]
                index.insert(axis, ":")
                error.add_note(f"while fitting y[{', '.join(index)}]")
            raise

    def fit_alone(j):
        with set_workers(1):
            return fit(j)

    threads = _worker_count(workers) or get_workers()
    count = min(threads, len(columns))
    if count <= 1:
        with set_workers(threads):
            return tuple(map(fit, range(len(columns)))), curves_shape
    with ThreadPoolExecutor(count) as pool:
        return tuple(pool.map(fit_alone, range(len(columns)))), curves_shape


def interpolate(x, y, method="quintic", *, axis=0, extrapolate=None, bc_type=None,
                workers=None):
    """Fit a shape-preserving C² spline through (x, y) and return an ``Interpolant``.

    Parameters
    ----------
    x : array-like of real numbers or date-times, one-dimensional
        The knots: finite and strictly increasing, at least 2 of them. Lists,
        tuples, integers, float32, any strides, alignment and byte order are
        accepted; an array that is not already aligned, contiguous, native
        float64 is copied once, any other is used in place. Date-times
        (datetime64, pandas' timestamps) are counted in their unit from the
        epoch: the interpolant is then called at date-times (or at such
        counts), and its slopes and integrals are per that unit.
    y : array-like of real or complex numbers
        The values, finite, with ``len(x)`` entries along ``axis``. Any other
        axes hold several curves on the same knots: ``y`` of shape (n, 3)
        gives three curves, evaluated together. Complex values fit their
        real and imaginary parts as two real curves alike, and give a
        ``ComplexInterpolant`` of the two.
    method : str or configuration object, default "DEFAULT_METHOD"
        The name of a registered method, with hyphens or underscores
        ("rational_cubic" or "rational-cubic"), fitted by the configuration
        its record names (limited end slopes, which keep the end intervals
        inside the data's shape):

METHOD_LIST

        A configuration object such as
        ``velarix.Tension().with_uniform_tension(2.0)`` is used exactly as
        given; a class instead of an instance, or a ``Smoother()`` (which
        does not interpolate: see ``velarix.smooth``), is refused.
    axis : int, default 0
        The axis of ``y`` that runs along the knots; negative counts from
        the end. The default matches ``y`` laid out as one row per knot.
    extrapolate : str, bool or None, default None
        What the curve does outside ``[x[0], x[-1]]`` (every evaluating
        method also takes a per-call ``extrapolate=``, None for this one):
        None (the default) is "periodic" for periodic ends and "linear"
        otherwise; "periodic" maps x into the period ``x[-1] - x[0]``
        exactly (integrals sum whole periods); "extend" or True continues
        the end pieces' own closed forms beyond the knots (not a Taylor
        polynomial: the rational, hyperbolic, exponential or power terms
        themselves, a variable-degree piece's powers of a negative base
        continued as real powers, see README), so it may grow as those
        terms do; False is "nan" (the modes:
        EXTRAPOLATION_LIST);
        "linear" continues the end value with the end slope,
        so the second derivative is 0 there and value, slope and integral
        stay consistent with each other (a Newton solve outside the data
        converges); "constant" holds the end value, with derivatives 0;
        "hold" is the spline classes' own rule (value and both derivatives
        held at the end); "nan" gives NaN; "raise" raises ``ValueError``
        naming the first abscissa outside. ``integrate`` follows the mode.
    bc_type : None, "clamped", ((1, left), (1, right)), "natural" or "periodic"
        scipy's end conditions, as end slopes of the method (None: the
        method's own); each where the method's record lists it, anything
        else refused with what the method supports.
    workers : int or None, default None
        Threads of the fit (None: ``get_workers()``, one per core unless
        ``set_workers`` says otherwise). A ``y`` with several curves fits
        them side by side, one thread each; a single long curve splits its
        fit's passes over them, with the same result on any number.

    Returns
    -------
    Interpolant
        Call it as ``f(x, nu=0)``; see ``Interpolant``. For complex ``y``, a
        ``ComplexInterpolant`` whose calls return complex arrays.

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
    if np.asarray(y).dtype.kind == "c":
        # Two real curves, fitted alike; their own refusals name y's values.
        y = np.asarray(y)
        parts = [interpolate(x, part, method, axis=axis, extrapolate=extrapolate,
                             bc_type=bc_type, workers=workers) for part in (y.real, y.imag)]
        return ComplexInterpolant(*parts)
    config = _with_bc_type(_configuration(method), bc_type)
    periodic = getattr(config, "boundary", None) == _registry._velarix.EndSlopes.periodic()
    mode = _mode(extrapolate, "periodic" if periodic else "linear")
    unit = _time_unit(x)
    knots = _knots(_counted(x, unit, "x"))
    values, axis = _curves(y, axis, len(knots))
    _accept(_velarix.value_refusal(values), values.shape)
    splines, curves_shape = _fit_curves(config, knots, values, axis, workers)
    return Interpolant._from_parts(knots, splines, curves_shape, mode, config, axis, unit=unit)


def _modes_text():
    return ", ".join(f'"{mode}"' for mode in EXTRAPOLATION_MODES)


def _interpolate_doc(doc):
    """interpolate's docstring with the registered methods and its own default filled in."""
    methods = "\n".join(f'        - "{m.name}": {m.summary}' for m in _registry.METHODS.values())
    return (doc.replace("DEFAULT_METHOD", interpolate.__defaults__[0])
            .replace("METHOD_LIST", methods).replace("EXTRAPOLATION_LIST", _modes_text()))


# The method list and the default stand in the docstring as the registry and
# the signature have them (no docstring under -OO).
if interpolate.__doc__:
    interpolate.__doc__ = _interpolate_doc(interpolate.__doc__)


def _is_dask(x):
    return type(x).__module__.startswith("dask.") and hasattr(x, "map_blocks")


def _evaluate_block(block, curves, kind):
    return curves._evaluate(block, kind)


class _Curves:
    """The evaluation engine that ``Interpolant`` and ``Antiderivative`` share."""

    def _evaluate(self, x, kind, name="x"):
        if _is_dask(x):
            return self._map_blocks(x, kind)
        points = _real_array(_counted(x, self._unit, name), name)
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

    extrapolate = property(lambda self: self._mode,
                           doc=f"The extrapolation mode, a str: one of {_modes_text()}.")

    @property
    def curves_shape(self):
        """The shape of the curves: y's shape without the knots' axis; () for one curve."""
        return self._curves_shape

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self


# The orders the classes evaluate in closed form: the antiderivatives from the
# first knot (-1 the integral, down to the deepest the core serves), the curve
# (0) and its first three derivatives.
_LOWEST, _HIGHEST = -_velarix.highest_antiderivative, 3
_ORDINALS = {1: "first", 2: "second", 3: "third", 4: "fourth", 5: "fifth", 6: "sixth"}


def _beyond_lowest(what):
    """The refusal of an antiderivative deeper than the core serves, `what` asking for it."""
    return ValueError(f"{what}; velarix has closed forms down to the "
                      f"{_ORDINALS[-_LOWEST]} antiderivative")


def _count(nu):
    """`nu` as a non-negative int, or ValueError."""
    try:
        count = None if isinstance(nu, (bool, np.bool_)) else operator.index(nu)
    except TypeError:
        count = None
    if count is None or count < 0:
        raise ValueError(f"nu must be a non-negative integer, got {nu!r}")
    return count


def _resolved_order(order, nu):
    """The order of the curve that `nu` asks of an interpolant of order `order`."""
    count = _count(nu)
    if order + count > _HIGHEST:
        raise ValueError(f"nu={count} asks for derivative {order + count} of the fitted curve; "
                         f"velarix has closed forms up to the third derivative")
    return order + count


def _mode(extrapolate, default):
    """A per-call `extrapolate=` as a mode: None is the interpolant's own."""
    return default if extrapolate is None else _extrapolation(extrapolate)


def _beyond_poles(result, x, kind, mode):
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
        where = _number(np.broadcast_to(at, np.shape(result))[missing].flat[0])
        raise ValueError(f"extrapolate='extend' continues the end pieces' own closed forms, "
                         f"and their integral to x = {where} does not exist: the continued "
                         f"end piece has a pole before it; integrate within the knots or "
                         f"extrapolate by another mode")
    return result


class Interpolant(_Curves):
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
        return (_restored, (_sealed(type(self), self._parts()),))

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
            return _beyond_poles(engine._scalar_call(x, kind), x, kind, mode)
        return _beyond_poles(engine._evaluate(x, kind, name), x, kind, mode)

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
            return self._scalar_call(x, _resolved_order(0, nu))
        kind = _resolved_order(self._order, nu)
        result = self._values(x, kind, _mode(extrapolate, self._mode))
        shift = self._shift_at(x, kind - self._order)
        if shift is not None:
            result = result - shift
        return self._placed(result, np.ndim(x))

    def _shift_at(self, x, order, name="x"):
        """The shift's derivative of that order (-1 its integral from x[0]) at x, as a call's
        result is shaped (x.shape + curves_shape); None where it is 0 throughout."""
        terms = _differentiated(self._shift, order)
        if terms is None:
            return None
        if terms.shape[1] == 1:
            return terms[:, 0].reshape(self._curves_shape)
        points = x if _is_dask(x) else _real_array(_counted(x, self._unit, name), name)
        u = (points - self._lo)[..., None]
        total = terms[:, -1]
        for i in range(terms.shape[1] - 2, -1, -1):
            total = total * u + terms[:, i]
        return total.reshape(np.shape(points) + self._curves_shape)

    def integrate(self, a, b, extrapolate=None):
        """∫ from a to b of each curve, broadcasting a and b; outside the knots by the mode.

        The result has the shape of a call at ``broadcast(a, b)`` (a NumPy
        float for scalar bounds and one curve).
        """
        if self._order == _LOWEST:
            raise _beyond_lowest(f"integrate needs the curve's {_ORDINALS[1 - _LOWEST]} "
                                 f"antiderivative")
        mode = _mode(extrapolate, self._mode)
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
        order = _resolved_order(self._order, nu)
        return self._related(order, _differentiated(self._shift, order - self._order))

    def antiderivative(self, nu=1):
        """The antiderivative of order nu that is 0 at the first knot, an interpolant.

        It vanishes there with its derivatives below order nu. The classes
        integrate the fitted curve in closed form down to its fourth
        antiderivative (each piece's repeated integral); deeper orders are
        refused.
        """
        count = _count(nu)
        order = self._order - count
        if order < _LOWEST:
            raise _beyond_lowest(f"nu={nu} asks for antiderivative {-order} of the fitted curve")
        if count == 0:
            return self
        shift = self._integrated_shift(order, count)
        if order < 0 and shift is None:
            base = self._interpolant if isinstance(self, Antiderivative) else self
            if base._order == 0 and type(base) is Interpolant:
                return Antiderivative(base, -order)
        return self._related(order, shift)

    def _integrated_shift(self, order, count):
        """The shift of the count-fold antiderivative, of order `order`, that is 0 at x[0].

        The order-`order` curve has the Taylor terms sum_(j < count) D^(order+j) S(x0) u^j / j!
        at the first knot (u = x - x[0]), of which the derivatives of the fit
        (order + j >= 0) are not 0; those and this object's own shift integrated
        count times from x[0] are subtracted. None when both are 0.
        """
        terms = np.zeros((len(self._splines), count))
        for j in range(max(0, -order), count):
            terms[:, j] = [getattr(s, _SCALAR[order + j])(self._lo) / math.factorial(j)
                           for s in self._splines]
        own = self._shift
        for _ in range(count):
            own = _differentiated(own, -1)
        if own is not None:
            width = max(terms.shape[1], own.shape[1])
            terms = np.pad(terms, ((0, 0), (0, width - terms.shape[1])))
            terms[:, :own.shape[1]] += own
        return None if own is None and order + count - 1 < 0 else terms

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
        levels = _real_array(y, "y")
        bad = np.flatnonzero(~np.isfinite(levels.reshape(-1)))
        if bad.size:
            where = (f"y[{_index_text(np.unravel_index(int(bad[0]), levels.shape))}]"
                     if levels.ndim else "y")
            raise ValueError(f"{where} must be finite, got {_number(levels.reshape(-1)[bad[0]])}")
        mode = _mode(extrapolate, self._mode)
        if levels.ndim:
            out = np.empty(levels.shape + self._curves_shape, dtype=object)
            for index in np.ndindex(levels.shape):
                out[index] = self.solve(float(levels[index]), discontinuity, mode)
            return out
        level = float(levels)
        found = [self._solve_one(j, level, mode) for j in range(len(self._splines))]
        if not self._curves_shape:
            return found[0]
        out = np.empty(len(found), dtype=object)
        out[:] = found
        return out.reshape(self._curves_shape)

    def _solve_one(self, j, level, mode):
        spline = self._splines[j]
        shift = None if self._shift is None else self._shift[j:j + 1]
        if shift is not None and shift.shape[1] == 1:  # a constant: the level moves
            level += float(shift[0, 0])
            shift = None
        # From the curve's order to its bend (to the order's third derivative
        # for a derivative of the fit), each batch less the shift's derivative.
        kinds = [_batch_member(spline, k, _differentiated(shift, k - self._order), self._lo)
                 for k in range(self._order, max(self._order + 3, 2) + 1)]
        inside = _level_points(self._x, kinds, level)
        outside = [_continued_roots(self._engine(mode), j, side, self._order, level, shift)
                   for side in (0, 1)] if mode in _SEARCHED_MODES else []
        return np.unique(np.concatenate([inside, *outside]))

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
        if _count(nu) > -_LOWEST:
            raise _beyond_lowest(f"nu={nu} asks for antiderivative {nu} of the fitted curve")
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


def _sealed(cls, parts):
    """An interpolant's class and parts as a pickled state closed by its CRC-32.

    The splines' own states refuse any altered byte; the knots, the shapes,
    the mode and the shift around them are covered here, as the splines'
    states are: the state ends with the CRC-32 of all its bytes, little-endian.
    """
    state = pickle.dumps((cls, parts), protocol=pickle.HIGHEST_PROTOCOL)
    return state + zlib.crc32(state).to_bytes(4, "little")


def _restored(sealed):
    """The interpolant of a state made by ``_sealed``; ValueError if it is damaged."""
    if not isinstance(sealed, bytes) or len(sealed) < 4:
        raise ValueError("invalid saved state: the interpolant's state is truncated")
    state, checksum = sealed[:-4], int.from_bytes(sealed[-4:], "little")
    if zlib.crc32(state) != checksum:
        raise ValueError("invalid saved state: the interpolant's state is damaged "
                         "(its checksum does not match)")
    cls, parts = pickle.loads(state)
    return cls._from_parts(*parts)


def _into_sign_changes(into, points):
    values = _batch(into, points)
    return np.flatnonzero(np.sign(values[:-1]) * np.sign(values[1:]) < 0)


def _level_points(x, kinds, level):
    """Where the curve with the batch members `kinds` (value, slope, bend, ...) is level.

    A shape-preserving piece bends one way or changes its bend once, so the
    bend's sign at the knots brackets each piece's inflections, and between
    knots and inflections the slope is monotone: its sign changes there
    bracket every turning point, and between knots, inflections and turns the
    curve is monotone, so sign changes of curve - level bracket every
    crossing. An antiderivative of order n takes the same steps n times
    more, from the fitted curve's turns down through its antiderivatives:
    between the zeros of each order the one below it is monotone. Pieces of a
    derivative of order 2 or more have no such structure here, and a fixed
    subdivision takes its place.
    """
    f, df, ddf = kinds[:3]
    cuts = x
    if ddf is not None:
        # From the deepest order down to the slope: each order's zeros, found
        # between the cuts with the next order as its slope, are new cuts.
        for d, dd in reversed(list(zip(kinds[1:-1], kinds[2:]))):
            changes = _into_sign_changes(d, cuts)
            cuts = np.union1d(cuts, _zeros(d, dd, cuts[changes], cuts[changes + 1], 0.0))
    else:
        cuts = _subdivided(x)
        if df is not None:
            turns = _into_sign_changes(df, cuts)
            cuts = np.union1d(cuts, _zeros(df, ddf, cuts[turns], cuts[turns + 1], 0.0))
    offset = _batch(f, cuts) - level
    side = np.sign(offset)
    brackets = np.flatnonzero(side[:-1] * side[1:] < 0)
    roots = _zeros(f, df, cuts[brackets], cuts[brackets + 1], level)
    # A run at the level: the curve is monotone between cuts, so two
    # neighbouring cuts on the level hold it level between them; keep the
    # run's ends.
    on = offset == 0
    inner = on.copy()
    inner[1:-1] = on[:-2] & on[1:-1] & on[2:]
    inner[[0, -1]] = False
    return np.union1d(cuts[on & ~inner], roots)


# The modes whose continuation past the ends is searched for crossings: their
# curves there are polynomials of degree at most 2 in the distance from the
# end. A held curve is constant beyond the ends (no isolated crossing), and
# "extend" continues the end pieces' own formulas, which are not searched.
_SEARCHED_MODES = ("linear", "constant")


def _continued_roots(engine, j, side, order, level, shift=None):
    """The crossings of curve j's continuation past one end, by its polynomial in dx.

    The core's mode continues each order from its value at the end knot, or
    drops it to 0 beyond the knot (the linear mode the curvature, the
    constant mode the slope too). So the Taylor coefficients are the
    engine's own evaluations at the knot, each kept where the same order is
    not 0 one double past it: nothing here restates a mode. An
    antiderivative of order n continues as a polynomial of degree up to
    n + 1, less the Taylor terms of its shift (one curve's row) at the end.
    """
    spline = engine._splines[j]
    end = engine._lo if side == 0 else engine._hi
    past = float(np.nextafter(end, -np.inf if side == 0 else np.inf))

    def evaluated(kind, x):
        # Beyond the third derivative every continuation is 0.
        return spline.evaluate(x, kind, engine._core_mode) if kind <= _HIGHEST else 0.0

    def derivative(kind):
        return evaluated(kind, end) if evaluated(kind, past) != 0 else 0.0

    terms = [evaluated(order, end)] + [derivative(order + i) / math.factorial(i)
                                       for i in range(1, max(3, _HIGHEST - order + 1))]
    for i in range(len(terms)):
        change = _differentiated(shift, i)
        if change is not None:
            terms[i] -= np.polyval(change[0, ::-1], end - engine._lo) / math.factorial(i)
    terms[0] -= level
    dx = _polynomial_roots(terms)
    dx = dx[(dx < 0) if side == 0 else (dx > 0)]
    crossings = end + dx
    return np.sort(crossings[np.isfinite(crossings)])


def _real_roots(terms):
    """The real roots of c0 + c1 t + c2 t² (terms = [c0, c1, c2]); none for a constant.

    The coefficients are divided by the largest of them first, so that levels
    and slopes near the largest double leave the discriminant finite; a root
    beyond the range of doubles comes out infinite and is dropped by the caller.
    """
    scale = max(abs(t) for t in terms)
    if scale == 0 or not np.isfinite(scale):
        return np.empty(0)
    c0, c1, c2 = (t / scale for t in terms)
    with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
        if c2 == 0:
            return np.array([-c0 / c1]) if c1 != 0 else np.empty(0)
        discriminant = c1 * c1 - 4 * c2 * c0
        if discriminant < 0:
            return np.empty(0)
        # q = -(c1 + sign(c1) sqrt(D)) / 2: the root without cancellation is
        # q / c2, the other c0 / q.
        q = -0.5 * (c1 + np.copysign(np.sqrt(discriminant), c1))
        roots = [q / c2] + ([c0 / q] if q != 0 else [])
    return np.unique(np.array(roots, dtype=np.float64))


def _polynomial_roots(terms):
    """The real roots of sum_i terms[i] t^i: `_real_roots` up to degree 2; beyond,
    the real eigenvalues of the companion matrix, each polished by Newton steps."""
    terms = list(terms)
    while len(terms) > 3 and terms[-1] == 0:
        terms.pop()
    if len(terms) <= 3:
        return _real_roots(terms + [0.0] * (3 - len(terms)))
    scale = max(abs(t) for t in terms)
    if not np.isfinite(scale):
        return np.empty(0)
    powers = np.array(terms[::-1]) / scale
    with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
        found = np.roots(powers)
        roots = found.real[np.abs(found.imag) <= _REAL_ROOT_IMAGINARY * np.maximum(1, np.abs(found))]
        slope = np.polyder(powers)
        for _ in range(_POLISHING_STEPS):
            step = np.polyval(powers, roots) / np.polyval(slope, roots)
            roots = np.where(np.isfinite(step), roots - step, roots)
    return np.unique(roots[np.isfinite(roots)])


# A companion eigenvalue counts as real below this share of imaginary part
# (a double root splits into a pair about sqrt(eps) apart); Newton steps
# then bring each to a few ulps.
_REAL_ROOT_IMAGINARY = 1e-6
_POLISHING_STEPS = 4


def _differentiated(shift, order):
    """A shift's coefficients (rows of powers of x - x[0]) differentiated `order` times,
    or integrated once from x[0] for -1; None for no shift or one that vanishes so."""
    if shift is None:
        return None
    if order == -1:
        powers = np.arange(1, shift.shape[1] + 1)
        return np.concatenate([np.zeros((shift.shape[0], 1)), shift / powers], axis=1)
    if order >= shift.shape[1]:
        return None
    i = np.arange(order, shift.shape[1])
    falling = np.array([math.perm(int(k), order) for k in i], dtype=np.float64)
    return shift[:, order:] * falling


def _batch_member(spline, kind, shift, x0):
    """Spline's batch evaluation of order `kind` into out (None beyond the third
    derivative), less the one-row shift polynomial in x - x0 where one is given."""
    if kind > _HIGHEST:
        return None
    if kind in _BATCH_INTO:
        into = getattr(spline, _BATCH_INTO[kind])
    else:
        def into(xs, out):
            spline.evaluate_into(xs, out, kind, "hold")
    if shift is None:
        return into

    def shifted(xs, out):
        into(xs, out)
        out -= np.polyval(shift[0, ::-1], xs - x0)

    return shifted


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
        slope = _batch(df_into, x) if df_into is not None else np.full(x.shape, np.nan)
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
