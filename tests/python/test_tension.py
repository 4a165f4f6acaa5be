import math

import numpy as np
import pytest
from scipy.interpolate import CubicSpline

from velarix import EndSlopes, Tension, TensionSpline


def test_defaults_repr_and_properties():
    c = Tension()
    assert repr(c) == "Tension { policy: ShapePreserving, boundary: Estimated, tol: 0.0, max_iter: 99 }"
    assert c.uniform_tension is None
    assert c.with_uniform_tension(0).uniform_tension == 0.0
    assert repr(c.with_uniform_tension(2.5)) == (
        "Tension { policy: Uniform(2.5), boundary: Estimated, tol: 0.0, max_iter: 99 }"
    )
    assert c.tolerance == 0.0 and c.max_iterations == 99
    assert c.boundary == EndSlopes.estimated()


def test_docstrings_and_signatures():
    assert Tension.__text_signature__ == "()"
    assert Tension.__doc__ == (
        "Exponential tension spline (Renka, TSPACK). Shape-preserving by default;\n"
        "`with_uniform_tension` fixes one factor on every interval instead."
    )
    for name, sig in {
        "fit": "($self, x, y)",
        "with_uniform_tension": "($self, sigma)",
        "with_boundary": "($self, boundary)",
        "with_tolerance": "($self, tolerance)",
        "with_max_iterations": "($self, max_iterations)",
    }.items():
        assert getattr(Tension, name).__text_signature__ == sig
    assert TensionSpline.__doc__ == "A fitted tension spline."
    assert TensionSpline.tensions.__doc__ == "The tension factor used on each interval."
    assert TensionSpline.iterations.__doc__ == (
        "Shape-preserving iterations performed (0 for uniform tension)."
    )


def test_comparison():
    c = Tension()
    assert c.with_uniform_tension(2.0) == c.with_uniform_tension(2.0)
    assert c.with_uniform_tension(2.0) != c
    assert c.with_uniform_tension(math.nan) != c.with_uniform_tension(math.nan)
    assert c.with_tolerance(0.0) == c
    assert c.with_max_iterations(0) != c
    with pytest.raises(TypeError):
        hash(c)


X = np.array([0.0, 1.0, 2.0, 3.0])


def test_sigma_is_checked_after_the_data():
    bad = Tension().with_uniform_tension(-1.0)
    with pytest.raises(ValueError) as info:
        bad.fit(X, X**2)
    assert str(info.value) == "shape parameter `sigma` must be >= 0, got -1"
    with pytest.raises(ValueError) as info:
        bad.fit(np.array([1.0]), np.array([2.0]))
    assert str(info.value) == "need at least 2 data points, got 1"


def test_negative_zero_tension_passes_and_nan_is_refused():
    s = Tension().with_uniform_tension(-0.0).fit(X, X**3)
    assert [math.copysign(1, t) for t in s.tensions] == [-1.0] * 3
    z = Tension().with_uniform_tension(0).fit(X, X**3)
    grid = np.linspace(0, 3, 31)
    np.testing.assert_array_equal(s.value_batch(grid), z.value_batch(grid))
    with pytest.raises(ValueError, match="^shape parameter `sigma` must be finite, got NaN$"):
        Tension().with_uniform_tension(math.nan).fit(X, X**3)


@pytest.mark.parametrize("seed", range(6))
def test_zero_tension_is_the_clamped_cubic_spline(seed):
    rng = np.random.default_rng(seed)
    n = 3 + 9 * seed
    x = np.cumsum(rng.uniform(0.1, 1.0, n))
    y = rng.normal(size=n)
    left, right = rng.normal(size=2)
    s = Tension().with_uniform_tension(0).with_boundary(EndSlopes.clamped(left, right)).fit(x, y)
    assert s.iterations == 0 and s.tensions == [0.0] * (n - 1)
    ref = CubicSpline(x, y, bc_type=((1, left), (1, right)))
    grid = np.linspace(x[0], x[-1], 701)
    scale = 1 + np.abs(y).max() + abs(left) + abs(right)
    for family, order in [("value_batch", 0), ("first_derivative_batch", 1), ("second_derivative_batch", 2)]:
        got = np.asarray(getattr(s, family)(grid))
        np.testing.assert_allclose(got, ref(grid, order), rtol=1e-12, atol=1e-12 * scale * 10**order)


