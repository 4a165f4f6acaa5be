import math
import pickle

import mpmath as mp
import numpy as np
import pytest
from scipy.interpolate import CubicSpline
from scipy.special import ndtr

import velarix
from velarix import EndSlopes, Quintic, QuinticSpline


def high_precision_piece(x0, x1, y0, y1, gap0, gap1, bend0, bend1):
    """The piece of these fields at high precision: (x0, h, S of t = (x - x0) / h)."""
    dy, p0, p1, b0, b1 = y1 - y0, gap0, gap1, bend0, bend1
    value = lambda t: mp.polyval(
        [(3 * p0 - 3 * p1) - (b0 - b1) / 2, (7 * p1 - 8 * p0) + (1.5 * b0 - b1),
         (6 * p0 - 4 * p1) - (1.5 * b0 - b1 / 2), b0 / 2, dy - p0, y0], t)
    value.loses = True  # its higher coefficients are differences of the gaps and bends
    return x0, x1 - x0, value


# The shared calculus tests check every fit's integrals against it.
REFERENCE = high_precision_piece


def test_defaults_repr_builders_and_comparison():
    c = Quintic()
    assert repr(c) == "Quintic { boundary: Limited, stencil: 5, knot_insertion: true }"
    assert (c.boundary, c.stencil, c.knot_insertion) == (EndSlopes.limited(), 5, True)
    other = c.with_stencil(7).with_knot_insertion(False).with_boundary(EndSlopes.estimated())
    assert repr(other) == "Quintic { boundary: Estimated, stencil: 7, knot_insertion: false }"
    assert other != c and other.with_stencil(5) != c and c.with_stencil(5) == c
    assert Quintic.with_knot_insertion.__text_signature__ == "($self, knot_insertion)"
    assert Quintic.__text_signature__ == "()"
    assert QuinticSpline.__doc__ == "A fitted shape-preserving quintic spline."


@pytest.mark.parametrize("config, message", [
    (Quintic().with_stencil(4), "shape parameter `stencil` must be 3, 5 or 7, got 4"),
    (Quintic().with_stencil(9), "shape parameter `stencil` must be 3, 5 or 7, got 9"),
    (Quintic().with_boundary(EndSlopes.clamped(math.inf, 0)),
     "shape parameter `left` must be finite, got inf"),
    (Quintic().with_boundary(EndSlopes.clamped(0, math.nan)),
     "shape parameter `right` must be finite, got NaN"),
])
def test_settings_are_refused_before_the_data(config, message):
    with pytest.raises(ValueError) as info:
        config.fit(np.array([0.0]), np.array([1.0, 2.0]))
    assert str(info.value) == message


def test_knot_insertion_takes_only_a_bool():
    with pytest.raises(TypeError, match="expected bool, got 'int'") as info:
        Quintic().with_knot_insertion(1)
    assert info.value.__notes__ == ["while processing 'knot_insertion'"]


FUNCTIONS = {
    "exp": (np.exp, 0.0, 3.0),
    "sin": (np.sin, -math.pi / 2, math.pi / 2),
    "normal_cdf": (ndtr, -2.5, 2.5),
}


# Order 5 where the extrema lie at knots or ends, and well ahead of the cubic
# spline at 161 knots; no knot is inserted once the data resolve the curve.
@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_order_five_on_smooth_data(name):
    f, a, b = FUNCTIONS[name]
    grid = np.linspace(a, b, 20001)
    errors = []
    for n in (41, 81, 161, 321, 641):
        x = np.linspace(a, b, n)
        spline = Quintic().fit(x, f(x))
        assert spline.inserted == 0 and spline.is_shape_preserving
        errors.append(np.abs(np.asarray(spline.value_batch(grid)) - f(grid)).max())
        if n == 161:
            cubic = np.abs(CubicSpline(x, f(x))(grid) - f(grid)).max()
            assert cubic >= 10 * errors[-1]
    orders = np.log2(np.array(errors[:-1]) / np.array(errors[1:]))
    assert orders.min() >= 4.8, orders


def noisy_convex(seed, n=300):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.05, 1.0, n) ** 2)
    slopes = np.sort(rng.standard_normal(n - 1))
    return x, np.concatenate([[0.0], np.cumsum(slopes * np.diff(x))])


