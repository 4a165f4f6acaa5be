"""Evaluation outside the knots by the core's modes, through the classes and
``velarix.interpolate``: the formulas the NumPy layer used to apply itself,
bit for bit; scalar against batch; every mode and order; NaN."""

import math
import re

import numpy as np
import pytest

import velarix

from conftest import METHODS, X, Y

CORE_MODES = ("hold", "linear", "constant", "nan", "extend", "periodic")
ORDERS = (-1, 0, 1, 2, 3)
OUTSIDE = np.array([-1e300, -7.5, -0.25, 3.0000000001, 4.2, 1e300, np.inf, -np.inf])
POINTS = np.concatenate([OUTSIDE, X, [np.nan, 1.3]])
# The unit data and the same data far from 1, fitted in power-of-two coordinates.
SCALES = [(0, 0), (600, -500)]


def _times(factor, dx):
    return 0.0 if factor == 0 else factor * dx


def old_continued(mode, kind, integral, value, slope, dx):
    """The continuation the NumPy layer applied to the held results before."""
    if kind >= 2 or (kind == 1 and mode == "constant"):
        return 0.0
    if kind == 1:
        return slope
    if mode == "constant":
        return value if kind == 0 else integral + _times(value, dx)
    if kind == 0:
        return value + _times(slope, dx)
    return integral + _times(value + 0.5 * _times(slope, dx), dx)


@pytest.fixture(params=[(m, s) for m in sorted(METHODS) for s in SCALES], ids=str)
def scaled_spline(request):
    name, (x_exp, y_exp) = request.param
    return METHODS[name]().fit(np.ldexp(X, x_exp), np.ldexp(Y, y_exp))


@pytest.mark.parametrize("mode", ["linear", "constant"])
@pytest.mark.parametrize("kind", [-1, 0, 1, 2])
def test_linear_and_constant_keep_the_numpy_layers_bits(scaled_spline, mode, kind):
    lo, hi = scaled_spline.domain
    xs = np.array([lo - 0.75 * (hi - lo), lo - 1e-3 * (hi - lo), hi + 0.5 * (hi - lo),
                   hi + 6 * (hi - lo), -np.inf, np.inf])
    got = np.empty_like(xs)
    scaled_spline.evaluate_into(xs, got, kind, mode)
    for x, g in zip(xs, got):
        end = lo if x < lo else hi
        integral = scaled_spline.antiderivative(hi) if (kind == -1 and x > hi) else 0.0
        expected = old_continued(mode, kind, integral, scaled_spline.value(end),
                                 scaled_spline.first_derivative(end), x - end)
        assert np.float64(g).tobytes() == np.float64(expected).tobytes(), (x, g, expected)


@pytest.mark.parametrize("mode", CORE_MODES)
@pytest.mark.parametrize("nu", ORDERS)
def test_scalar_is_batch_bit_for_bit_and_nan_stays_nan(scaled_spline, mode, nu):
    lo, hi = scaled_spline.domain
    with np.errstate(over="ignore"):
        xs = np.where(np.isfinite(POINTS), lo + (POINTS / 3.0) * (hi - lo), POINTS)
    batch = np.empty_like(xs)
    scaled_spline.evaluate_into(xs, batch, nu, mode)
    scalar = np.array([scaled_spline.evaluate(float(x), nu, mode) for x in xs])
    np.testing.assert_array_equal(batch.view(np.uint64), scalar.view(np.uint64))
    inside = (xs >= lo) & (xs <= hi)
    if mode != "hold":
        assert np.isnan(batch[np.isnan(xs)]).all()
    if mode == "nan":
        assert np.isnan(batch[~inside]).all()


@pytest.mark.parametrize("nu", ORDERS)
def test_hold_is_the_classes_own_evaluation(spline, nu):
    xs = POINTS.copy()
    got = np.empty_like(xs)
    spline.evaluate_into(xs, got, nu, "hold")
    member = {-1: spline.antiderivative_batch, 0: spline.value_batch,
              1: spline.first_derivative_batch, 2: spline.second_derivative_batch,
              3: spline.third_derivative_batch}[nu]
    np.testing.assert_array_equal(got.view(np.uint64),
                                  np.frombuffer(member(xs), np.float64).view(np.uint64))


@pytest.mark.parametrize("k", [1, -3, 10**6, -(10**9)])
def test_periodic_antiderivative_is_whole_periods_plus_the_rest(spline, k):
    lo, hi = spline.domain
    period = hi - lo
    t = lo + 0.375 * period
    x = t + k * period
    inside = lo + math.remainder(x - lo, period) % period
    expected = k * spline.antiderivative(hi) + spline.antiderivative(inside)
    assert spline.evaluate(x, -1, "periodic") == pytest.approx(expected, rel=1e-12, abs=1e-9)
    assert spline.evaluate(x, 0, "periodic") == pytest.approx(spline.value(t), rel=1e-9)


