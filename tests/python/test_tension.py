import math

import mpmath as mp
import numpy as np
import pytest
from scipy.interpolate import CubicSpline

import velarix
from velarix import EndSlopes, Tension, TensionSpline, cli, datasets
from velarix._registry import RECORDS as REGISTRY

import conftest
from integrals import SECANT, ULPS, pieces, two_point, worst_error, worst_third_error

# The shared suites fit these too: one tension on every interval, and a small
# one, which gives the hyperbolic form of the piece (selected tensions give
# the cubic and exponential forms).
VARIANTS = {
    "uniform": Tension().with_uniform_tension(2.0),
    "small": Tension().with_uniform_tension(0.3),
}


def high_precision_piece(x0, h, y0, yp0, secant, d1, d2, sigma, x1):
    """The piece of these fields and its right knot x1 at high precision:
    (x0, h, S of t = (x - x0) / h)."""
    if sigma < 1e-9:
        cubic = lambda t: y0 + h * t * (yp0 + t * (d1 + (1 - t) * (d1 - d2)))
        cubic.third = lambda t, x: 6 * (d2 - d1) / h**2
        return x0, h, cubic
    ems = mp.exp(-sigma)
    tm = 1 - ems
    e = tm * (sigma * (ems + 1) - 2 * tm)

    def third(t, x):  # from S'''' = (sigma / h)^2 S''; a Steep piece measures b1 from x1
        e1 = mp.exp(-sigma * (1 - t if sigma <= 85 else mp.mpf((float(x1) - x) / float(h))))
        e2 = mp.exp(-sigma * t)
        return (sigma / h) ** 2 / 2 * ((d1 + d2) * (e1 - e2) / tm + (d2 - d1) * sigma * (e1 + e2) * tm / e)

    def value(t):
        e1, e2 = mp.exp(-sigma * (1 - t)), mp.exp(-sigma * t)
        bend = (d1 + d2) * tm * (ems + 1 - e1 - e2) + sigma * (
            d1 * (e2 + (e1 - 2) * ems - (1 - t) * tm**2) + d2 * (e1 + (e2 - 2) * ems - t * tm**2))
        return y0 + secant * h * t + h * bend / (sigma * e)

    value.third = third
    return x0, h, value


# The shared calculus tests check every fit's integrals against it.
REFERENCE = high_precision_piece


# The forms' switch points, and the third derivative's at 1. The last slopes
# (d1 near d2, data near a quadratic) make S''' far smaller than its parts.
@pytest.mark.parametrize("sigma", [0.0, math.nextafter(1e-9, 0), 1e-9, 0.3, 0.5,
                                   math.nextafter(0.5, 1), 1.0, math.nextafter(1.0, 2), 3.0, 8.0,
                                   math.nextafter(8.0, 9), 85.0, math.nextafter(85.0, 86), 1e3, 1e6, 1e8])
@pytest.mark.parametrize("slopes", [(-3.0, 7.0), (SECANT, SECANT + 1e-3), (SECANT - 1, SECANT + 1 + 1e-6)])
def test_tension_piece(sigma, slopes):
    mp.mp.dps = 80 if sigma < 0.01 else 30  # the reference cancels to sigma^4 / 12
    spline = two_point(Tension().with_uniform_tension(sigma), slopes)
    x0, h, value = piece = pieces(spline, REFERENCE)[0]
    assert worst_error(spline, piece) <= ULPS
    assert worst_third_error(spline, piece) <= ULPS
    if 1e-9 <= sigma <= 85:  # the reference's closed form is the value's third derivative
        assert mp.almosteq(value.third(mp.mpf(0.3), None), mp.diff(value, 0.3, 3) / h**3, 1e-20)


# The strict policy on steps, flats and a noisy rise: its largest tensions.
@pytest.mark.parametrize("n", [12, 200])
def test_strict_tensions(n):
    mp.mp.dps = 40
    rng = np.random.default_rng(n)
    x = np.cumsum(rng.uniform(0.01, 1.0, n))
    y = np.round(np.cumsum(rng.exponential(1.0, n)) * (rng.uniform(size=n) < 0.5), 1)
    spline = Tension().with_strict_shape().fit(x, np.maximum.accumulate(y))
    every, tensions = pieces(spline, REFERENCE), np.array(spline.tensions)
    for i in sorted({*np.argsort(tensions)[-4:], 0}):
        assert worst_error(spline, every[i]) <= ULPS
        assert worst_third_error(spline, every[i]) <= ULPS


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