# Inserted knots are breakpoints, not knots: the data's knots, domain and
# interval count stay the data's.
@pytest.mark.parametrize("seed", range(3))
def test_knots_stay_the_data_and_breakpoints_add_the_inserted(seed):
    x, y = noisy_convex(seed)
    spline = Quintic().fit(x, y)
    knots, breaks = np.array(spline.knots), np.array(spline.breakpoints)
    assert spline.inserted > 0 and breaks.size == x.size + spline.inserted
    np.testing.assert_array_equal(knots, x)
    assert np.isin(x, breaks).all() and (np.diff(breaks) > 0).all()
    assert spline.domain == (x[0], x[-1])
    assert f"intervals: {x.size - 1}, inserted: {spline.inserted}," in repr(spline)
    restored = pickle.loads(pickle.dumps(spline))
    assert restored.breakpoints == spline.breakpoints and restored.knots == spline.knots
    grid = np.linspace(x[0], x[-1], 1001)
    np.testing.assert_array_equal(np.asarray(restored.second_derivative_batch(grid)).view(np.uint64),
                                  np.asarray(spline.second_derivative_batch(grid)).view(np.uint64))


# The closed-form integrals against Gauss-Legendre quadrature of the values,
# exact for quintics, piece by piece over the breakpoints.
@pytest.mark.parametrize("seed", range(3))
def test_integrals_agree_with_quadrature(seed):
    x, y = noisy_convex(seed, 120)
    spline = Quintic().fit(x, y)
    breaks = np.array(spline.breakpoints)
    t, w = np.polynomial.legendre.leggauss(4)
    a, b = breaks[:-1], breaks[1:]
    nodes = (a[:, None] + b[:, None]) / 2 + (b - a)[:, None] / 2 * t
    parts = (np.asarray(spline.value_batch(nodes.ravel())).reshape(nodes.shape) @ w) * (b - a) / 2
    running = np.concatenate([[0.0], np.cumsum(parts)])
    got = np.asarray(spline.antiderivative_batch(breaks))
    scale = np.cumsum(np.abs(parts)).max()
    assert np.abs(got - running).max() <= 1e-13 * scale
    assert spline.integral(x[-1], x[0]) == -spline.integral(x[0], x[-1])


def test_the_numpy_layer_takes_the_method_by_name():
    x, y = noisy_convex(4, 50)
    f = velarix.interpolate(x, y, method="quintic")
    reference = Quintic().with_boundary(EndSlopes.limited()).fit(x, y)
    grid = np.linspace(x[0], x[-1], 333)
    np.testing.assert_array_equal(f(grid), np.asarray(reference.value_batch(grid)))


# The stencil sets the estimates' order and so the fit's: 3 points give
# order 3, 7 points more than the 5 points' order 5 (superconvergent on
# uniform knots).
@pytest.mark.parametrize("stencil, low, high", [(3, 2.9, 3.1), (7, 5.5, 8.0)])
def test_the_stencil_sets_the_order(stencil, low, high):
    grid = np.linspace(-1.5, 1.5, 20001)
    errors = []
    for n in (41, 81, 161):
        x = np.linspace(-1.5, 1.5, n)
        spline = Quintic().with_stencil(stencil).fit(x, np.sin(x))
        errors.append(np.abs(np.asarray(spline.value_batch(grid)) - np.sin(grid)).max())
    orders = np.log2(np.array(errors[:-1]) / np.array(errors[1:]))
    assert low <= orders.min() and orders.max() <= high, orders


# Estimated end slopes are the end knots' own estimates, which can turn the
# end interval back; limited ones (the default) keep it monotone.
def test_limited_ends_keep_the_end_intervals_shape():
    x = np.array([0.0, 1.0, 1.1, 1.2, 3.0, 3.1])
    y = np.array([0.0, 0.1, 1.0, 1.05, 1.1, 5.0])
    limited = Quintic().fit(x, y)
    estimated = Quintic().with_boundary(EndSlopes.estimated()).fit(x, y)
    first = np.linspace(0.0, 1.0, 101)
    assert np.all(np.diff(np.asarray(limited.value_batch(first))) >= 0)
    assert limited.is_shape_preserving
    assert estimated.first_derivative(0.0) < 0 and not estimated.is_shape_preserving


# Exactly flat on flat data: the solve finds touches and runs where the data are.
@pytest.mark.parametrize("y, level, expected", [
    ([1.0, 0.0, 1.0, 2.0], 0.0, [1.0]),                    # a touch at a knot, once
    ([1.0, 0.0, 0.0, 0.0, 1.0], 0.0, [1.0, 3.0]),          # a run, by its ends
    ([2.0, 1.0, 1.0, 3.0, 3.0], 3.0, [-2 / 3, 3.0, 4.0]),  # a run at the last knot; the left end slope -3/2
    ([0.0, 1.0, 2.0, 3.0], -1.0, [-1.0]),                  # the linear continuation
])
def test_roots_touches_and_runs(y, level, expected):
    f = velarix.interpolate(np.arange(float(len(y))), y, "quintic")  # level where the data are
    assert np.allclose(f.solve(level), expected, rtol=0, atol=1e-12)
    assert np.array_equal(f.solve(level, extrapolate=False), [e for e in expected if e >= 0.0])



