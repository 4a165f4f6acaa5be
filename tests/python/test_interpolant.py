"""The NumPy layer: conversion at the door, shapes, derivative orders,
extrapolation modes, several curves, integrals, level crossings, pickling;
each with every registered method."""

import copy
import gc
import inspect
import pickle
import re

import numpy as np
import pytest

import velarix
from velarix import datasets

from conftest import CONFIGURATIONS, REGISTRY, X, Y, accepts

MODES = ("linear", "constant", "hold", "nan")
CURVES = np.stack([Y, 2.0 - Y, np.exp(0.5 * X)], axis=1)  # convex, concave, convex


def ulps_apart(a, b):
    return np.abs(a - b) / np.spacing(np.maximum(np.abs(a), np.abs(b)))


@pytest.mark.parametrize("convert", [
    list, lambda a: [int(v) if v == int(v) else v for v in a], lambda a: a.astype(">f8"),
    lambda a: np.repeat(a, 2)[::2], tuple,
])
def test_any_real_array_like_fits_the_same_bits(convert, method):
    x, y = np.arange(6.0), np.arange(6.0) ** 2 + X  # convex, with one integer value
    expected = velarix.interpolate(x, y, method)(X)
    assert velarix.interpolate(convert(x), convert(y), method)(convert(X)).tobytes() == expected.tobytes()


def _unaligned(a):
    view = np.zeros(a.nbytes + 1, np.uint8)[1:].view(a.dtype).reshape(a.shape)
    view[...] = a
    return view


# Arrays the classes cannot read in place: the NumPy layer copies them once.
LAYOUTS = {
    "unaligned": _unaligned,
    "strided": lambda a: np.repeat(a, 2, axis=0)[::2],
    "byte-swapped": lambda a: a.astype(a.dtype.newbyteorder()),
    "unaligned byte-swapped": lambda a: _unaligned(a.astype(a.dtype.newbyteorder())),
}


@pytest.mark.parametrize("layout", LAYOUTS.values(), ids=LAYOUTS)
def test_any_memory_layout_fits_and_evaluates_the_same_bits(layout, method):
    points = np.linspace(-1.0, 4.0, 12).reshape(4, 3)
    plain, f = (velarix.interpolate(g(X), g(CURVES), method) for g in (np.asarray, layout))
    for got, want in [
        (f(layout(points)), plain(points)),
        (f(layout(points), 2), plain(points, 2)),
        (f.integrate(layout(points), layout(points[::-1])), plain.integrate(points, points[::-1])),
        (f.antiderivative()(layout(points)), plain.antiderivative()(points)),
        (velarix.interpolate(layout(X), layout(Y), method).solve(layout(np.array([3.0]))[0]),
         velarix.interpolate(X, Y, method).solve(3.0)),
    ]:
        assert (got.shape, got.tobytes()) == (want.shape, want.tobytes())
    native = np.linspace(0.0, 1.0, 5)
    assert velarix._checks.real_array(native, "x") is native  # no copy when none is needed


def test_is_shape_preserving_is_each_fits_verdict(method):
    f = velarix.interpolate(X, CURVES, method)
    verdicts = f.is_shape_preserving
    assert verdicts.dtype == bool and verdicts.tolist() == [s.is_shape_preserving for s in f.splines]
    one = velarix.interpolate(X, Y, method)
    assert one.is_shape_preserving is one.splines[0].is_shape_preserving


