import math
import re
from array import array

import mpmath as mp
import numpy as np
import pytest

import velarix
from velarix import EndSlopes, RationalCubic, RationalCubicSpline

from conftest import X, Y, scale, seal, text
from integrals import SECANT, ULPS, pieces, rewritten, two_point, worst_error, worst_third_error


def high_precision_piece(p0, p1, p2, p3, x_left, h, q0, q1, q2):
    """The piece of these fields at high precision: (x0, h, S of t = (x - x0) / h)."""
    if q2 > 0:  # the chord form, y0, dy, a, b, u, v, w: the chord plus a correction
        value = lambda t: p0 + t * p1 + t * (1 - t) * (p2 + t * (p3 - p2)) / (q0 + t * (q1 - q0) + t * (1 - t) * q2)
        # The piece's own evaluation works at the size of both parts, which
        # can cancel when the end slopes are far from the secant.
        value.size = lambda t: abs(value(t)) + abs(p0 + t * p1)
        return x_left, h, value
    power = lambda t: mp.polyval([p3, p2, p1, p0], t) / mp.polyval([q2, q1, q0], t)
    power.loses = True  # see integrals.worst_third_error
    return x_left, h, power


# The shared calculus tests check every fit's integrals against it.
REFERENCE = high_precision_piece


# Slopes that ask w = margin + max(v r, u / r), and slopes on the wrong side
# of the secant, which give w its cap of 1e6.
@pytest.mark.parametrize("u, v", [(1, 1), (1, 4), (4, 1), (1, 40), (40, 1), (0.01, 100)])
@pytest.mark.parametrize("r", [1.0, 1 / 3, 100.0, 1e6, -1.0])
def test_rational_cubic_piece(u, v, r):
    mp.mp.dps = 30
    slopes = (SECANT - 1, SECANT + r) if r > 0 else (SECANT + 1, SECANT + 1)
    spline = two_point(RationalCubic().with_shape(u, v), slopes)
    assert worst_error(spline, pieces(spline, REFERENCE)[0]) <= ULPS
    assert worst_third_error(spline, pieces(spline, REFERENCE)[0]) <= ULPS


# Denominators no fit makes (w below sqrt(u v)): poles far from both ends, a
# linear and a constant denominator. The piece is built as a fit builds it.
@pytest.mark.parametrize("u, v, w", [(1, 1, 0.01), (1, 1, 0.3), (1, 1.5, 0.2), (1, 2, 0), (1, 1, 0)])
def test_rational_cubic_far_poles(u, v, w):
    mp.mp.dps = 30
    y0, y1, d0, d1, h = 1.5, -0.5, 2.0, -3.0, 0.7
    beta = d0 * (h * u) + y0 * (w + (v + (u + u)))
    gamma = y1 * (w + (u + (v + v))) - d1 * (h * v)
    p0, p1 = y0 * u, beta - y0 * (u * 3)
    p2 = gamma + (y0 * (u * 3) - (beta + beta))
    p3 = ((y1 * v - p0) + beta) - gamma
    spline = two_point(RationalCubic(), (SECANT - 1, SECANT + 1))
    spline = rewritten(spline, p0=p0, p1=p1, p2=p2, p3=p3, h=h, q0=u, q1=(v + w) - u, q2=-w)
    assert worst_error(spline, pieces(spline, REFERENCE)[0]) <= ULPS
    assert worst_third_error(spline, pieces(spline, REFERENCE)[0]) <= ULPS


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def test_defaults_and_repr():
    c = RationalCubic()
    assert repr(c) == (
        "RationalCubic { u: 1.0, v: 1.0, boundary: Estimated, margin: 0.001, "
        "relaxation: 0.5, tol: 1e-10, max_iter: 1000, w_cap: 1000000.0 }"
    )
    assert c.shape == (1.0, 1.0)
    assert c.boundary == EndSlopes.estimated()
    assert c.convexity_margin == 0.001
    assert c.relaxation == 0.5
    assert c.max_iterations == 1000 and type(c.max_iterations) is int
    assert repr(c.with_boundary(EndSlopes.clamped(0, 2))).count(
        "boundary: Clamped { left: 0.0, right: 2.0 }"
    ) == 1


