"""Fitting: ``interpolate``, the fits of several curves on a pool of threads, and the
settings of the fits' threads and of the memory they keep for the next fit.
"""

import contextlib
import operator
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from velarix import _registry, _velarix
from velarix._checks import (checked_curves, checked_knots, chosen_mode, counted,
                             method_configuration, modes_text, refuse, time_unit, with_bc_type)
from velarix._complex import ComplexInterpolant
from velarix._family import Interpolant


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


def fit_curves(config, x, y, axis, workers=None, knots=None):
    """One fitted spline per curve of y, in row-major order of the curves.

    Each curve's fit takes ``knots`` (the checked knots on x, see
    ``checked_knots``) for x when given, and then checks only its values.

    The fits release the interpreter lock: several curves fit side by side
    on a pool of threads, one thread each; a single curve's fit may use
    them all.
    """
    curves_shape = y.shape[:axis] + y.shape[axis + 1:]
    if not len(x):
        # No columns to split y into: the configuration refuses empty data in its own words.
        config.fit(x, x)
    columns = np.ascontiguousarray(np.moveaxis(y, axis, -1)).reshape(-1, len(x))
    on = x if knots is None else knots

    def fit(j):
        try:
            return config.fit(on, columns[j])
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
        continued as real powers, see the guide's "Coming from scipy"), so it may grow as those
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

    See Also
    --------
    Interpolant : What it returns: calls, calculus, roots, pickling, Dask.
    smooth : A smoothing spline held to a shape, for noisy data.
    interpolate_grid : Tables of two to six variables.

    Examples
    --------
    >>> import numpy as np
    >>> import velarix
    >>> from velarix import datasets
    >>> celsius, millivolts = datasets.calibration()
    >>> f = velarix.interpolate(celsius, millivolts)
    >>> f(250.0), f.is_shape_preserving
    (10.16272265625, True)
    >>> f([250.0, 500.0], nu=1)
    array([0.04062221, 0.04262   ])

    Several curves on the same knots are the other axes of ``y``:

    >>> two = velarix.interpolate(celsius, np.column_stack([millivolts, millivolts]))
    >>> two(250.0)
    array([10.16272266, 10.16272266])
    """
    if np.asarray(y).dtype.kind == "c":
        # Two real curves, fitted alike; their own refusals name y's values.
        y = np.asarray(y)
        parts = [interpolate(x, part, method, axis=axis, extrapolate=extrapolate,
                             bc_type=bc_type, workers=workers) for part in (y.real, y.imag)]
        return ComplexInterpolant(*parts)
    config = with_bc_type(method_configuration(method), bc_type)
    periodic = getattr(config, "boundary", None) == _velarix.EndSlopes.periodic()
    mode = chosen_mode(extrapolate, "periodic" if periodic else "linear")
    unit = time_unit(x)
    x, knots = checked_knots(counted(x, unit, "x"))
    values, axis = checked_curves(y, axis, len(x))
    try:
        splines, curves_shape = fit_curves(config, x, values, axis, workers, knots)
    except ValueError:
        # Each fit checks its own curve's values. A value that is not finite
        # is named by its place in y, and before any curve's other refusal.
        refusal = _velarix.value_refusal(values)
        if refusal is None:
            raise
    else:
        return Interpolant._from_parts(x, splines, curves_shape, mode, config, axis, unit=unit)
    refuse(refusal, values.shape)


def _interpolate_doc(doc):
    """interpolate's docstring with the registered methods and its own default filled in."""
    methods = "\n".join(f'        - "{m.name}": {m.summary}' for m in _registry.RECORDS.values())
    return (doc.replace("DEFAULT_METHOD", interpolate.__defaults__[0])
            .replace("METHOD_LIST", methods).replace("EXTRAPOLATION_LIST", modes_text()))


# The method list and the default stand in the docstring as the registry and
# the signature have them (no docstring under -OO).
if interpolate.__doc__:
    interpolate.__doc__ = _interpolate_doc(interpolate.__doc__)
