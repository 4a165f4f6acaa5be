"""The antiderivatives beyond the first: each piece's repeated integral against
mpmath, each order the derivative of the next in every extrapolation mode,
integrate on the antiderivative objects, the scales and the refusals."""

import math
import pickle

import mpmath as mp
import numpy as np
import pytest

import velarix
from conftest import CONFIGURATIONS, FITTERS, REGISTRY, accepts, method_of, reference
from integrals import pieces

KNOTS = np.cumsum(np.random.default_rng(7).uniform(0.2, 1.0, 9))
MODES = ["linear", "constant", "hold", "extend", "periodic"]
DEEPEST = velarix._velarix.highest_antiderivative


def curve(method):
    """An interpolant of wavy data, or of convex data for a method that needs them."""
    wave = np.sin(2 * KNOTS) + 0.2 * KNOTS
    config = REGISTRY[method].interpolation_configuration
    return velarix.interpolate(KNOTS, wave if accepts(config, KNOTS, wave) else np.exp(KNOTS / 3), method)


def assert_repeated_integrals(spline):
    """F_n(x) = int_x0^x (x - t)^(n-1) / (n-1)! S(t) dt over the pieces' own high-precision
    forms, in eps times that of |S| over the whole pieces up to x's (as the first
    antiderivative's errors are counted: near a knot F_n is far below its piece's size)."""
    mp.mp.dps = 30
    every = pieces(spline, reference(method_of(spline)))
    for x in (KNOTS[0] + 0.013, KNOTS[3], KNOTS[4] + 0.4, KNOTS[-1]):
        for n in range(2, DEEPEST + 1):
            kernel = lambda x0, h, s, at: lambda t: (at - x0 - h * t) ** (n - 1) * s(t)
            exact = size = 0
            for x0, h, s in (p for p in every if p[0] < x):
                end, at = min(1, (mp.mpf(x) - x0) / h), max(mp.mpf(x), x0 + h)
                layers = [0, *(t for t in (1e-3, 0.02, 0.98, 1 - 1e-3) if t < end), end]
                exact += h * mp.quad(kernel(x0, h, s, mp.mpf(x)), layers) / math.factorial(n - 1)
                size += h * mp.quad(lambda t: abs(kernel(x0, h, s, at)(t)), [0, 0.02, 0.98, 1]) / math.factorial(n - 1)
            assert abs(spline.evaluate(float(x), -n, "hold") - exact) <= 16 * 2.0**-53 * size


@pytest.mark.parametrize("name", sorted(FITTERS))
def test_repeated_integrals_against_mpmath(name):
    wave = np.sin(2 * KNOTS) + 0.2 * KNOTS
    assert_repeated_integrals(FITTERS[name](KNOTS, wave if accepts(CONFIGURATIONS[name], KNOTS, wave)
                                            else np.exp(KNOTS / 3)))


# The tension piece's exponential form, integrated in its own terms above 8, and its
# steep form above 85, whose boundary layers the mpmath quadrature resolves.
@pytest.mark.parametrize("sigma", [20.0, 200.0])
def test_repeated_integrals_of_the_exponential_tension_forms(sigma):
    assert_repeated_integrals(velarix.Tension().with_uniform_tension(sigma).fit(KNOTS, np.sin(2 * KNOTS)))


def at(F, xs, mode):
    """F at xs, NaN where the integral of a continued quotient would cross its pole
    (which the library refuses, naming the bound)."""
    try:
        return F(xs, extrapolate=mode)
    except ValueError as refusal:
        if "has a pole before it" not in str(refusal):
            raise
    values = []
    for x in np.ravel(xs):
        try:
            values.append(F(float(x), extrapolate=mode))
        except ValueError:
            values.append(np.nan)
    return np.reshape(values, np.shape(xs))