@pytest.mark.parametrize("x, y, kwargs, message", [
    ([[0.0, 1.0]], [0.0, 1.0], {}, "x must be one-dimensional, got 2 dimensions"),
    ([0.0], [1.0], {}, "need at least 2 data points, got 1"),
    ([0.0, np.inf], [1.0, 2.0], {}, "x[1] must be finite, got inf"),
    ([0.0, 1.0, 1.0], [1.0, 2.0, 3.0], {}, "x must be strictly increasing; x[1] = 1 is not < x[2] = 1"),
    ([0.0, np.nan, 2.0], [1.0, 2.0, 3.0], {}, "x[1] must be finite, got NaN"),
    ([-np.inf, 1.0, 2.0], [1.0, 2.0, 3.0], {}, "x[0] must be finite, got -inf"),
    ([0.0, 1.0], [[1.0, 2.0], [3.0, np.nan]], {}, "y[1, 1] must be finite, got NaN"),
    ([0.0, 1.0], [[np.inf, 1.0], [2.0, np.nan]], {"axis": 1}, "y[0, 0] must be finite, got inf"),
    ([0.0, 5e-324], [1.0, 2.0], {}, "x[0] = 0 and x[1] = 5e-324 are too close "
     "together: their difference is subnormal"),
    ([0.0, 1.0], [1.0, 2.0, 3.0], {}, "x and y must have the same length along axis 0 (got 2 and 3)"),
    ([0.0, 1.0], [[1.0, 2.0]] * 2, {"axis": 2}, "axis 2 is out of range for y with 2 dimensions"),
    ([0.0, 1.0], 5.0, {}, "y must have at least one dimension, got a scalar"),
    ([0.0, 1.0], ["a", "b"], {}, "y must hold real numbers, got an array of <U1"),
    (["0", "1"], [1.0, 2.0], {}, "x must hold real numbers, got an array of <U1"),
    ([0.0, 1.0], [1.0, 2.0], {"method": "not-a-method"}, "method must be one of "
     f"{', '.join(map(repr, REGISTRY))} or a configuration object, got 'not-a-method'"),
    ([0.0, 1.0], [1.0, 2.0], {"extrapolate": "zero"}, "extrapolate must be one of "
     "'linear', 'constant', 'hold', 'nan', 'raise', 'extend', 'periodic', True, False or None, got 'zero'"),
])
def test_refusals_name_the_argument_index_and_value(x, y, kwargs, message, method):
    with pytest.raises(ValueError) as info:
        velarix.interpolate(x, y, **{"method": method, **kwargs})
    assert str(info.value) == message


@pytest.mark.parametrize("x, y", [
    ([0.0, 1.0, 1.0], [0.0, 1.0, 2.0]), ([0.0, np.nan, 2.0], [0.0, 1.0, 2.0]),
    ([0.0, 1.0, np.inf], [0.0, 1.0, 2.0]), ([0.0, 1e308, -1e308 * 2], [0.0, 1.0, 2.0]),
    ([0.0, 1e-320], [0.0, 1.0]), ([0.0], [0.0]), ([0.0, 1.0, 2.0], [0.0, np.nan, 2.0]),
])
def test_the_numpy_layer_checks_data_with_the_classes_check(x, y, method):
    """The door's check and a fit's are one: each refusal is the class's message."""
    x, y = np.array(x), np.array(y)
    with pytest.raises(ValueError) as info:
        REGISTRY[method].configuration().fit(x, y)
    refusal = velarix._velarix.knot_refusal(x) or velarix._velarix.value_refusal(y)
    assert refusal[1] == str(info.value)


@pytest.mark.parametrize("check, values, refusal", [
    ("knot_refusal", [0.0, 2.0, 1.0], ("NotIncreasing", 1, 2.0, 1.0)),
    ("knot_refusal", [0.0, 1.0, np.inf], ("NonFiniteKnot", 2, np.inf)),
    ("knot_refusal", [0.0, 5e-324], ("UnusableWidth", 0, 0.0, 5e-324)),
    ("knot_refusal", [1.0], ("TooFewPoints", 1)),
    ("value_refusal", [[0.0, 1.0], [-np.inf, np.nan]], ("NonFiniteValue", 2, -np.inf)),
    ("knot_refusal", [0.0, 1.0, 2.0], None),
    ("value_refusal", np.zeros((2, 0)), None),
])
def test_the_core_checks_report_kind_and_numbers(check, values, refusal):
    values = np.array(values)
    for layout in (values, np.repeat(values, 2, axis=-1)[..., ::2]):  # the copy of a strided view
        got = getattr(velarix._velarix, check)(layout)
        assert (got if got is None else (got[0], *got[2:])) == refusal
        if check == "knot_refusal":  # the knots checked once refuse alike, or are made
            knots, again = velarix._velarix.checked_knots(layout)
            assert again == got and (knots is None) == (got is not None)