def test_extend_continues_the_end_pieces():
    # On a straight line every piece is the line itself, so extending the end
    # pieces continues it, where hold and constant would flatten it.
    f = velarix.interpolate([0.0, 1.0, 2.0, 3.0], [1.0, 3.0, 5.0, 7.0])
    spline = f.splines[0]
    for x in (-2.0, 5.5):
        assert spline.evaluate(x, 0, "extend") == pytest.approx(1.0 + 2.0 * x, rel=1e-12)
        assert spline.evaluate(x, -1, "extend") == pytest.approx(x + x * x, rel=1e-12, abs=1e-12)


# A variable-degree piece's powers of a negative base continue as real
# powers (see variable_degree/piece.hpp): finite past both ends, C² at the
# knots, and each order the derivative of the one before.
def test_variable_degree_extends_finite_past_its_ends():
    x = [.17, .2, .26, .27, .29, .46, .59, .8]
    f = velarix.interpolate(x, [.39, 1.45, -.78, .86, -.41, 1.87, .72, 2], "variable_degree")
    assert np.isfinite(f(0.801, extrapolate="extend"))
    spline = f.splines[0]
    beyond = np.r_[np.linspace(-2.0, 0.17, 40, endpoint=False), np.linspace(0.8, 3.0, 41)[1:]]
    for nu in range(-1, 4):
        assert np.isfinite([spline.evaluate(t, nu, "extend") for t in beyond]).all()
    for end, side in ((0.17, -1), (0.8, 1)):
        for nu in range(3):
            assert spline.evaluate(end + side * 1e-9, nu, "extend") == pytest.approx(
                spline.evaluate(end, nu, "hold"), rel=1e-5, abs=1e-5)
        for nu in range(4):
            t, d = end + side * 0.3, 1e-6
            slope = (spline.evaluate(t + d, nu - 1, "extend") - spline.evaluate(t - d, nu - 1, "extend")) / (2 * d)
            assert slope == pytest.approx(spline.evaluate(t, nu, "extend"), rel=1e-5)


# A rational cubic's end piece continued past its knot reaches a pole of its
# quotient: its integral beyond is refused, not NaN; before the pole it is
# the continued piece's own.
def test_integral_past_a_pole_of_the_extended_end_piece_is_refused():
    f = velarix.interpolate([0, 1, 2, 3], [0, 1, 3, 6], "rational_cubic")
    assert np.isfinite(f.integrate(0, 3.5, extrapolate="extend"))
    message = ("extrapolate='extend' continues the end pieces' own closed forms, and their "
               "integral to x = 4 does not exist: the continued end piece has a pole before it; "
               "integrate within the knots or extrapolate by another mode")
    for call in (lambda: f.integrate(0, 4, extrapolate="extend"),
                 lambda: f.antiderivative()([3.1, 4.0], extrapolate="extend")):
        with pytest.raises(ValueError, match=re.escape(message)):
            call()


@pytest.mark.parametrize("call, message", [
    (lambda s: s.evaluate(0.5, 4, "hold"), "nu must be -4 to -1 (the antiderivatives), 0, 1, 2 or 3, got 4"),
    (lambda s: s.evaluate(0.5, 0, "raise"), "extrapolate must be one of 'hold', 'linear', "
     "'constant', 'nan', 'extend', 'periodic', got 'raise'"),
    (lambda s: s.evaluate_into(np.zeros(2), np.zeros(2), -5, "hold"),
     "nu must be -4 to -1 (the antiderivatives), 0, 1, 2 or 3, got -5"),
])
def test_refusals_name_the_argument(spline, call, message):
    with pytest.raises(ValueError) as info:
        call(spline)
    assert str(info.value) == message


@pytest.mark.parametrize("mode", ["linear", "constant", "nan", "hold"])
def test_interpolant_scalar_path_is_its_array_path(mode):
    f = velarix.interpolate(X, Y, extrapolate=mode)
    xs = np.concatenate([OUTSIDE, [np.nan, 0.7]])
    for nu in (0, 1, 2):
        batch = f(xs, nu=nu)
        for x, b in zip(xs, batch):
            assert np.float64(f(float(x), nu=nu)).tobytes() == np.float64(b).tobytes()
    anti = f.antiderivative()
    np.testing.assert_array_equal(anti(xs).view(np.uint64),
                                  np.array([anti(float(x)) for x in xs]).view(np.uint64))
