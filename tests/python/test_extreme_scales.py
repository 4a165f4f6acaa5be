"""Knots 1e-300 to 1e300 apart and values up to ±1e308 fit as the same data at
unit scale: every evaluation equals the unit fit's times the matching power
of two, to a few ulps, wherever that is a double. What no scaling serves is
refused naming the interval."""

import math
import pickle
import struct
import zlib

import numpy as np
import pytest

import velarix
from velarix import EndSlopes

from conftest import METHODS, REGISTRY, text

# The methods whose configurations take clamped end slopes.
CLAMPED = sorted(name for name, m in REGISTRY.items() if "clamped" in m.end_conditions)

X = np.array([0.0, 0.45, 1.1, 1.7, 2.0, 2.8, 3.3, 4.0])
Y = 1.1 * (((X - 2) / 2) ** 2 * 2 - 1)  # convex, in [-1.1, 1.1]
Q = np.concatenate([np.linspace(-0.5, 4.5, 41), X])
ORDERS = {"value_batch": 0, "first_derivative_batch": 1, "second_derivative_batch": 2,
          "antiderivative_batch": -1}


def expect_scaled(spline, unit, kx, ky):
    for name, order in {**ORDERS, "third_derivative_batch": 3}.items():
        got = np.asarray(getattr(spline, name)(np.ldexp(Q, kx)))
        with np.errstate(over="ignore"):
            expected = np.ldexp(np.asarray(getattr(unit, name)(Q)), ky - order * kx)
        finite = np.isfinite(expected)
        assert np.array_equal(np.isinf(got), ~finite), name
        size = np.abs(expected[finite]).max(initial=0)
        assert np.abs(got[finite] - expected[finite]).max(initial=0) <= 4 * math.ulp(size), name
    assert spline.is_shape_preserving == unit.is_shape_preserving


# Spacings of about 1e-300 ... 1e300 (2^±997) against values of 1e-300 ...
# 1e308, the reported cases (2^50 and 2^-500, 2^170 and 2^-1000, 2^1021), and
# pairs inside the ordinary range, fitted as given; clamped end slopes where
# they scale to normal doubles.
SCALES = [(-997, 0), (-664, 1023), (-531, -1000), (-332, 500), (332, -500), (531, 0),
          (664, -1000), (997, 1023), (997, -997), (50, -500), (170, -1000), (0, 1021), (-60, 40),
          (0, 0)]


@pytest.mark.parametrize("method, kx, ky, slopes",
                         [(m, kx, ky, None) for m in sorted(METHODS) for kx, ky in SCALES] +
                         [(m, kx, ky, (-0.5, 1.5)) for m in CLAMPED for kx, ky in SCALES
                          if abs(ky - kx) < 1000])
def test_scaled_data_fit_as_the_unit_data(method, kx, ky, slopes):
    unit, scaled = METHODS[method](), METHODS[method]()
    if slopes:  # the caller's slopes scale with the data
        unit = unit.with_boundary(EndSlopes.clamped(*slopes))
        scaled = scaled.with_boundary(EndSlopes.clamped(*(math.ldexp(s, ky - kx) for s in slopes)))
    expect_scaled(scaled.fit(np.ldexp(X, kx), np.ldexp(Y, ky)), unit.fit(X, Y), kx, ky)


# Natural and periodic ends (Y closes up: Y[0] == Y[-1]) take no numbers to
# scale, for every method that lists them.
@pytest.mark.parametrize("kx, ky", SCALES)
@pytest.mark.parametrize("method, end", [(name, end) for name, method in sorted(REGISTRY.items())
                                         for end in ("natural", "periodic")
                                         if end in method.end_conditions])
def test_natural_and_periodic_fits_scale_as_the_unit_fits(method, end, kx, ky):
    config = METHODS[method]().with_boundary(getattr(EndSlopes, end)())
    expect_scaled(config.fit(np.ldexp(X, kx), np.ldexp(Y, ky)), config.fit(X, Y), kx, ky)


@pytest.mark.parametrize("spacing", [1e-160, 1e200])
def test_interpolate_at_extreme_spacings(spacing):
    x, y = np.arange(4.0), np.array([0, 1, 1.5, 1.7])
    unit, scaled = velarix.interpolate(x, y), velarix.interpolate(x * spacing, y)
    assert scaled(0.5 * spacing) == pytest.approx(unit(0.5), rel=1e-15)
    assert scaled.integrate(0, 3 * spacing) == pytest.approx(unit.integrate(0, 3) * spacing,
                                                             rel=1e-15)