def test_a_fit_on_checked_knots_is_the_fit_on_x(method):
    """Each curve's fit on the knots checked once: its state to the byte, its refusal's words."""
    config = REGISTRY[method].configuration()
    knots, _ = velarix._velarix.checked_knots(np.repeat(X, 2)[::2])  # strided: held as a copy
    assert pickle.dumps(config.fit(knots, Y)) == pickle.dumps(config.fit(X, Y))
    bad = Y.copy()
    bad[3] = np.inf
    refusals = []
    for x in (knots, X):
        with pytest.raises(ValueError) as info:
            config.fit(x, bad)
        refusals.append(str(info.value))
    assert refusals[0] == refusals[1] == "y[3] must be finite, got inf"


@pytest.mark.parametrize("name", sorted(CONFIGURATIONS))
@pytest.mark.parametrize("workers", [1, 2])
def test_each_curve_on_the_shared_knots_is_its_fit_alone(name, workers):
    """The curves fitted on knots checked once, on one thread or side by side,
    are the fits of each curve on x, state for state."""
    config = CONFIGURATIONS[name]
    if not all(accepts(config, X, c) for c in CURVES.T):
        pytest.skip("the configuration refuses one of the curves")
    f = velarix.interpolate(X, np.asfortranarray(CURVES), config, workers=workers)
    alone = [pickle.dumps(config.fit(X, np.ascontiguousarray(c))) for c in CURVES.T]
    assert [pickle.dumps(s) for s in f.splines] == alone


def test_checked_knots_outlive_the_array_they_were_made_from():
    """The capsule holds the knots' buffer: the caller's array may go, and its
    copy of a strided view is its own."""
    x = X.copy()
    knots, _ = velarix._velarix.checked_knots(x)
    strided, _ = velarix._velarix.checked_knots(np.repeat(X, 2)[::2])
    expected = pickle.dumps(velarix.Tension().fit(X, Y))
    del x
    gc.collect()
    assert pickle.dumps(velarix.Tension().fit(knots, Y)) == expected
    assert pickle.dumps(velarix.Tension().fit(strided, Y)) == expected
    with pytest.raises(TypeError):
        velarix._velarix.checked_knots([0.0, 1.0])  # not a buffer, as for knot_refusal


def test_checked_knots_are_only_taken_from_their_own_capsule():
    """The smoother, which has no fit on checked knots, reads their x; any other object
    is refused as an x that is not an array."""
    knots, _ = velarix._velarix.checked_knots(X)
    smoother = velarix.Smoother()
    assert pickle.dumps(smoother.fit(knots, Y)) == pickle.dumps(smoother.fit(X, Y))
    with pytest.raises(TypeError):
        velarix.Quintic().fit(object(), Y)


def test_values_are_refused_before_any_other_refusal(method):
    """The order of refusals: a value that is not finite in any curve comes
    before a method's refusal of an earlier curve."""
    y = np.stack([np.sin(3 * X), Y], axis=1)  # the first curve turns its curvature
    y[2, 1] = np.nan
    with pytest.raises(ValueError, match=r"^y\[2, 1\] must be finite, got NaN$"):
        velarix.interpolate(X, y, method)


@pytest.mark.parametrize("mode", ["hold", "extend", "nan"])
def test_solve_searches_no_continuation_in_other_modes(mode, method):
    # Rising data: a linear continuation would cross these levels outside.
    f = velarix.interpolate(X, Y, method, extrapolate=mode)
    for level in (Y[0] - 1.0, Y[-1] + 1.0):
        assert f.solve(level).size == 0
    assert f.antiderivative().solve(-1.0).size == 0