def test_large_uniform_tension_approaches_linear_interpolation():
    rng = np.random.default_rng(5)
    x = np.cumsum(rng.uniform(0.5, 1.0, 12))
    y = rng.normal(size=12)
    s = Tension().with_uniform_tension(5000).fit(x, y)
    grid = np.linspace(x[0], x[-1], 999)
    np.testing.assert_allclose(s.value_batch(grid), np.interp(grid, x, y), atol=2e-3 * np.ptp(y))


def is_monotone(values, sign):
    steps = np.diff(values) * sign
    return (steps >= -1e-12 * (1 + np.abs(values).max())).all()


@pytest.mark.parametrize("n", [7, 20, 64])
def test_default_policy_keeps_monotone_data_monotone(n):
    x = np.linspace(0, 1, n) ** 1.3
    y = np.tanh(12 * (x - 0.5)) + np.floor(4 * x)
    s = Tension().fit(x, y)
    assert all(0 <= t <= 85 for t in s.tensions)
    d = np.asarray(s.first_derivative_batch(x))
    for i in range(n - 1):
        secant = (y[i + 1] - y[i]) / (x[i + 1] - x[i])
        # Where both knot slopes agree with the secant's sign, the selection
        # asked for a monotone piece.
        if d[i] * secant >= 0 and d[i + 1] * secant >= 0 and secant != 0:
            grid = np.linspace(x[i], x[i + 1], 200)
            assert is_monotone(np.asarray(s.value_batch(grid)), np.sign(secant)), i


@pytest.mark.parametrize("f", [np.exp, lambda t: 1 / (t + 0.05), lambda t: t**4])
def test_default_policy_keeps_convex_data_convex(f):
    x = np.array([0.0, 0.1, 0.15, 0.5, 0.55, 0.9, 1.0, 1.6, 2.0])
    s = Tension().fit(x, f(x))
    grid = np.linspace(0, 2, 5001)
    d2 = np.asarray(s.second_derivative_batch(grid))
    assert (d2 >= -1e-9 * np.abs(d2).max()).all()
    for k in range(1, len(x) - 1):
        a, b = s.second_derivative(np.nextafter(x[k], -np.inf)), s.second_derivative(x[k])
        assert abs(a - b) <= 1e-8 * max(1.0, abs(a))


def test_parabola_needs_no_tension():
    x = np.array([0.0, 0.5, 1.5, 2.0, 3.5])
    s = Tension().fit(x, x**2)
    assert s.tensions == [0.0] * 4
    assert s.iterations == 1


def test_flat_interval_gets_full_tension():
    x = np.arange(5.0)
    s = Tension().fit(x, np.array([0.0, 1.0, 1.0, 2.0, 3.0]))
    assert s.tensions[1] == 85.0


def test_estimated_end_slope_is_not_limited():
    x = np.arange(5.0)
    s = Tension().fit(x, np.array([0, 0.1, 0.2, 3, 3.1]))
    assert s.first_derivative(4.0) == pytest.approx(-1.25, rel=1e-14)


def test_no_passes_and_two_points():
    x = np.array([0.0, 0.4, 1.0, 2.5])
    y = np.array([0.0, 1.0, 1.1, 5.0])
    s = Tension().with_max_iterations(0).fit(x, y)
    assert s.iterations == 0 and s.tensions == [0.0] * 3
    two = Tension().fit(np.array([1.0, 2.0]), np.array([3.0, 5.0]))
    assert two.iterations == 1 and two.tensions == [0.0]
    assert two(1.5) == pytest.approx(4.0) and two.second_derivative(1.5) == pytest.approx(0, abs=1e-12)
    assert repr(two) == "TensionSpline { domain: 1.0..=2.0, intervals: 1, iterations: 1 }"
    assert len(s.tensions) == 3 and s.domain == (0.0, 2.5)


def test_with_policy_names_the_selecting_policies():
    assert Tension().with_policy("strict") == Tension().with_strict_shape()
    assert Tension().with_strict_shape().with_policy("published") == Tension()
    with pytest.raises(ValueError, match="^policy must be \"strict\" or \"published\", got 'uniform'$"):
        Tension().with_policy("uniform")