def test_two_points_give_the_line():
    spline = Quintic().fit(np.array([1.0, 3.0]), np.array([2.0, 5.0]))
    assert [spline(1.0), spline(3.0), spline.first_derivative(2.2)] == [2.0, 5.0, 1.5]
    assert spline.second_derivative(1.7) == 0.0 and spline.integral(1.0, 3.0) == 7.0


def closed_profiles():
    t = np.linspace(0.0, 2 * np.pi, 41)
    x = np.cumsum(np.random.default_rng(9).uniform(0.3, 1.0, 60))
    return {"abs_sin": (t, np.abs(np.sin(t))),
            "sin_flats": (t, np.clip(1.2 * np.sin(t), -1, 1)),
            "step": (t, (np.sin(t) > 0).astype(float)),
            "uneven": (x, np.r_[np.sin(x[:-1] * 2 * np.pi / (x[-1] - x[0])), 0.0] ** 3)}


# Periodic ends: C² across the wrap, and the shape kept on data monotone by
# parts (flats exactly constant, no interval turning back, no overshoot).
# The stencils wrap too, so the fit of the same closed profile started at
# another knot is the same curve, to rounding.
@pytest.mark.parametrize("name", sorted(closed_profiles()))
def test_periodic_fits_close_up_twice_differentiably_and_keep_the_shape(name):
    x, y = closed_profiles()[name]
    y = np.r_[y[:-1], y[0]]
    periodic = Quintic().with_boundary(EndSlopes.periodic())
    spline = periodic.fit(x, y)
    assert spline.is_shape_preserving
    for d in ("value", "first_derivative", "second_derivative"):
        scale = np.abs(getattr(spline, d + "_batch")(np.linspace(x[0], x[-1], 4001))).max()
        assert abs(getattr(spline, d)(x[0]) - getattr(spline, d)(x[-1])) <= 1e-12 * scale
    grid = x[:-1, None] + np.linspace(0.0, 1.0, 65)[None, 1:-1] * np.diff(x)[:, None]
    values = np.asarray(spline.value_batch(grid.ravel())).reshape(grid.shape)
    rise = np.sign(np.diff(y))[:, None]
    steps = np.diff(np.c_[y[:-1], values, y[1:]], axis=1)
    assert (rise * steps >= -1e-15).all()
    flat = np.diff(y) == 0
    assert (values[flat] == y[:-1][flat, None]).all()
    assert values.min() >= y.min() and values.max() <= y.max()
    r = 7
    period = x[-1] - x[0]
    turned = periodic.fit(np.r_[x[r:], x[1:r + 1] + period], np.r_[y[r:], y[1:r + 1]])
    t = np.linspace(x[r], x[-1], 999)
    assert np.abs(np.subtract(turned.value_batch(t), spline.value_batch(t))).max() <= 1e-12 * np.ptp(y)


# Natural ends: S'' = 0 exactly at both ends, the end slopes still limited so
# that steep convex or monotone end intervals keep their shape.
@pytest.mark.parametrize("seed", range(4))
def test_natural_ends_are_free_and_keep_the_shape(seed):
    x, y = noisy_convex(seed, 40)
    spline = Quintic().with_boundary(EndSlopes.natural()).fit(x, y)
    assert spline.second_derivative(x[0]) == 0.0 and spline.second_derivative(x[-1]) == 0.0
    assert spline.is_shape_preserving
    breaks = np.array(spline.breakpoints)
    grid = np.linspace(breaks[:-1], breaks[1:], 33).ravel()
    second = np.asarray(spline.second_derivative_batch(grid))
    assert second.min() >= -1e-12 * np.abs(second).max()


# Fewer knots than a stencil: the window wraps around the period more than
# once, and the fit still closes up and keeps the shape.
@pytest.mark.parametrize("x, y", [([0.0, 1.0, 2.5], [0.0, 1.0, 0.0]),
                                  ([0.0, 0.5, 2.0, 3.0], [1.0, 3.0, 2.0, 1.0]),
                                  ([0.0, 1.0], [2.0, 2.0])])
def test_periodic_fits_of_few_knots(x, y):
    x, y = np.array(x), np.array(y)
    spline = Quintic().with_boundary(EndSlopes.periodic()).with_stencil(7).fit(x, y)
    assert spline.is_shape_preserving
    for d in ("value", "first_derivative", "second_derivative"):
        assert getattr(spline, d)(x[0]) == pytest.approx(getattr(spline, d)(x[-1]), abs=1e-13)
    grid = np.linspace(x[0], x[-1], 401)
    assert np.max(spline.value_batch(grid)) <= max(y) and np.min(spline.value_batch(grid)) >= min(y)
