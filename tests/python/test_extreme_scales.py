"""Extreme but valid data fit as the same data at unit scale, scaled back.

Knots spaced 1e-300 to 1e300 apart and values up to ±1e308 are fitted in
coordinates scaled by powers of two, so every evaluation (the value, both
derivatives, the antiderivative) equals the unit-scale fit times the matching
power of two to a few ulps wherever that product is a double. Data no
scaling can serve are refused naming the interval and the reason."""

import math
import pickle
import struct
import zlib
from decimal import Decimal

import numpy as np
import pytest

import velarix
from velarix import EndSlopes, RationalCubic, Tension, VariableDegree

from conftest import METHODS

# Convex data on uneven knots (every method accepts them), values in [-1.1, 1.1].
X = np.array([0.0, 0.45, 1.1, 1.7, 2.0, 2.8, 3.3, 4.0])
Y = 1.1 * (((X - 2) / 2) ** 2 * 2 - 1)
Q = np.concatenate([np.linspace(-0.5, 4.5, 41), X])
ULPS = 4

# (x exponent, y exponent): spacings of about 1e-300, 1e-200, 1e-160, 1e-100,
# 1e100, 1e160, 1e200, 1e300 against values of 1e-300 to 1e308, and two
# pairs inside the range fitted as given.
SCALES = [(-997, 0), (-664, 1023), (-531, -1000), (-332, 500), (332, -500), (531, 0),
          (664, -1000), (997, 1023), (997, -997), (0, 1023), (0, -1000), (60, -60), (0, 0)]
EVALUATIONS = [("value_batch", 0), ("first_derivative_batch", 1),
               ("second_derivative_batch", 2), ("antiderivative_batch", -1)]


def expect_scaled(spline, unit, kx, ky):
    """Each evaluation of `spline` at Q * 2^kx is the unit fit's at Q times
    2^(ky - order kx) (2^(ky + kx) for the antiderivative), where that is a
    double; beyond the range of doubles the result is infinite as well."""
    for name, order in EVALUATIONS:
        got = np.asarray(getattr(spline, name)(np.ldexp(Q, kx)))
        with np.errstate(over="ignore"):
            expected = np.ldexp(np.asarray(getattr(unit, name)(Q)), ky - order * kx)
        finite = np.isfinite(expected)
        assert np.array_equal(np.isinf(got), ~finite), name
        if finite.any():
            size = np.abs(expected[finite]).max()
            error = np.abs(got[finite] - expected[finite]).max()
            assert error <= ULPS * math.ulp(size) or size == 0, (name, error / math.ulp(size))


@pytest.mark.parametrize("method", sorted(METHODS))
@pytest.mark.parametrize("kx, ky", SCALES)
def test_scaled_data_fit_as_the_unit_data(method, kx, ky):
    config = METHODS[method]()
    expect_scaled(config.fit(np.ldexp(X, kx), np.ldexp(Y, ky)), config.fit(X, Y), kx, ky)


# The cases that were NaN, off or refused for the wrong reason, and a few
# policies and options; clamped end slopes are the caller's, so they scale.
@pytest.mark.parametrize("config, kx, ky, slopes", [
    (Tension(), 50, -500, None),
    (RationalCubic(), 170, -1000, None),
    (RationalCubic(), 0, 1021, None),
    (VariableDegree(), 531, 0, None),
    (Tension().with_strict_shape(), -531, 300, None),
    (RationalCubic().with_convexity_solver("newton"), -700, 1022, None),
    (Tension().with_uniform_tension(7.0), 400, -400, (-0.5, 1.5)),
    (VariableDegree(), -300, -300, (-2.0, 3.0)),
])
def test_reported_extreme_fits(config, kx, ky, slopes):
    unit, scaled = config, config
    if slopes:
        unit = config.with_boundary(EndSlopes.clamped(*slopes))
        scaled = config.with_boundary(EndSlopes.clamped(*(math.ldexp(s, ky - kx) for s in slopes)))
    expect_scaled(scaled.fit(np.ldexp(X, kx), np.ldexp(Y, ky)), unit.fit(X, Y), kx, ky)


@pytest.mark.parametrize("spacing", [1e-160, 1e200])
def test_interpolate_at_extreme_spacings(spacing):
    x, y = np.arange(4.0), np.array([0, 1, 1.5, 1.7])
    unit, scaled = velarix.interpolate(x, y), velarix.interpolate(x * spacing, y)
    assert scaled(0.5 * spacing) == pytest.approx(unit(0.5), rel=1e-15)
    assert unit(0.5) == pytest.approx(0.565, rel=1e-12)
    assert scaled.integrate(0, 3 * spacing) == pytest.approx(unit.integrate(0, 3) * spacing,
                                                             rel=1e-15)


