import math

import numpy as np
import pytest
from scipy.interpolate import CubicSpline

from velarix import EndSlopes, VariableDegree, VariableDegreeSpline


def test_defaults_repr_and_properties():
    c = VariableDegree()
    assert repr(c) == "VariableDegree { boundary: Estimated, max_degree: 50.0, max_iter: 60 }"
    assert c.max_degree == 50.0 and type(c.max_degree) is float
    assert c.with_max_degree(7).max_degree == 7.0 and type(c.with_max_degree(7).max_degree) is float
    assert c.max_iterations == 60
    assert c.boundary == EndSlopes.estimated()


def test_docstrings_and_signatures():
    assert VariableDegree.__text_signature__ == "()"
    assert VariableDegree.__doc__ == (
        "Co-convex C² variable-degree polynomial spline (Kaklis–Pandelis /\n"
        "Costantini). Accepts data with inflections."
    )
    for name, sig in {
        "fit": "($self, x, y)",
        "with_boundary": "($self, boundary)",
        "with_max_degree": "($self, max_degree)",
        "with_max_iterations": "($self, max_iterations)",
    }.items():
        assert getattr(VariableDegree, name).__text_signature__ == sig
    assert VariableDegreeSpline.__doc__ == "A fitted variable-degree polynomial spline."
    assert VariableDegreeSpline.degrees.__doc__ == "The polynomial degree used on each interval."
    assert VariableDegreeSpline.is_shape_preserving.__doc__ == (
        "False if the degree cap was reached before every curvature sign matched."
    )


def test_comparison():
    c = VariableDegree()
    assert c.with_max_degree(50) == c
    assert c.with_max_iterations(61) != c
    assert c.with_max_degree(math.nan) != c.with_max_degree(math.nan)
    assert c.with_boundary(EndSlopes.clamped(0, 0)) != c
    with pytest.raises(TypeError):
        hash(c)


@pytest.mark.parametrize("cap, text", [(2.5, "2.5"), (2, "2"), (-math.inf, "-inf")])
def test_degree_cap_is_checked_before_the_data(cap, text):
    config = VariableDegree().with_max_degree(cap)
    for x, y in [([0.0, 1.0, 2.0], [0.0, 1.0, 0.0]), ([1.0], [2.0]), ([0.0, 0.0], [1.0, 2.0])]:
        with pytest.raises(ValueError) as info:
            config.fit(np.array(x), np.array(y))
        assert str(info.value) == f"shape parameter `max_degree` must be >= 3, got {text}"


def test_cap_of_three_is_accepted():
    x = np.arange(6.0)
    s = VariableDegree().with_max_degree(3).fit(x, np.array([0, 0, 0, 1, 1, 1.0]))
    assert s.degrees == [3.0] * 5


def degree_sequence():
    d = [3.0]
    while d[-1] < 50:
        d.append(min(1.7 * d[-1], 50.0))
    return d


def test_two_clamped_points_raise_to_the_cap():
    s = VariableDegree().with_boundary(EndSlopes.clamped(0, 0)).fit(
        np.array([0.0, 1.0]), np.array([0.0, 1.0])
    )
    assert s.degrees == [50.0]
    assert s.is_shape_preserving is False
    assert degree_sequence()[:4] == pytest.approx([3, 5.1, 8.67, 14.739], rel=1e-15)


def test_step_data():
    s = VariableDegree().fit(np.arange(6.0), np.array([0, 0, 0, 1, 1, 1.0]))
    assert s.degrees == pytest.approx([14.739, 50, 3, 50, 14.739], rel=1e-14)
    assert s.is_shape_preserving is False
    assert repr(s) == "VariableDegreeSpline { domain: 0.0..=5.0, intervals: 5, shape_preserved: false }"


@pytest.mark.parametrize("seed", range(5))
def test_unraised_fit_is_the_clamped_cubic_spline(seed):
    rng = np.random.default_rng(seed)
    n = 4 + 10 * seed
    x = np.cumsum(rng.uniform(0.1, 1.0, n))
    y = rng.normal(size=n)
    left, right = rng.normal(size=2)
    s = VariableDegree().with_max_iterations(0).with_boundary(EndSlopes.clamped(left, right)).fit(x, y)
    assert s.degrees == [3.0] * (n - 1)
    ref = CubicSpline(x, y, bc_type=((1, left), (1, right)))
    grid = np.linspace(x[0], x[-1], 501)
    scale = np.abs(y).max() + abs(left) + abs(right)
    for family, order in [("value_batch", 0), ("first_derivative_batch", 1), ("second_derivative_batch", 2)]:
        got = np.asarray(getattr(s, family)(grid))
        np.testing.assert_allclose(got, ref(grid, order), rtol=1e-12, atol=1e-11 * scale * 10**order)


@pytest.mark.parametrize("name", ["tanh", "sin", "bumps"])
def test_co_convexity_when_reported(name):
    x = np.linspace(0, 6, 40) + np.linspace(0, 0.05, 40) ** 2
    y = {"tanh": np.tanh(3 * (x - 3)), "sin": np.sin(2 * x), "bumps": np.exp(-((x - 2) ** 2)) - np.exp(-((x - 4) ** 2))}[name]
    s = VariableDegree().fit(x, y)
    np.testing.assert_array_equal(s.value_batch(x[:-1]), y[:-1])
    assert s(x[-1]) == pytest.approx(y[-1], abs=1e-12)
    secants = np.diff(y) / np.diff(x)
    change = np.diff(secants)
    moments = np.asarray(s.second_derivative_batch(x[1:-1]))
    tol = 1e-6 * max(1.0, np.abs(moments).max())
    if s.is_shape_preserving:
        strong = np.abs(change) > 1e-12 * np.abs(change).max()
        assert (np.sign(moments[strong]) * np.sign(change[strong]) >= 0).all() or (
            np.abs(moments[strong][np.sign(moments[strong]) != np.sign(change[strong])]) <= tol
        ).all()
    for k in range(1, len(x) - 1):
        a = s.second_derivative(np.nextafter(x[k], -np.inf))
        b = s.second_derivative(x[k])
        assert abs(a - b) <= 1e-9 * max(1.0, abs(a))


def test_properties_and_repr_agree():
    x = np.array([0.0, 1.0, 3.0])
    s = VariableDegree().fit(x, np.array([0.0, 1.0, 0.5]))
    assert s.domain == (0.0, 3.0)
    assert all(type(d) is float and d >= 3.0 for d in s.degrees)
    assert f"intervals: {len(s.degrees)}" in repr(s)
    assert ("shape_preserved: true" in repr(s)) is s.is_shape_preserving


def test_non_finite_moments_are_never_shape_preserving():
    x = np.array([0.0, 1.0, 2.0, 3.0])
    s = VariableDegree().with_boundary(EndSlopes.clamped(1e308, -1e308)).fit(x, x**2)
    assert s.is_shape_preserving is False


def test_finite_convex_fit_is_shape_preserving():
    x = np.array([0.0, 1.0, 2.0, 3.0])
    s = VariableDegree().fit(x, x**2)
    assert s.is_shape_preserving is True
    assert s.degrees == [3.0, 3.0, 3.0]