@pytest.mark.parametrize("mode", MODES)
def test_each_antiderivative_is_the_derivative_of_the_next(method, mode):
    """Inside and outside the knots, across periods: F_n' = F_(n-1) by central differences
    of an order above (exact to rounding for these polynomial-like continuations), the
    derivative object gives F_(n-1)'s own bits, and the scalar path the batch's. Where the
    integral of a continued quotient crosses its pole both orders are NaN."""
    f = curve(method)
    xs = np.linspace(KNOTS[0] - 9, KNOTS[-1] + 9, 1201)
    d = 1e-5
    for n in range(2, DEEPEST + 1):
        F = f.antiderivative(n)
        below = f.antiderivative(n - 1)
        lower = at(below, xs, mode)
        assert at(F.derivative(), xs, mode).tobytes() == lower.tobytes()
        scalars = np.array([at(F, float(x), mode) for x in xs[::50]], dtype=float)
        assert scalars.tobytes() == at(F, xs[::50], mode).tobytes()
        slope = (at(F, xs + d, mode) - at(F, xs - d, mode)) / (2 * d)
        finite = np.isfinite(lower)
        assert np.isnan(at(F, xs, mode)[~finite]).all() and finite[::4].any()
        assert np.abs(slope - lower)[finite].max() <= 1e-7 * np.abs(lower[finite]).max()
        assert F(KNOTS[0]) == 0 and all(F(KNOTS[0], k) == 0 for k in range(1, n))
        if mode in ("linear", "constant", "hold"):  # the limits, signed as far out
            far = np.array([-1e150, 1e150])
            assert (F(np.array([-np.inf, np.inf]), extrapolate=mode) == np.sign(F(far, extrapolate=mode)) * np.inf).all()


@pytest.mark.parametrize("mode", MODES)
def test_integrate_on_an_antiderivative_is_the_next_ones_difference(method, mode):
    f = curve(method)
    a, b = np.array([KNOTS[0] - 3, 0.7, 2.0]), np.array([KNOTS[-1] + 4, 5.5, 2.0])
    nodes, weights = np.polynomial.legendre.leggauss(12)
    for n in range(1, DEEPEST):
        F, above = f.antiderivative(n), f.antiderivative(n + 1)
        if np.isnan(at(above, a, mode)).any() or np.isnan(at(above, b, mode)).any():
            # The integral of a continued quotient across its pole: refused.
            with pytest.raises(ValueError, match="has a pole before it"):
                F.integrate(a, b, extrapolate=mode)
            continue
        got = F.integrate(a, b, extrapolate=mode)
        assert got.tobytes() == np.where(a == b, 0.0, above(b, extrapolate=mode) - above(a, extrapolate=mode)).tobytes()
        # Gauss-Legendre on slices finer than the pieces, exact for their polynomial parts.
        cuts = np.linspace(a[0], b[0], 4001)
        mid, half = (cuts[1:] + cuts[:-1]) / 2, (cuts[1] - cuts[0]) / 2
        quadrature = (F((mid[:, None] + half * nodes).ravel(), extrapolate=mode).reshape(-1, 12) @ weights).sum() * half
        assert got[0] == pytest.approx(quadrature, rel=1e-9, abs=1e-9)


def test_the_orders_compose_and_pickle(method):
    f = curve(method)
    xs = np.linspace(-2.0, 10.0, 61)
    F2 = f.antiderivative(2)
    assert f.antiderivative().antiderivative()(xs).tobytes() == F2(xs).tobytes()
    assert F2.antiderivative(2)(xs).tobytes() == f.antiderivative(4)(xs).tobytes()
    assert F2.derivative(2) is f and F2(xs, 3).tobytes() == f(xs, 1).tobytes()
    again = pickle.loads(pickle.dumps(F2))
    assert again(xs).tobytes() == F2(xs).tobytes() and repr(again) == repr(F2) == f"Antiderivative({f!r}, nu=2)"
    # An antiderivative of a derivative is 0 at the first knot with its derivatives below nu.
    back = f.derivative(2).antiderivative(4)
    taylor = f(KNOTS[0]) * (xs - KNOTS[0]) ** 2 / 2 + f(KNOTS[0], 1) * (xs - KNOTS[0]) ** 3 / 6
    assert np.allclose(back(xs), F2(xs) - taylor, rtol=1e-13, atol=1e-11)
    shift = lambda u: f(KNOTS[0]) * u**3 / 6 + f(KNOTS[0], 1) * u**4 / 24  # the Taylor terms' integral
    F3, u = f.antiderivative(3), np.array([1.0, 6.0]) - KNOTS[0]
    assert back.integrate(1.0, 6.0) == pytest.approx(F3(6.0) - F3(1.0) - (shift(u[1]) - shift(u[0])), rel=1e-13)


