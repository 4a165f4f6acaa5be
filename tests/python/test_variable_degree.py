import math

import mpmath as mp
import numpy as np
import pytest
from scipy.interpolate import CubicSpline

import velarix
from velarix import EndSlopes, VariableDegree, VariableDegreeSpline, cli

import conftest
from integrals import ULPS, pieces, rewritten, two_point, worst_error, worst_third_error


def high_precision_piece(x0, h, y0, m0, m1, degree, linear, scale):
    """The piece of these fields at high precision: (x0, h, S of t = (x - x0) / h)."""
    k = degree
    value = lambda t: y0 + t * linear + scale * (((1 - t) ** k - 1) * m0 + t**k * m1)
    # S''' with the piece's own rounding of 1 - t.
    value.third = lambda t, x: (k - 2) * (m1 * t ** (k - 3) - m0 * mp.mpf(1 - float(t)) ** (k - 3)) / h
    return x0, h, value


# The shared calculus tests check every fit's integrals against it.
REFERENCE = high_precision_piece


@pytest.mark.parametrize("k", [3.0, 3.7, 8.5, 20.0, 50.0])
def test_variable_degree_piece(k):
    mp.mp.dps = 30
    spline = two_point(VariableDegree(), (-3.0, 7.0))
    h, y0 = spline.pieces[0]["h"], spline.pieces[0]["y0"]
    m0, m1, scale = 30.0, -12.0, (h * h) / (k * (k - 1))
    spline = rewritten(spline, m0=m0, m1=m1, degree=k, linear=(2.5 - y0) - (m1 - m0) * scale,
                       scale=scale)
    x0, h, value = piece = pieces(spline, REFERENCE)[0]
    assert worst_error(spline, piece) <= ULPS
    assert worst_third_error(spline, piece) <= ULPS
    assert mp.almosteq(value.third(mp.mpf(0.75), None), mp.diff(value, 0.75, 3) / h**3, 1e-14)


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


# Slopes that would make the moments non-finite are refused before the fit.
def test_non_finite_moments_are_refused_before_the_fit():
    x = np.array([0.0, 1.0, 2.0, 3.0])
    with pytest.raises(ValueError, match="^shape parameter `left` = .* is out of scale with interval 0"):
        VariableDegree().with_boundary(EndSlopes.clamped(1e308, -1e308)).fit(x, x**2)


def test_finite_convex_fit_is_shape_preserving():
    x = np.array([0.0, 1.0, 2.0, 3.0])
    s = VariableDegree().fit(x, x**2)
    assert s.is_shape_preserving is True
    assert s.degrees == [3.0, 3.0, 3.0]


@pytest.mark.parametrize("y, verdict", [
    # Co-convex, so shape-preserving by its own promise, though not co-monotone:
    # it dips to 0.9175 and rises to 1.0825 between the flat knots.
    ([0.0, 1.0, 1.0, 1.0, 2.0], True),
    ([0.0, 0.0, 0.0, 1.0, 1.0], False),  # flats keep a curvature
])
def test_is_shape_preserving_reports_each_fits_verdict(y, verdict):
    x = np.arange(5.0)
    f = velarix.interpolate(x, y, "variable_degree")
    assert f.is_shape_preserving is verdict
    both = velarix.interpolate(x, np.stack([y, y[::-1]], axis=1), "variable_degree")
    assert both.is_shape_preserving.dtype == bool
    assert both.is_shape_preserving.tolist() == [verdict, verdict]
    if verdict:
        values = f(np.linspace(1.0, 3.0, 20001))
        assert values.min() == pytest.approx(0.9175, abs=1e-4)
        assert values.max() == pytest.approx(1.0825, abs=1e-4)


def test_interpolate_fits_with_limited_end_slopes():
    config = VariableDegree().with_boundary(EndSlopes.limited())
    assert velarix.interpolate(conftest.X, conftest.Y, "variable_degree").configuration == config


def test_the_command_names_a_degree_cap_below_three(tmp_path, capsys):
    (tmp_path / "data.txt").write_text("0 0\n1 1\n2 3\n")
    assert cli.main([str(tmp_path / "data.txt"), "--max-degree", "2", "-m", "variable-degree"]) == 2
    assert capsys.readouterr().err == (
        "velarix: error: variable-degree: shape parameter `max_degree` must be >= 3, got 2\n")


def test_the_commands_infinite_degree_cap_is_no_cap(tmp_path, capsys):
    x, y = np.arange(5.0), np.array([1.0, 0.5, 0.4, 0.6, 1.5])
    (tmp_path / "data.txt").write_text("".join(f"{a} {b}\n" for a, b in zip(x, y)))
    assert cli.main([str(tmp_path / "data.txt"), "-m", "variable-degree", "--max-degree", "inf"]) == 0
    got = np.array([row.split(",") for row in capsys.readouterr().out.split()[1:]], float).T
    config = VariableDegree().with_boundary(EndSlopes.limited()).with_max_degree(math.inf)
    assert got[1].tobytes() == velarix.interpolate(x, y, config)(got[0]).tobytes()


KNOTS = np.arange(5.0)


# Each of these reached a zero pivot of a tridiagonal solve; now the
# parameter at fault is named before any solve.
@pytest.mark.parametrize("config, x, message", [
    (VariableDegree().with_max_degree(1e300).with_max_iterations(2000),
     np.array([0, 1e-10, 1, 2]), conftest.scale("max_degree", 1e300, 0, 1e-10)),
    (VariableDegree().with_max_degree(math.inf).with_max_iterations(2000), KNOTS,
     "shape parameter `max_degree` = inf is out of scale with interval 0 of width 1: the solve "
     "would have no usable pivot"),
])
def test_degenerate_degree_caps_are_refused_before_the_numerics(config, x, message):
    with pytest.raises(ValueError) as info:
        config.fit(x, np.arange(x.size) ** 2.0)
    assert str(info.value) == message


def test_an_infinite_degree_cap_with_a_short_budget_still_fits():
    spline = VariableDegree().with_max_degree(math.inf).with_max_iterations(5).fit(KNOTS, KNOTS**3)
    assert spline(2.0) == 8.0
