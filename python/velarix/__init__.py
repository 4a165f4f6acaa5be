"""Shape-preserving, twice continuously differentiable interpolating splines.

A velarix spline passes through every data point, has a continuous second
derivative (it is C², so Newton solvers and ODE integrators see no kinks in
the curvature) and does not invent wiggles the data do not have.

Fitting
-------
Pick a method's configuration, refine it with its ``with_*`` builders (each
returns a new object; every object is immutable), and call ``fit(x, y)``
with two float64 buffers of equal length (NumPy arrays, ``array('d')``, any
buffer of doubles; at least 2 points, ``x`` strictly increasing)::

    from velarix import EndSlopes, Tension
    spline = Tension().with_boundary(EndSlopes.clamped(0.0, 1.0)).fit(x, y)
    spline(2.5), spline.first_derivative(2.5), spline.second_derivative(2.5)
    spline.third_derivative(2.5)      # piecewise; at a knot, the right piece's
    spline.value_batch(xs)            # a new array('d')
    spline.value_batch_into(xs, out)  # into your buffer, which may be xs

With NumPy
----------
``interpolate(x, y)`` takes any array-likes, several curves at once (the
other axes of ``y``), and returns an ``Interpolant`` that evaluates arrays
of any shape, derivatives by order, integrals and level crossings, with a
choice of extrapolation (linear by default)::

    f = velarix.interpolate(x, y)              # shape-preserving tension spline
    f(grid), f(grid, nu=1), f(2.5)             # values, slopes, a NumPy float
    f.integrate(a, b), f.antiderivative()(grid), f.solve(level)
    f.is_shape_preserving                      # did each fit keep its method's promise?

Fits of several curves run side by side on the cores, and a long quintic
fit splits its passes over them, with the same bits on any number of
threads; ``with velarix.set_workers(n):`` sets the threads of the fits
started on the calling thread, ``velarix.get_workers()`` reads them.
``velarix.set_cache_limit(bytes)`` bounds the memory of released arrays
kept for the next fit (64 MiB by default); ``velarix.cached_bytes()`` is
what is kept now.

Smoothing noisy data
--------------------
Measured data with scatter are better smoothed than interpolated: an
interpolant reproduces the noise. ``smooth(x, y, shape)`` fits a C² cubic
smoothing spline, minimising ``sum w (y - S(x))² + lam ∫ S''²``, held by
construction to ``shape`` ("increasing", "decreasing", "convex", "concave",
a direction and a curvature such as "increasing concave", or "auto" to take
the most constrained shape the data support); ``lam`` is chosen by
generalised cross-validation unless given, and ``robust=True`` resists
outliers::

    f = velarix.smooth(x, y, "increasing convex")
    f(grid), f.smoothing.lam, f.smoothing.shape

The result is an ``Interpolant``; ``f.smoothing`` records what the fit
chose. ``Smoother()`` is the configuration class behind it, fitting one curve
from buffers (``fit(x, y)``, ``fit_weighted(x, y, weights)``).

Which method for which data
---------------------------
Each method promises a shape of its own, and ``is_shape_preserving`` on a
fit (on an ``Interpolant``, one verdict per curve) says whether it held.
The methods, each by its configuration class and its name in
``interpolate(x, y, method)``:

{method_guide}

In more detail:

``Tension().with_strict_shape()``
    Any data, when the shape must hold: co-monotone and co-convex. Tensions
    are raised until every requirement of the data holds after the last
    solve: monotone and convex
    (or concave) exactly where the data are, flat stretches flat to within
    1e-12 of the data range, and beside a data extremum an overshoot of at
    most 1e-3 of the range. Estimated end slopes are limited
    (``EndSlopes.limited()``). ``is_shape_preserving`` on the result says
    whether every requirement holds (a flat may miss where the tension cap
    of 1e9, lower for very close knots, binds).
``Tension()``
    Any data; the published minimal-tension algorithm, kept exactly as
    published. Each interval gets the smallest exponential tension (up to 85)
    that keeps the local monotonicity or convexity of the data as judged
    from the current knot slopes, until the slopes settle to 1 %; on ordinary
    data it can still overshoot a little (check ``is_shape_preserving``).
    ``with_uniform_tension(sigma)`` puts one tension everywhere instead (0 is
    the cubic spline with the method's end slopes, estimated from the data
    unless clamped; larger values pull the curve towards the polygon).
``RationalCubic()``
    Data that are convex throughout or concave throughout (a cost curve, a
    discount curve, a convex property table). The spline is then convex (or
    concave) everywhere, by construction (the class has no
    ``is_shape_preserving``; an ``Interpolant`` reports the construction's
    verdict, False only for a clamped end slope on the wrong side of its end
    secant). Data whose curvature changes are refused with a
    ``ValueError`` naming the knot ("data change curvature at knot ...");
    secants equal up to the rounding they carry from the data (straight
    stretches, at any length, in any units, with any offset) change nothing. Its convexity solve sweeps to a fixed point; on data where the
    sweeps crawl (secant steps of very different sizes) and are refused
    after ``max_iterations``, ``with_convexity_solver("newton")`` reaches the
    same kind of fixed point in a few Newton steps, finished by the sweeps.
``VariableDegree()``
    Any data, inflections included, when the curvature sign of every
    interval must follow the data (co-convexity). It raises the polynomial
    degree of the intervals that disagree, up to ``max_degree``; check
    ``is_shape_preserving`` on the result to know whether the cap was enough.
    It does not promise monotonicity: on 0, 1, 1, 1, 2 it dips to 0.9175 and
    rises to 1.0825 between the flat knots, with ``is_shape_preserving``
    True; flat stretches keep a little curvature, which the verdict counts.
``Quintic()``
    Any data, with a C² quintic: exactly constant on flat data, monotone on
    monotone data, convex on convex data, and of order 5 on smooth data. It
    inserts a knot where one quintic cannot keep an interval's bending
    (``with_knot_insertion(False)`` turns that off); ``with_stencil(n)``
    (3, 5 or 7) sets the points of the slope and curvature estimates at each
    knot. Its end slopes are limited by default.

End slopes are estimated from the data unless a configuration is given
``with_boundary(EndSlopes.clamped(left, right))``; ``EndSlopes.limited()``
takes the method's estimate and limits it so that the end intervals keep the
data's shape (0 where it points against the end secant, at most 3 times
that secant beside an extremum, on the side of it that keeps the end
interval's curvature).

Two conditions replace the end slopes where a method lists them in its
record's end conditions. ``EndSlopes.natural()`` frees both ends: S'' = 0
there (exactly 0 for the tension and variable-degree methods; the rational
cubic refuses data whose end interval would then bend against their
convexity). ``EndSlopes.periodic()`` closes the curve: the data must have
``y[0] == y[-1]`` (the fit is refused naming both values otherwise), the
period is ``x[-1] - x[0]``, and S, S' and S'' agree at the two ends, so the
spline continues across the period; the strict tension policy judges the
shape at the ends with the neighbours across the wrap, and the quintic
takes its estimates and limits there across the wrap too (with natural ends
it keeps S'' = 0 exactly and still limits the end slopes). The rational cubic
refuses periodic ends: a periodic convex curve is constant.

Integrals
---------
``spline.integral(a, b)`` is the integral from a to b (reversed limits give
the negative); ``spline.antiderivative(x)`` the integral from the first knot,
with ``antiderivative_batch(xs)`` and ``antiderivative_batch_into(xs, out)``
as for the values. Every piece integrates in closed form; the integrals at
the knots are summed once, on the first call that needs them.
``spline.evaluate(x, -n, extrapolate)`` (and ``evaluate_into``) is the n-th
antiderivative from the first knot, n = 1 to ``_velarix.highest_antiderivative``
(4): each piece's repeated integral in closed form, continued across the
knots by the Taylor terms of the lower antiderivatives there;
``f.antiderivative(n)`` of an interpolant evaluates it.

Outside the knot range
----------------------
Nothing is extrapolated: an abscissa below the first knot or above the last
is evaluated at that knot. The value *and every derivative* are held at their
end values; the first derivative is the spline's end slope, not 0. The held
value integrates as a constant there. A spline fitted with periodic ends
repeats instead: outside the knots it is evaluated, and integrated, as the
curve continued by its period.

NaN
---
A NaN abscissa gives NaN (for the value and every derivative). A NaN knot is
refused at fit time ("x must be strictly increasing"), as are repeated or
decreasing knots; so are infinite knots ("x must be finite") and neighbours
whose difference is subnormal or overflows. A NaN or infinite data value is
refused with its index ("y[3] must be finite, got inf"): the slopes are
solved for all knots together, so it would make the whole spline NaN. Every
floating-point setting is checked at fit in the same way ("shape parameter
`sigma` must be finite, got NaN"): tensions, clamped end slopes, shape
parameters, margins and tolerances; only ``max_degree`` may be infinite,
meaning no cap.

Extreme scales
--------------
Widths or values outside [2^-100, 2^101) (knots 1e-160 or 1e200 apart,
values near 1e308 or 1e-300) are fitted in coordinates scaled by powers of
two, which is exact, and evaluated back in your units: values, derivatives
and integrals equal the unit-scale fit's, scaled, to a few ulps wherever
that is a double. Data in the ordinary range are fitted as given. Widths
that differ by more than 2^500 within one data set, and clamped slopes that
overflow in the scaled coordinates, are refused naming the interval.

Errors
------
Bad data or settings raise ``ValueError`` with the exact reason; a broken
internal invariant (a bug) raises ``RuntimeError``. Nothing aborts the
interpreter.

Sending objects elsewhere
-------------------------
Configurations, ``EndSlopes`` and fitted splines pickle (protocols 2 to 5),
so they travel to ``multiprocessing``, ``concurrent.futures`` and Dask
workers; a restored spline evaluates to exactly the same bits. A pickled
state ends with a CRC-32 of all its bytes: a truncated or altered one (a
single flipped bit is enough) raises ``ValueError`` saying that the state is
damaged. States pickled by velarix 0.1.0 (without the checksum) still load.
``copy.copy`` and ``copy.deepcopy`` return the object itself.

Tables of two and more variables
--------------------------------
``interpolate_grid(points, values)`` interpolates a table on a rectilinear
grid of 2 to 6 axes (trailing axes of ``values`` are several surfaces): C²,
through the data, monotone along each axis where the data are, and exactly
flat where they are flat (``method="cubic"`` and ``"linear"`` for
comparison). ``f(xi, nu)``, ``f.grid(x1, ..., xN)``, ``f.gradient(xi)`` and
``f.integrate(lower, upper)`` evaluate it; it holds 3^N coefficients per
data node. ``GridSurface`` is the class behind it, one surface per fit.

Data sets and the command line
------------------------------
``velarix.datasets`` holds small data sets to try: the classic test data
(``akima()``, ``fritsch_carlson()``, ``titanium()``) and tables as they
arrive (``calibration()``, ``normal_cdf()``, ``yield_curve()``, ``cam()``,
``dose_response()``, and ``property_table()`` of two variables). The
``velarix`` command (also ``python -m velarix``) resamples a table;
``velarix --help`` says how. The documentation site (``bash
scripts/docs.sh`` in the source tree) has the user guide, this reference
and a gallery of examples.
"""