# The second antiderivative, and one of a derivative (less the Taylor terms of the
# fit at the first knot, a polynomial the solve subtracts at every order).
@pytest.mark.parametrize("make", [lambda f: f.antiderivative(2), lambda f: f.derivative().antiderivative(3)])
def test_solve_finds_every_crossing_of_the_second_antiderivative(method, make):
    F = make(curve(method))
    level = float(F(KNOTS[5]))
    for mode in ("linear", "constant", "nan"):
        found = F.solve(level, extrapolate=mode)
        grid = np.linspace(KNOTS[0] - 6, KNOTS[-1] + 6, 200001)
        side = np.sign(F(grid, extrapolate=mode) - level)
        crossings = grid[:-1][side[:-1] * side[1:] < 0]
        near = found[(found > grid[0]) & (found < grid[-1])]
        assert len(near) == len(crossings) and np.allclose(near, crossings, atol=1e-4)
        assert np.allclose(F(found, extrapolate=mode), level, rtol=1e-12, atol=1e-12)


def test_the_periodic_mode_sums_whole_periods_in_closed_form(method):
    """With P = F_1(xn) and p = xn - x0, F_2(x + k p) = F_2(x) + k (F_2(xn) + P (x - x0))
    + P p k (k - 1) / 2 for x in the period, k far from 0 too."""
    f = curve(method)
    F1, F2 = f.antiderivative(), f.antiderivative(2)
    x0, xn = KNOTS[0], KNOTS[-1]
    p, P, inside = xn - x0, F1(xn), np.linspace(x0, xn, 23)
    for k in (-1000, -3, 1, 2, 1000):
        expected = F2(inside) + k * (F2(xn) + P * (inside - x0)) + P * p * k * (k - 1) / 2
        assert np.allclose(F2(inside + k * p, extrapolate="periodic"), expected, rtol=1e-10, atol=0)


def test_scaled_data_give_scaled_antiderivatives(method):
    """A fit in scaled coordinates gives F_n in the caller's units: x 2^40 and y 2^-30
    multiply F_n by 2^(40 n - 30), exactly, wherever they fit the same curve."""
    f, config = curve(method), REGISTRY[method].interpolation_configuration
    big = velarix.interpolate(KNOTS * 2.0**40, f.splines[0].value_batch(KNOTS) * np.array(2.0**-30), config)
    xs = np.linspace(-3.0, 12.0, 31)
    if not (big(xs * 2.0**40) == f(xs) * 2.0**-30).all():
        pytest.skip("an iterated fit that ends at other bits at other scales")
    for n in range(2, DEEPEST + 1):
        assert (big.antiderivative(n)(xs * 2.0**40) == f.antiderivative(n)(xs) * 2.0 ** (40 * n - 30)).all()


@pytest.mark.parametrize("call, message", [
    (lambda f: f.antiderivative(DEEPEST + 1), f"nu={DEEPEST + 1} asks for antiderivative {DEEPEST + 1} "
     "of the fitted curve; velarix has closed forms down to the fourth antiderivative"),
    (lambda f: f.antiderivative(2).antiderivative(DEEPEST - 1), f"nu={DEEPEST - 1} asks for antiderivative "
     f"{DEEPEST + 1} of the fitted curve; velarix has closed forms down to the fourth antiderivative"),
    (lambda f: f.antiderivative(DEEPEST).integrate(0.0, 1.0), "integrate needs the curve's fifth "
     "antiderivative; velarix has closed forms down to the fourth antiderivative"),
])
def test_refusals_beyond_the_served_orders(method, call, message):
    with pytest.raises(ValueError) as info:
        call(curve(method))
    assert str(info.value) == message