# Unit spacing gives these data slopes of about 2e308, beyond the doubles,
# while the values and integrals are inside; spaced 4 apart the integrals are
# beyond and the slopes and curvatures inside.
@pytest.mark.parametrize("spacing, finite", [(1.0, {0, -1}), (4.0, {0, 1, 2})])
@pytest.mark.parametrize("method", sorted(METHODS))
def test_values_at_the_edge_of_the_range(method, spacing, finite):
    x = np.array([0.0, 1.0, 2.0]) * spacing
    grid = np.linspace(-1, 3, 81) * spacing
    spline = METHODS[method]().fit(x, np.array([0.0, 1e308, -1e308]))
    # A curve without curvature (the chords) has none that could overflow.
    if not np.any(METHODS[method]().fit(x, np.array([0.0, 1, -1])).second_derivative_batch(grid)):
        finite = finite | {2}
    for name, order in ORDERS.items():
        values = np.asarray(getattr(spline, name)(grid))
        assert np.isfinite(values).all() == (order in finite), name


_text = text


WIDE, NARROW = math.ldexp(1, 251), math.ldexp(1, -250)
SPAN = "the widths differ by more than 2^500"


# Widths 2^-250 to 2^250 are centred and fit (through the named configuration:
# the sweeps alone crawl on such steps); one binade more is refused, before
# the clamped end slope that no scale serves either.
WIDTHS = [
    ([0, NARROW, WIDE / 2, WIDE], None),
    ([0, 1e-200, 1, 1e200], f"x[0] = 0 and x[1] = {_text(1e-200)} are too close together "
     f"beside the widest interval: {SPAN}"),
    ([0, NARROW, WIDE, 2 * WIDE], f"x[1] = {_text(NARROW)} and x[2] = {_text(WIDE)} are too "
     f"far apart beside the narrowest interval: {SPAN}"),
]
SLOPE = (np.ldexp(X, 600), f"shape parameter `left` = {_text(1e300)} is out of scale with "
         f"interval 0 of width {_text(math.ldexp(X[1], 600))}: the curve would overflow")


@pytest.mark.parametrize("method, x, message", [(m, x, message) for m in sorted(METHODS)
                                                for x, message in WIDTHS] +
                         [(m, *SLOPE) for m in CLAMPED])
def test_what_no_scale_serves_is_refused(method, x, message):
    x = np.array(x, float)
    y = (x / x[-1]) ** 2
    if message is None:
        assert np.isfinite(velarix.interpolate(x, y, method=method)(np.linspace(0, WIDE, 9))).all()
        return
    config = METHODS[method]()
    if method in CLAMPED:
        config = config.with_boundary(EndSlopes.clamped(1e300, 0.0))
    with pytest.raises(ValueError) as info:
        config.fit(x, y)
    assert str(info.value) == message


@pytest.mark.parametrize("method", sorted(METHODS))
def test_scaled_splines_save_their_scale(method):
    cls = METHODS[method]
    spline = cls().fit(np.ldexp(X, 600), np.ldexp(Y, -900))
    state = spline.__reduce__()[1][1]
    assert (state[0], cls().fit(X, Y).__reduce__()[1][1][0]) == (3, 2)  # layout 3 if scaled only
    restored = pickle.loads(pickle.dumps(spline))
    assert restored.__reduce__()[1][1] == state
    expect_scaled(restored, cls().fit(X, Y), 600, -900)
    seal = lambda fields: fields + struct.pack("<I", zlib.crc32(fields))
    for exponents in [(0, 0), (1101, 0), (0, -1101)]:
        tampered = state[:2] + struct.pack("<qq", *exponents) + state[18:-4]
        with pytest.raises(ValueError, match="^invalid saved state: scale out of range at byte 2$"):
            type(spline)._from_state(seal(tampered))
    with pytest.raises(ValueError, match="^invalid saved state: unknown layout version at byte 0$"):
        cls._from_state(seal(bytes([3]) + cls().__reduce__()[1][1][1:-4]))