def test_the_strict_policy_with_limited_end_slopes_is_what_tension_means():
    config = Tension().with_strict_shape().with_boundary(EndSlopes.limited())
    assert REGISTRY["tension"].interpolation_configuration == config
    x, y = conftest.X, conftest.Y
    assert velarix.interpolate(x, y, "tension").configuration == config
    xs = x[1:-1] + 0.1
    assert velarix.interpolate(x, y, "tension")(xs).tobytes() == np.asarray(config.fit(x, y).value_batch(xs)).tobytes()
    assert velarix.interpolate(x, y, Tension(), extrapolate="raise")(x[-1]) == y[-1]


def test_the_command_fits_the_strict_policy_unless_told_otherwise(tmp_path, capsys):
    # The Fritsch–Carlson data: the strict fit stays within [0, 1], the
    # published policy dips below 0 at the left end.
    x, y = datasets.fritsch_carlson()
    data = tmp_path / "rpn.txt"
    data.write_text("".join(f"{a!r} {b!r}\n" for a, b in zip(x, y)))
    lowest = {}
    for policy in ("strict", "published"):
        args = ["-m", "tension"] + ([] if policy == "strict" else ["--policy", policy])
        assert cli.main([str(data), "-n", "2001", *args]) == 0
        lowest[policy] = min(float(row.split(",")[1]) for row in capsys.readouterr().out.split()[1:])
    assert lowest["strict"] >= 0 > lowest["published"]
    assert cli.main([str(data), "--policy", "loose"]) == 2
    assert "invalid choice: 'loose'" in capsys.readouterr().err


def test_a_form_tag_out_of_range_is_refused():
    state = Tension().fit(*datasets.akima()).__reduce__()[1][1][:-4]
    # After the version, the kind, the count, the 11 knots and the first
    # interval's tension: its form tag.
    offset = 2 + 8 + 11 * 8 + 8
    with pytest.raises(ValueError, match=f"^invalid saved state: tag out of range at byte {offset}$"):
        TensionSpline._from_state(conftest.seal(state[:offset] + bytes([4]) + state[offset + 1:]))


# Each of these gave a spline that is NaN everywhere or reached a zero pivot;
# now the data or the parameter at fault is named before any solve.
@pytest.mark.parametrize("config, x, message", [
    (Tension(), np.array([3e-308, 1.7976931348623157e308, math.inf]),
     "x must be finite; x[2] = inf is not"),
    # Widths whose ratio no scaling brings within the methods' range.
    (Tension(), np.array([0, 1, 2e307, 2.5e307]), "x[0] = 0 and x[1] = 1 are too close "
     "together beside the widest interval: the widths differ by more than 2^500"),
    (Tension().with_uniform_tension(1e160), np.array([0, 1e-5, 1, 2]),
     conftest.scale("sigma", 1e160, 0, 1e-5, "the solve would overflow")),
])
def test_degenerate_inputs_are_refused_before_the_numerics(config, x, message):
    with pytest.raises(ValueError) as info:
        config.fit(x, np.arange(x.size) ** 2.0)
    assert str(info.value) == message


# Known fault of the tension selection, left for its owner: on both sets the
# curve dips (by about 1e-5) in intervals whose end slopes the C² solve makes
# incompatible with monotonicity (slope -0.001 at the flat knot x = 6 of the
# Akima data; tension 0 kept on the first Fritsch-Carlson interval, where the
# right slope is 800 times the secant). Strict, so a fix is noticed.
@pytest.mark.xfail(strict=True, reason="tension selection leaves small monotonicity dips")
@pytest.mark.parametrize("load", [datasets.akima, datasets.fritsch_carlson])
def test_monotone_data_give_monotone_tension_splines(load):
    # Clamped flat ends: the estimated end slopes are not limited, and on the
    # Fritsch-Carlson data the left one comes out negative.
    config = Tension().with_boundary(EndSlopes.clamped(0.0, 0.0))
    x, y = load()
    spline = config.fit(x, y)
    values = np.asarray(spline.value_batch(np.linspace(x[0], x[-1], 5001)))
    # Rounding only: the flat stretch of the Akima data wobbles in the last bit.
    assert np.diff(values).min() >= -1e-13 * max(y)