def test_a_refused_curve_is_named(method):
    y = np.stack([Y, np.sin(3 * X)])  # the second curve turns its curvature
    config = REGISTRY[method].interpolation_configuration
    if accepts(config, X, y[1]):
        assert velarix.interpolate(X, y, method, axis=1).curves_shape == (2,)
        return
    with pytest.raises(ValueError) as info:
        config.fit(X, y[1])
    with pytest.raises(ValueError, match=f"^{re.escape(str(info.value))}$") as info:
        velarix.interpolate(X, y, method, axis=1)
    assert info.value.__notes__ == ["while fitting y[1, :]"]


@pytest.mark.parametrize("bad, message", [
    (4, "nu=4 asks for derivative 4 of the fitted curve; velarix has closed forms up to the "
        "third derivative"),
    *((b, f"nu must be a non-negative integer, got {b!r}") for b in (-1, 1.0, True, "1", None)),
])
def test_nu_up_to_the_third_derivative(bad, message, method):
    f = velarix.interpolate(X, Y, method)
    for x in (1.0, [1.0]):
        with pytest.raises(ValueError) as info:
            f(x, bad)
        assert str(info.value) == message


@pytest.mark.parametrize("name", sorted(CONFIGURATIONS))
@pytest.mark.parametrize("nu", [0, 1, 2])
def test_every_order_matches_the_class_bit_for_bit(name, nu):
    f = velarix.interpolate(X, CURVES, CONFIGURATIONS[name], extrapolate="hold")
    xs = np.linspace(-0.5, 3.5, 37)
    member = ("value", "first_derivative", "second_derivative")[nu]
    for j, spline in enumerate(f.splines):
        expected = np.asarray(getattr(spline, member + "_batch")(xs))
        assert f(xs, nu)[:, j].tobytes() == expected.tobytes()
        assert all(f(float(v), nu)[j] == getattr(spline, member)(float(v)) for v in xs)