from velarix import _velarix

# The extension's __all__ lists its classes (the shared ones, each registered
# method's classes and the smoother's); the package re-exports it as it stands.
__all__ = list(_velarix.__all__)
globals().update({name: getattr(_velarix, name) for name in __all__})

_PICKLABLE = {name: globals()[name] for name in __all__}


def _method_guide():
    """The guide's list of the methods, from their records: class, name and promise."""
    return "\n".join(f"``{m['configuration'].__name__}()``, \"{m['name']}\"\n    {m['summary']}"
                     for m in _velarix.methods)


# The list stands in the guide as the extension registers the methods, so a
# new method is in it with its record's one-line summary (no docstring
# under -OO). The guide has no other format field, and no braces.
if __doc__:
    __doc__ = __doc__.format(method_guide=_method_guide())


def _restore(name, state):
    """Rebuild a pickled velarix object (the reconstructor its ``__reduce__`` names)."""
    cls = _PICKLABLE.get(name) if isinstance(name, str) else None
    if cls is None:
        raise ValueError(f"invalid saved state: unknown class {name!r}")
    return cls._from_state(state)

def __getattr__(name):
    # The version comes from the package metadata: an installed package's,
    # or in the build tree the metadata the build writes beside the package
    # (both carry pyproject.toml's version). It is looked up on first use,
    # since importing importlib.metadata costs more than the rest of the import.
    if name != "__version__":
        raise AttributeError(f"module 'velarix' has no attribute {name!r}")
    from importlib import metadata

    try:
        version = metadata.version("velarix")
    except metadata.PackageNotFoundError:
        raise AttributeError("velarix.__version__: no package metadata found (the package "
                             "is neither installed nor in a build tree)") from None
    globals()["__version__"] = version
    return version


# The NumPy-native layer above the classes.
from velarix.interpolant import (  # noqa: E402
    Antiderivative, Interpolant, cached_bytes, get_cache_limit, get_workers, interpolate,
    set_cache_limit, set_workers)
from velarix.smoothing import smooth  # noqa: E402
from velarix._grid import GridInterpolant, interpolate_grid  # noqa: E402

__all__ += ["Antiderivative", "Interpolant", "interpolate", "smooth", "set_workers",
            "get_workers", "set_cache_limit", "get_cache_limit", "cached_bytes",
            "GridInterpolant", "interpolate_grid"]