def test_docstrings_and_signatures():
    assert RationalCubic.__text_signature__ == "()"
    assert RationalCubic.__doc__ == (
        "Convexity/concavity-preserving C² rational cubic (Abbas–Majid–Ali). The\n"
        "data must be concave throughout or convex throughout."
    )
    signatures = {
        "fit": "($self, x, y)",
        "with_shape": "($self, u, v)",
        "with_boundary": "($self, boundary)",
        "with_convexity_margin": "($self, margin)",
        "with_relaxation": "($self, relaxation)",
        "with_max_iterations": "($self, max_iterations)",
    }
    for name, sig in signatures.items():
        assert getattr(RationalCubic, name).__text_signature__ == sig
        assert getattr(RationalCubic, name).__doc__
    assert RationalCubicSpline.__doc__ == (
        "A fitted rational cubic: concave on concave data, convex on convex data."
    )
    assert RationalCubicSpline.tension_parameters.__doc__ == (
        "The convexity parameter `w` chosen on each interval."
    )
    assert RationalCubicSpline.iterations.__doc__ == "Fixed-point iterations the convexity solve used."
    assert RationalCubicSpline.is_concave.__doc__ == (
        "Whether the data were concave, so the spline is concave, not convex."
    )


def test_comparison_and_builders():
    c = RationalCubic()
    assert c == RationalCubic()
    assert c.with_relaxation(0.5) == c
    assert c.with_shape(2, 1) != c
    nan = c.with_convexity_margin(math.nan)
    assert nan != nan
    assert c.with_max_iterations(1000) == c and c.with_max_iterations(999) != c
    assert c.with_boundary(EndSlopes.clamped(1, 2)) != c
    with pytest.raises(TypeError):
        hash(c)
    with pytest.raises(TypeError):
        c < c
    assert (c == 1) is False
    b = c.with_shape(0, 1)
    assert b.shape == (0.0, 1.0) and c.shape == (1.0, 1.0)
    assert c.boundary == c.boundary and c.boundary is not c.boundary
    with pytest.raises(TypeError, match=r"RationalCubic\(\) takes no arguments"):
        RationalCubic(1)


def test_builder_conversions():
    c = RationalCubic()
    with pytest.raises(OverflowError) as info:
        c.with_max_iterations(-1)
    assert info.value.__notes__ == ["while processing 'max_iterations'"]
    with pytest.raises(OverflowError):
        c.with_max_iterations(2**64)
    assert c.with_max_iterations(2**64 - 1).max_iterations == 2**64 - 1
    with pytest.raises(TypeError):
        c.with_max_iterations(2.0)
    with pytest.raises(TypeError) as info:
        c.with_boundary(None)
    assert str(info.value) == "'None' is not an instance of 'EndSlopes'"
    assert info.value.__notes__ == ["while processing 'boundary'"]
    with pytest.raises(TypeError) as info:
        c.with_boundary(3)
    assert str(info.value) == "'int' object is not an instance of 'EndSlopes'"
    with pytest.raises(TypeError, match=r"RationalCubic\.with_shape\(\)"):
        c.with_shape(1)
    assert c.with_shape(v=3, u=2).shape == (2.0, 3.0)


X4 = np.array([0.0, 1.0, 2.0, 3.0])


@pytest.mark.parametrize(
    "config, message",
    [
        (RationalCubic().with_relaxation(0), "shape parameter `relaxation` must be in (0, 1], got 0"),
        (RationalCubic().with_relaxation(1.5), "shape parameter `relaxation` must be in (0, 1], got 1.5"),
        (RationalCubic().with_relaxation(math.nan), "shape parameter `relaxation` must be in (0, 1], got NaN"),
        (RationalCubic().with_shape(0, 1), "shape parameter `u` must be > 0, got 0"),
        (RationalCubic().with_shape(-1, -1), "shape parameter `u` must be > 0, got -1"),
        (RationalCubic().with_shape(1, math.nan), "shape parameter `v` must be > 0, got NaN"),
        (RationalCubic().with_convexity_margin(-1), "shape parameter `margin` must be > 0, got -1"),
    ],
)
def test_configuration_is_checked_before_the_data(config, message):
    for x, y in [(X4, X4**2), (np.array([1.0]), np.array([2.0])), (X4, X4[:2])]:
        with pytest.raises(ValueError) as info:
            config.fit(x, y)
        assert str(info.value) == message


def test_relaxation_one_is_accepted():
    s = RationalCubic().with_relaxation(1.0).fit(X4, X4**2)
    assert s.iterations >= 1


