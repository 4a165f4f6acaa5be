"""The checks at the door of the NumPy layer: arrays, knots, axes, date-times, methods,
``bc_type`` and extrapolation modes, each refused with a message that names the argument.

The fitting, the interpolants and the smoother take what these return and
check nothing again.
"""

import operator

import numpy as np

from velarix import _registry, _velarix

# The modes offered, as the core lists them ("raise" is answered here: a refusal
# of any abscissa outside the knots).
EXTRAPOLATION_MODES = tuple(_velarix.extrapolations)
# scipy's booleans: True continues the end pieces, False gives NaN.
_BOOLEAN_MODES = {True: "extend", False: "nan"}


# Every registered method by its snake-case name: a function that returns
# the configuration interpolate fits with (the one its record names).
METHODS = {
    name: (lambda method=method: method.interpolation_configuration)
    for name, method in _registry.RECORDS.items()
}


# Positional digits stay short from 1e-4 up to 1e16; beyond, a message takes
# the exponent form where it is shorter, as the core's messages do.
_POSITIONAL_FROM, _POSITIONAL_TO = 1e-4, 1e16


def number_text(value):
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


def index_text(index):
    return ", ".join(str(int(i)) for i in index)


def real_array(values, name):
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


def time_unit(x):
    """The unit of datetime64 knots, which the interpolant then counts its abscissae in."""
    times = _datetimes(x)
    return None if times is None else np.datetime_data(times.dtype)[0]


def counted(x, unit, name):
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
        where = f"[{index_text(np.unravel_index(int(missing[0]), times.shape))}]" if times.ndim else ""
        raise ValueError(f"{name}{where} must be a date-time, got NaT")
    # A ratio of time spans: an instant finer than the unit keeps its fraction.
    return (times - np.datetime64(0, unit)) / np.timedelta64(1, unit)


def checked_knots(x):
    """x as the knots' float64 array, refused as the core refuses it, and the core's checked
    knots on that array: the x that each curve's ``fit`` then takes, checking only its values.
    """
    x = real_array(x, "x")
    if x.ndim != 1:
        raise ValueError(f"x must be one-dimensional, got {x.ndim} dimensions")
    knots, refusal = _velarix.checked_knots(x)
    refuse(refusal)
    return x, knots


def refuse(refusal, shape=()):
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
        raise ValueError(f"y[{index_text(index)}] must be finite, got {number_text(numbers[0])}")
    if kind in ("NonFiniteKnot", "NotIncreasing"):
        # A NaN knot fails the order test at its first pair; an infinite one
        # there or as an end: either way it is the non-finite one to name.
        for i, value in zip((index, index + 1), numbers):
            if not np.isfinite(value):
                raise ValueError(f"x[{i}] must be finite, got {number_text(value)}")
    raise ValueError(message)


def checked_curves(y, axis, count):
    """y as a float64 array with `count` entries along `axis`, and that axis, not negative."""
    values = real_array(y, "y")
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


def method_configuration(method):
    """The configuration `method` names (a registered name) or is, refused otherwise."""
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
    return next((m for m in _registry.RECORDS.values() if type(config) is m.configuration), None)


def with_bc_type(config, bc_type):
    """The configuration with scipy's `bc_type` as its end slopes.

    ((1, left), (1, right)) and "clamped" (zero slopes) clamp the end
    slopes; "natural" and "periodic" are the method's natural and periodic
    ends. Each is taken where the method's record lists it.
    """
    if bc_type is None:
        return config
    record = _record(config)
    ends = record.end_conditions if record else ()
    slopes = _velarix.EndSlopes
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


def chosen_mode(extrapolate, default):
    """A per-call `extrapolate=` as a mode: None is the interpolant's own."""
    return default if extrapolate is None else _extrapolation(extrapolate)


def modes_text():
    """The extrapolation modes as the docstrings list them: "linear", "constant", ..."""
    return ", ".join(f'"{mode}"' for mode in EXTRAPOLATION_MODES)