# At unit spacing the slopes of these data (about 2e308) are beyond the range
# of doubles, the values and the integrals are not; spaced 4 apart the slopes
# and curvatures are inside and the integrals beyond.
@pytest.mark.parametrize("method", sorted(METHODS))
@pytest.mark.parametrize("spacing, finite", [(1.0, [0, -1]), (4.0, [0, 1, 2])])
def test_values_at_the_edge_of_the_range(method, spacing, finite):
    x = np.array([0.0, 1.0, 2.0]) * spacing
    spline = METHODS[method]().fit(x, np.array([0.0, 1e308, -1e308]))
    grid = np.linspace(-1, 3, 81) * spacing
    for name, order in EVALUATIONS:
        values = np.asarray(getattr(spline, name)(grid))
        assert np.isfinite(values).all() == (order in finite), name
    np.testing.assert_array_equal(spline.value_batch(x), [0.0, 1e308, -1e308])


def _text(value):
    return format(Decimal(repr(value)), "f").removesuffix(".0")


# Widths 2^-250 to 2^250 apart are centred and fit; one binade more and one
# of them would leave the range the methods' products hold.
WIDE, NARROW = math.ldexp(1, 251), math.ldexp(1, -250)


@pytest.mark.parametrize("method", sorted(METHODS))
@pytest.mark.parametrize("x, message", [
    ([0, NARROW, WIDE / 2, WIDE], None),
    ([0, 1e-200, 1, 1e200], "x[0] = 0 and x[1] = {} are too close together beside the widest "
     "interval: the widths differ by more than 2^500".format(_text(1e-200))),
    ([0, NARROW, WIDE, 2 * WIDE], "x[1] = {} and x[2] = {} are too far apart beside the "
     "narrowest interval: the widths differ by more than 2^500".format(_text(NARROW),
                                                                      _text(WIDE))),
])
def test_widths_no_scale_serves_are_refused(method, x, message):
    x = np.array(x, float)
    y = (x / x[-1]) ** 2
    if message is None:  # the named configuration: the sweeps alone crawl on such steps
        f = velarix.interpolate(x, y, method=method)
        assert np.isfinite(f(np.linspace(0, WIDE, 9))).all()
        return
    with pytest.raises(ValueError) as info:
        METHODS[method]().fit(x, y)
    assert str(info.value) == message


@pytest.mark.parametrize("method", sorted(METHODS))
def test_a_clamped_slope_beyond_the_range_is_refused(method):
    config = METHODS[method]().with_boundary(EndSlopes.clamped(1e300, 0.0))
    with pytest.raises(ValueError) as info:
        config.fit(np.ldexp(X, 600), Y)
    assert str(info.value) == (
        f"shape parameter `left` = {_text(1e300)} is out of scale with interval 0 of width "
        f"{_text(math.ldexp(X[1], 600))}: the curve would overflow")


def _seal(fields):
    return fields + struct.pack("<I", zlib.crc32(fields))


@pytest.mark.parametrize("method", sorted(METHODS))
def test_scaled_splines_save_their_scale(method):
    unit = METHODS[method]().fit(X, Y)
    spline = METHODS[method]().fit(np.ldexp(X, 600), np.ldexp(Y, -900))
    name, state = spline.__reduce__()[1]
    assert (state[0], unit.__reduce__()[1][1][0]) == (3, 2)  # only a scaled state is layout 3
    restored = pickle.loads(pickle.dumps(spline))
    assert restored.__reduce__()[1][1] == state
    expect_scaled(restored, unit, 600, -900)
    # The exponents (after the version and the kind) are checked.
    cls = type(spline)
    fields = state[:-4]
    for x_exp, y_exp in [(0, 0), (1101, 0), (0, -1101)]:
        tampered = fields[:2] + struct.pack("<qq", x_exp, y_exp) + fields[18:]
        with pytest.raises(ValueError, match="^invalid saved state: scale out of range at byte 2$"):
            cls._from_state(_seal(tampered))
    # A configuration has no scale to read.
    config = getattr(velarix, name.removesuffix("Spline"))().__reduce__()[1][1]
    with pytest.raises(ValueError, match="^invalid saved state: unknown layout version at byte 0$"):
        type(METHODS[method]())._from_state(_seal(bytes([3]) + config[1:-4]))