@pytest.mark.parametrize(
    "y, message",
    [
        ([0, 1, 4, 2], "data change curvature at knot 2 (x = 2): secant slopes 3 then -2 turn against "
         "the earlier knots; this method needs data that is concave throughout or convex throughout"),
        ([0, 1, 1, 2], "data change curvature at knot 2 (x = 2): secant slopes 0 then 1 turn against "
         "the earlier knots; this method needs data that is concave throughout or convex throughout"),
    ],
)
def test_mixed_curvature(y, message):
    with pytest.raises(ValueError) as info:
        RationalCubic().fit(X4, np.array(y, dtype=float))
    assert str(info.value) == message


def test_no_convergence():
    with pytest.raises(ValueError) as info:
        RationalCubic().with_max_iterations(0).fit(X4, X4**2)
    assert str(info.value) == (
        "convexity solve did not converge in 0 iterations (last change NaN); "
        "try raising max_iterations or relaxation"
    )
    with pytest.raises(ValueError, match=r"did not converge in 2 iterations \(last change \d"):
        RationalCubic().with_max_iterations(2).fit(X4, X4**2)


def test_two_points_give_the_straight_line():
    s = RationalCubic().fit(np.array([1.0, 3.0]), np.array([2.0, 6.0]))
    assert s.tension_parameters == [1000000.0]
    assert s.iterations == 0
    assert s.is_concave is False
    for x in np.linspace(1, 3, 9):
        assert s(x) == pytest.approx(2 * x, rel=1e-12)
        assert s.first_derivative(x) == pytest.approx(2.0, rel=1e-9)


def test_spline_repr_and_properties():
    s = RationalCubic().fit(X4, X4**2)
    assert repr(s) == (
        f"RationalCubicSpline {{ domain: 0.0..=3.0, intervals: 3, "
        f"iterations: {s.iterations}, concave: false }}"
    )
    assert len(s.tension_parameters) == 3
    assert all(type(w) is float and 0 <= w <= 1e6 for w in s.tension_parameters)
    assert s.domain == (0.0, 3.0)
    assert type(s.iterations) is int and s.iterations >= 1


def random_convex(rng, n, concave=False):
    x = np.cumsum(rng.uniform(0.05, 2.0, n)) - 1.0
    slopes = np.cumsum(rng.uniform(0.0, 1.5, n - 1)) - 3.0
    y0 = rng.normal()
    y = np.concatenate([[y0], y0 + np.cumsum(slopes * np.diff(x))])
    return x, (-y if concave else y)


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("concave", [False, True])
def test_shape_and_smoothness_on_random_data(seed, concave):
    rng = np.random.default_rng(seed)
    n = [2, 3, 5, 17, 60, 250][seed % 6]
    x, y = random_convex(rng, n, concave)
    s = RationalCubic().fit(x, y)
    assert s.is_concave is (concave and n > 2)
    # Interpolation: exact to rounding on the left end of every piece; at the
    # last knot a nearly straight piece (w up to 1e6) loses a few digits.
    np.testing.assert_allclose(s.value_batch(x[:-1]), y[:-1], rtol=1e-12, atol=1e-12)
    assert s(x[-1]) == pytest.approx(y[-1], rel=1e-9, abs=1e-9)
    # C² at interior knots: the piece on the left, evaluated at its right end
    # (just below the knot would be a different point), against the right.
    for k in range(1, n - 1):
        left = s.second_derivative(np.nextafter(x[k], -np.inf))
        right = s.second_derivative(x[k])
        scale = max(1.0, abs(left), abs(right))
        # The convexity parameters reach 1e6, so the C² rows carry terms a
        # million times the curvature: agreement is to that rounding.
        assert abs(left - right) <= 1e-4 * scale
    # Convexity on a dense grid. (Two points give a straight line with
    # w = 1e6, whose second derivative is only rounding noise.)
    if n == 2:
        return
    grid = np.linspace(x[0], x[-1], 4001)
    d2 = np.asarray(s.second_derivative_batch(grid))
    sign = -1.0 if s.is_concave else 1.0
    assert (sign * d2 >= -1e-9 * max(1.0, np.abs(d2).max())).all()