@pytest.mark.parametrize("nu", [1, 2])
def test_derivatives_match_central_differences(nu, method):
    f = velarix.interpolate(X, Y, method)
    xs, h = np.linspace(0.03, 2.97, 50), 1e-5  # no knot within h: S‴ jumps there
    estimate = (f(xs + h, nu - 1) - f(xs - h, nu - 1)) / (2 * h)
    assert np.allclose(f(xs, nu), estimate, rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("x, shape", [
    (1.5, ()), (np.float64(1.5), ()), (np.array(1.5), ()), ([1.5], (1,)),
    (np.ones((2, 3, 4), np.float32), (2, 3, 4)), (np.ones((4, 3)).T, (3, 4)), (np.ones(0), (0,)),
])
@pytest.mark.parametrize("y, curves", [(Y, ()), (CURVES, (3,)), (CURVES.reshape(6, 1, 3), (1, 3))])
def test_result_shape_is_x_shape_then_curves_shape(x, shape, y, curves, method):
    f = velarix.interpolate(X, y, method)
    result = f(x)
    assert f.curves_shape == curves and np.shape(result) == shape + curves
    if curves == () and not isinstance(x, np.ndarray) and shape == ():
        assert type(result) is np.float64
    else:
        assert isinstance(result, np.ndarray) and result.flags.c_contiguous


def test_axis_chooses_the_knots_axis(method):
    f = velarix.interpolate(X, CURVES, method)
    g = velarix.interpolate(X, CURVES.T[:, None, :], method, axis=-1)
    xs = np.linspace(-1.0, 4.0, 11)
    # x's axes take the knots' place: y.shape[:axis] + x.shape + y.shape[axis + 1:].
    assert g(xs).shape == (3, 1, 11) and g(xs).tobytes() == f(xs).T[:, None, :].tobytes()


@pytest.mark.parametrize("mode", MODES)
def test_extrapolation_modes(mode, method):
    f = velarix.interpolate(X, CURVES, method, extrapolate=mode)
    s = f.splines[0]
    lo, hi = f.domain
    dx = np.array([1e-3, 0.5, 7.0])
    for end, sign in ((lo, -1.0), (hi, 1.0)):
        xs = end + sign * dx
        value, slope, curvature = (f(xs, nu)[:, 0] for nu in (0, 1, 2))
        expected = {
            "linear": (s.value(end) + s.first_derivative(end) * (xs - end),
                       s.first_derivative(end), 0.0),
            "constant": (s.value(end), 0.0, 0.0),
            "hold": (s.value(end), s.first_derivative(end), s.second_derivative(end)),
            "nan": (np.nan, np.nan, np.nan),
        }[mode]
        for got, want in zip((value, slope, curvature), expected):
            assert np.broadcast_to(want, got.shape).tobytes() == got.tobytes()
        # The scalar path of one curve continues it with the same bits.
        single = velarix.interpolate(X, Y, method, extrapolate=mode)
        for nu, got in enumerate((value, slope, curvature)):
            assert np.array([single(float(v), nu) for v in xs]).tobytes() == got.tobytes()
    assert np.isnan(f(np.nan)).all() and np.isnan(f([np.nan, 1.0])[0]).all()
    # At the infinities, a flat end stays at its value: no 0 * inf.
    config = REGISTRY[method].interpolation_configuration
    if "clamped" in REGISTRY[method].end_conditions:
        config = config.with_boundary(velarix.EndSlopes.clamped(0.0, 1.0))
    flat = velarix.interpolate([0.0, 1.0, 2.0], [1.0, 1.0, 3.0], config, extrapolate=mode)
    (lo, hi), s = flat.domain, flat.splines[0]
    slopes = s.first_derivative(lo), s.first_derivative(hi)
    assert slopes[0] == 0.0 and slopes[1] > 0.0
    ends = {"linear": [1.0, np.inf], "constant": [1.0, s.value(hi)],
            "hold": [1.0, s.value(hi)]}.get(mode, [np.nan] * 2)
    got = [*flat([-np.inf, np.inf]), flat(-np.inf), flat(np.inf)]  # array and scalar paths
    assert np.array_equal(got, ends * 2, equal_nan=True)


def test_raise_names_the_first_abscissa_outside(method):
    f = velarix.interpolate(X, Y, method, extrapolate="raise")
    assert f(3.0) == f.splines[0].value(3.0) == pytest.approx(Y[-1], rel=1e-14)
    for x, message in ((3.5, "x = 3.5"), ([[1.0, 4.0], [-1.0, 2.0]], "x[0, 1] = 4"),
                       (np.float32(-0.25), "x = -0.25")):
        with pytest.raises(ValueError) as info:
            f(x)
        assert str(info.value) == f"{message} is outside the domain [0, 3]"
    with pytest.raises(ValueError, match=r"^b\[1\] = 9 is outside the domain \[0, 3\]$"):
        f.integrate(0.0, [1.0, 9.0])


@pytest.mark.parametrize("mode", MODES)
def test_integrals_follow_the_mode(mode, method):
    f = velarix.interpolate(X, CURVES, method, extrapolate=mode)
    F = f.antiderivative()
    a, b = np.linspace(-1.0, 4.0, 7)[:, None], np.linspace(-0.5, 3.5, 5)
    assert f.integrate(a, b).tobytes() == (F(b) - F(a)).tobytes()
    assert F(0.0).tolist() == [0.0] * 3 and np.shape(f.integrate(a, b)) == (7, 5, 3)
    xs = np.linspace(-2.0, 5.0, 29)
    for nu in (1, 2, 3):
        assert F(xs, nu).tobytes() == f(xs, nu - 1).tobytes()
    if mode != "nan":  # the integral of the continued curve, by Simpson's rule
        t = np.linspace(-2.0, 0.0, 2001)
        w = np.r_[1.0, np.tile([4.0, 2.0], 999), 4.0, 1.0] * (t[1] - t[0]) / 3
        assert np.allclose(-(w @ f(t)), F(-2.0), rtol=1e-9)
    else:
        assert np.isnan(f.integrate(-1.0, 1.0)).all()


# Equal limits enclose nothing, infinite ones too (no inf - inf, no warning).
@pytest.mark.filterwarnings("error")
@pytest.mark.parametrize("mode", MODES + ("extend",))
def test_integrals_between_equal_limits_are_zero(mode, method):
    f = velarix.interpolate(X, CURVES, method, extrapolate=mode)
    for end in (np.inf, -np.inf):
        assert f.integrate(end, end).tolist() == [0.0] * 3
    assert velarix.interpolate(X, Y, method).integrate(np.inf, np.inf) == 0.0
    a = np.array([np.inf, -np.inf, 1.0])
    assert f.integrate(a, a).tolist() == [[0.0] * 3] * 3


# The classic sets, with every method that accepts them.
CLASSIC = [(load, name) for load in (datasets.fritsch_carlson, datasets.titanium, datasets.akima)
           for name in REGISTRY if accepts(REGISTRY[name].interpolation_configuration, *load())]


@pytest.mark.parametrize("load, method", CLASSIC, ids=[f"{l.__name__}-{m}" for l, m in CLASSIC])
def test_solve_finds_every_crossing_to_a_few_ulps(load, method):
    x, y = (np.asarray(v) for v in load())
    f = velarix.interpolate(x, y, method)
    grid = np.linspace(x[0], x[-1], 200_001)
    values = f(grid)
    for level in np.quantile(y, [0.1, 0.35, 0.6, 0.9]) + 1e-3:
        roots = f.solve(level, extrapolate=False)
        # A grid point on the level itself (a knot, where a curve may take
        # its value exactly) is one crossing, not a sign change on each side.
        signs = np.sign(values - level)
        crossings = np.count_nonzero(np.diff(signs[signs != 0]))
        assert len(roots) == crossings and np.all(np.diff(roots) > 0)
        left, right = f(np.nextafter(roots, -np.inf)) - level, f(np.nextafter(roots, np.inf)) - level
        assert np.all((left * right <= 0) | (ulps_apart(f(roots), level) <= 4))


def test_solve_inverts_a_monotone_curve_and_solves_each_curve(method):
    f = velarix.interpolate(X, Y, method)
    xs = np.linspace(0.0, 3.0, 25)
    roots = np.concatenate([f.solve(v, extrapolate=False) for v in f(xs)])
    # Within a few ulps of x, or where the curve takes the same double: where
    # it rises by less than an ulp of its values per ulp of x, a run of
    # abscissas shares one value.
    assert np.all((ulps_apart(roots, xs) <= 4) | (f(roots) == f(xs)))
    assert f.solve(Y[-1] + 1.0, extrapolate=False).size == 0
    several = velarix.interpolate(X, CURVES, method).solve(1.5)
    assert several.shape == (3,) and all(
        np.array_equal(r, velarix.interpolate(X, c, method).solve(1.5)) for r, c in zip(several, CURVES.T))


@pytest.mark.parametrize("mode", ["linear", "constant"])
@pytest.mark.parametrize("order", [0, -1])
def test_solve_finds_the_crossings_of_the_continuation(mode, order, method):
    f = velarix.interpolate(X, Y, method, extrapolate=mode)
    g = f.antiderivative() if order else f
    ends = g([X[0], X[-1]])
    for level in (ends[0] - 1.0, ends[-1] + 2.0, ends[0] - 5.0):
        roots = g.solve(level)
        outside = roots[(roots < X[0]) | (roots > X[-1])]
        assert np.all(np.abs(g(outside) - level) <= 1e-12 * max(1.0, abs(level)))
        # Rising data: a straight continuation (the curve's in the linear
        # mode, its integral's in the constant mode) reaches every level.
        if (mode == "linear") != bool(order):
            assert outside.size == 1


@pytest.mark.parametrize("mode", MODES)
def test_pickles_and_copies(mode, method):
    f = velarix.interpolate(X, CURVES, method, extrapolate=mode)
    xs = np.linspace(-1.0, 4.0, 23)
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        g = pickle.loads(pickle.dumps(f, protocol))
        assert (g.extrapolate, g.curves_shape, g(xs, 1).tobytes()) == (mode, (3,), f(xs, 1).tobytes())
    assert copy.copy(f) is f and copy.deepcopy(f) is f
    assert not f.x.flags.writeable


def test_dask_arrays_evaluate_lazily_block_by_block(method):
    da = pytest.importorskip("dask.array")
    f = velarix.interpolate(X, CURVES, method)
    xs = np.linspace(-1.0, 4.0, 1000).reshape(10, 100)
    lazy = f(da.from_array(xs, chunks=(5, 50)), 1)
    assert isinstance(lazy, da.Array) and lazy.chunks == ((5, 5), (50, 50), (3,))
    assert lazy.compute(scheduler="synchronous").tobytes() == f(xs, 1).tobytes()
    # Tasks are named by a token drawn per interpolant, never by content
    # that two different curves could share.
    g = velarix.interpolate(X, 2 * CURVES, method)
    lazy = da.from_array(xs, chunks=(5, 50))
    both = da.compute(f(lazy), g(lazy), f(lazy, extrapolate="nan"))
    assert [b.tobytes() for b in both] == [f(xs).tobytes(), g(xs).tobytes(),
                                           f(xs, extrapolate="nan").tobytes()]


DEFAULT_METHOD = inspect.signature(velarix.interpolate).parameters["method"].default


def test_each_method_fits_with_its_records_configuration(method):
    config = REGISTRY[method].interpolation_configuration
    f = velarix.interpolate(X, Y, method)
    assert f.configuration == config
    assert f(X[1:-1] + 0.1).tobytes() == np.asarray(config.fit(X, Y).value_batch(X[1:-1] + 0.1)).tobytes()
    if method == DEFAULT_METHOD:
        assert velarix.interpolate(X, Y).configuration == config


def test_help_documents_every_parameter_and_default():
    doc = velarix.interpolate.__doc__
    for text in (f'method : str or configuration object, default "{DEFAULT_METHOD}"',
                 "axis : int, default 0", 'extrapolate : str, bool or None, default None',
                 "workers : int or None, default None", "Interpolant"):
        assert text in doc


@pytest.mark.parametrize("method", sorted(REGISTRY))
def test_complex_values_fit_as_their_two_real_curves(method):
    x = np.array([0.0, 1, 2.5, 3, 4.5])
    real, imag = x ** 2, np.sqrt(x) + 1  # convex and concave, as every method takes
    f = velarix.interpolate(x, real + 1j * imag, method)
    parts = [velarix.interpolate(x, part, method) for part in (real, imag)]
    grid = np.linspace(-1, 6, 29)
    for nu in (0, 1, 2):
        np.testing.assert_array_equal(f(grid, nu), parts[0](grid, nu) + 1j * parts[1](grid, nu))
    assert f.integrate(0, 4) == parts[0].integrate(0, 4) + 1j * parts[1].integrate(0, 4)
    assert f.antiderivative()(2.0) == parts[0].antiderivative()(2.0) + 1j * parts[1].antiderivative()(2.0)
    with pytest.raises(ValueError, match="^solve needs a real curve"):
        f.solve(1.0)


def test_datetime_knots_are_evaluated_at_datetimes_in_their_unit():
    pd = pytest.importorskip("pandas")
    days = np.array(["2024-01-01", "2024-01-02", "2024-01-04", "2024-01-05"], dtype="datetime64[D]")
    y = np.array([0.0, 1, 3, 4])
    f, counted = velarix.interpolate(days, y), velarix.interpolate(days.astype(float), y)
    at = np.array(["2024-01-03T06", "2023-12-30T00"], dtype="datetime64[h]")
    grid = np.array([19725.25, 19721.0])  # the same instants, in days from the epoch
    assert (f(at) == counted(grid)).all() and (f(at, nu=1) == counted(grid, nu=1)).all()
    assert f.integrate(days[0], days[-1]) == counted.integrate(19723.0, 19727.0)
    assert pickle.loads(pickle.dumps(f))(at[0]) == f(pd.Timestamp("2024-01-03 06:00")) == f(at[0])
    with pytest.raises(ValueError, match=r"^x\[1\] must be a date-time, got NaT$"):
        f(np.array(["2024-01-02", "NaT"], dtype="datetime64[D]"))