@pytest.mark.parametrize("seed", range(6))
def test_concave_fit_is_the_exact_negation(seed):
    rng = np.random.default_rng(100 + seed)
    x, y = random_convex(rng, 5 + 20 * seed)
    a = RationalCubic().fit(x, y)
    b = RationalCubic().fit(x, -y)
    assert a.is_concave is False and b.is_concave is True
    assert a.tension_parameters == b.tension_parameters
    assert a.iterations == b.iterations
    grid = np.concatenate([np.linspace(x[0] - 1, x[-1] + 1, 777), x])
    for family in ["value_batch", "first_derivative_batch", "second_derivative_batch"]:
        va = np.asarray(getattr(a, family)(grid))
        vb = np.asarray(getattr(b, family)(grid))
        np.testing.assert_array_equal(bits(vb), bits(-va))


@pytest.mark.parametrize("concave", [False, True])
def test_clamped_end_slopes_are_reproduced(concave):
    x = np.array([0.0, 0.5, 1.7, 2.0, 3.1])
    y = x**2 if not concave else -(x**2)
    left, right = (-1.0, 7.0) if not concave else (1.0, -7.0)
    s = RationalCubic().with_boundary(EndSlopes.clamped(left, right)).fit(x, y)
    assert s.first_derivative(x[0]) == pytest.approx(left, rel=1e-12)
    assert s.first_derivative(x[-1]) == pytest.approx(right, rel=1e-9)


def test_collinear_data_count_as_convex():
    # Knots whose secants are exactly equal (no rounding noise to classify).
    x = np.array([0.0, 0.5, 1.0, 2.5])
    s = RationalCubic().fit(x, 2 * x + 1)
    assert s.is_concave is False
    np.testing.assert_allclose(s.value_batch(np.linspace(0, 2.5, 11)),
                               2 * np.linspace(0, 2.5, 11) + 1, rtol=1e-12)


# Rounded samples of a straight line in any units and offsets fit, straight to
# their own rounding: every value on the chords to the rounding of the values
# and of the knots (an ulp of |x| times the slope), every slope within twice
# the secants' spread. A 1 % wiggle (secant steps far above that rounding) is
# still refused.
@pytest.mark.parametrize("rows, bend", [(10**5, 0.0), (10**6, 0.0), (10**5, 1e-2)])
@pytest.mark.parametrize("units", [(1, 0, 1, 0), (1e-3, 0, 7.3e4, 0), (1, 1e5, 1, 0),
                                   (1, 0, 1, 1e6), (2.5e3, 0, 1e-9, -3)])
@pytest.mark.parametrize("solver", ["sweep", "newton"])
def test_rounded_straight_lines_fit_straight(rows, bend, units, solver):
    t = np.linspace(0, 100, rows)
    x, y = units[0] * t + units[1], (-1 + 0.01 * t) * units[2] + units[3]
    y += bend * np.abs(y).max() * np.sin(t)
    config = RationalCubic().with_convexity_solver(solver)
    if bend:
        with pytest.raises(ValueError, match="^data change curvature at knot "):
            config.fit(x, y)
        return
    s, q, secants = config.fit(x, y), np.linspace(x[0], x[-1], 20001), np.diff(y) / np.diff(x)
    slopes, spread = np.asarray(s.first_derivative_batch(q)), 2 * np.ptp(secants)
    rounding = 4e-16 * np.abs(y).max() + np.abs(secants).max() * np.spacing(np.abs(x).max())
    assert np.abs(np.asarray(s.value_batch(q)) - np.interp(q, x, y)).max() <= rounding
    assert secants.min() - spread <= slopes.min() and slopes.max() <= secants.max() + spread


def test_fit_leaves_the_configuration_unchanged():
    c = RationalCubic().with_shape(2, 3)
    before = repr(c)
    c.fit(X4, X4**2)
    with pytest.raises(ValueError):
        c.fit(X4, np.array([0.0, 1.0, 4.0, 2.0]))
    assert repr(c) == before


# The curve bends against the data where a clamped end slope lies on the
# wrong side of its end secant.
@pytest.mark.parametrize("config, y, verdict", [
    ("rational_cubic", [1.0, 0.5, 0.4, 0.6, 1.5], True),
    (RationalCubic().with_boundary(EndSlopes.clamped(10.0, -10.0)), [1.0, 0.5, 0.4, 0.6, 1.5], False),
    (RationalCubic().with_boundary(EndSlopes.clamped(-1.0, 2.0)), [1.0, 0.5, 0.4, 0.6, 1.5], True),
    (RationalCubic().with_boundary(EndSlopes.clamped(10.0, -10.0)), [-1.0, -0.5, -0.4, -0.6, -1.5],
     True),
])
def test_is_shape_preserving_reports_each_fits_verdict(config, y, verdict):
    x = np.arange(5.0)
    assert velarix.interpolate(x, y, config).is_shape_preserving is verdict
    both = velarix.interpolate(x, np.stack([y, y[::-1]], axis=1), config).is_shape_preserving
    assert both.dtype == bool and both.tolist() == [verdict, verdict]


def test_limited_end_slopes_keep_the_data_shape():
    # Convex data rising late: the estimated left slope points down, the
    # limited one is 0 (mirrored concave data alike).
    x, y = np.array([0.0, 1, 2, 3]), np.array([0.0, 0.001, 1, 3])
    assert RationalCubic().fit(x, y).first_derivative(0.0) < 0
    assert RationalCubic().with_boundary(EndSlopes.limited()).fit(x, y).first_derivative(0.0) == 0
    assert RationalCubic().with_boundary(EndSlopes.limited()).fit(x, -y).first_derivative(0.0) == 0


def test_the_concave_flag_out_of_range_is_refused():
    state = RationalCubic().fit(X, Y).__reduce__()[1][1][:-4]
    offset = len(state) - 1  # the concave flag, the last byte
    with pytest.raises(ValueError, match=f"^invalid saved state: tag out of range at byte {offset}$"):
        RationalCubicSpline._from_state(seal(state[:offset] + bytes([4])))


KNOTS = np.arange(5.0)


# Each of these reached a zero pivot of a tridiagonal solve; now the
# parameter at fault is named before any solve.
@pytest.mark.parametrize("config, x, message", [
    (RationalCubic().with_shape(1e-300, 1e-300), np.arange(1.0, 9.0) * 1e-300,
     scale("u", 1e-300, 0, 1e-300)),
    (RationalCubic().with_shape(1e-300, 5e-324), KNOTS, scale("v", 5e-324, 0, 1.0)),
    # The Newton step's system would be singular here.
    (RationalCubic().with_shape(1.0, 1e-300).with_convexity_solver("newton"), KNOTS,
     scale("v", 1e-300, 0, 1.0)),
])
def test_degenerate_shapes_are_refused_before_the_numerics(config, x, message):
    with pytest.raises(ValueError) as info:
        config.fit(x, np.arange(x.size) ** 2.0)
    assert str(info.value) == message


def test_a_scaled_refusal_names_the_callers_secants():
    x, y = np.ldexp(np.arange(4.0), 600), np.ldexp(np.array([0.0, 1, 4, 2]), 500)
    secants = [text(math.ldexp(s, -100)) for s in (3, -2)]
    slopes = f"{secants[0]} then {secants[1]}"
    with pytest.raises(ValueError, match=re.escape(f"knot 2 (x = {text(math.ldexp(2, 600))}): secant slopes {slopes} turn")):
        RationalCubic().fit(x, y)


def test_interpolate_fits_with_the_newton_solve_and_limited_end_slopes():
    config = RationalCubic().with_convexity_solver("newton").with_boundary(EndSlopes.limited())
    assert velarix.interpolate(X, Y, "rational_cubic").configuration == config


# u / v beyond 2^52 rounds the denominator to 0 at the right knot: refused at
# fit, naming v; the largest ratio served, and any v above u, fit finite.
SHAPE_RATIO = ("^shape parameter `v` must be at least u / 2\\^52: below it the denominator "
               "u \\+ t \\(v - u\\) rounds to 0 at the right knot, got ")


@pytest.mark.parametrize("fit", [
    lambda: RationalCubic().with_shape(1, 1e-20).fit(array('d', [0, 1]), array('d', [0, 1])),
    lambda: velarix.interpolate([0, 1, 2], [0, 1, 2], RationalCubic().with_shape(1e16, 1)),
])
def test_shape_ratios_floating_point_cannot_serve_are_refused(fit):
    with pytest.raises(ValueError, match=SHAPE_RATIO):
        fit()


@pytest.mark.parametrize("u, v", [(2.0**52, 1), (1, 1e20), (1e16, 1e16)])
def test_shape_ratios_within_reach_fit_finite(u, v):
    f = velarix.interpolate([0, 1, 2], [0, 1, 2], RationalCubic().with_shape(u, v))
    assert f([0, 1, 2]).tolist() == [0, 1, 2]
    assert np.isfinite(f(np.linspace(0, 2, 101), 2)).all()
