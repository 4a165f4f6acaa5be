"""Integrals of every piece type against a high-precision reference, across
the switch points of its forms, and saved splines integrating to the same
bits. Errors are in units of eps times the integral of |S| over the piece;
for third derivatives, of eps times the largest |S'''| on it."""

import math
import pickle
import struct
import zlib

import mpmath as mp
import numpy as np
import pytest

from velarix import (EndSlopes, QuinticSpline, RationalCubic, RationalCubicSpline, Tension,
                     TensionSpline, VariableDegree, VariableDegreeSpline)

from conftest import FITTERS

ULPS = 8
FRACTIONS = [1e-9, 1e-3, 0.37, 0.999, 1 - 1e-9, 1.0]
SECANT = 1.5 / 0.7  # of the two-point data below


def pieces(spline):
    """(x0, h, S of t = (x - x0) / h) per piece, from the piece's own fields; a
    tension piece also gets its right knot, from which a Steep one measures."""
    reference = REFERENCES[type(spline)]
    fields = [{name: mp.mpf(v) for name, v in piece.items()} for piece in spline.pieces]
    if reference is tension:
        for f, x1 in zip(fields, [g["x0"] for g in fields[1:]] + [spline.domain[1]]):
            f["x1"] = x1
    return [reference(**f) for f in fields]


def third(piece, x, order=3):
    """S''' (or S^(order)) at the piece's own t = (x - x0) / h: its rounding is not counted."""
    x0, h, value = piece
    t = mp.mpf((x - float(x0)) / float(h))
    if order == 3 and hasattr(value, "third"):
        return value.third(t, x)
    return mp.diff(value, t, order) / h**order


def rational(p0, p1, p2, p3, x_left, h, q0, q1, q2):
    if q2 > 0:  # the chord form, y0, dy, a, b, u, v, w: the chord plus a correction
        value = lambda t: p0 + t * p1 + t * (1 - t) * (p2 + t * (p3 - p2)) / (q0 + t * (q1 - q0) + t * (1 - t) * q2)
        # The piece's own evaluation works at the size of both parts, which
        # can cancel when the end slopes are far from the secant.
        value.size = lambda t: abs(value(t)) + abs(p0 + t * p1)
        return x_left, h, value
    power = lambda t: mp.polyval([p3, p2, p1, p0], t) / mp.polyval([q2, q1, q0], t)
    power.loses = True  # see worst_third_error
    return x_left, h, power


def tension(x0, h, y0, yp0, secant, d1, d2, sigma, x1):
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


def variable_degree(x0, h, y0, m0, m1, degree, linear, scale):
    k = degree
    value = lambda t: y0 + t * linear + scale * (((1 - t) ** k - 1) * m0 + t**k * m1)
    # S''' with the piece's own rounding of 1 - t.
    value.third = lambda t, x: (k - 2) * (m1 * t ** (k - 3) - m0 * mp.mpf(1 - float(t)) ** (k - 3)) / h
    return x0, h, value


def quintic(x0, x1, y0, y1, gap0, gap1, bend0, bend1):
    dy, p0, p1, b0, b1 = y1 - y0, gap0, gap1, bend0, bend1
    value = lambda t: mp.polyval(
        [(3 * p0 - 3 * p1) - (b0 - b1) / 2, (7 * p1 - 8 * p0) + (1.5 * b0 - b1),
         (6 * p0 - 4 * p1) - (1.5 * b0 - b1 / 2), b0 / 2, dy - p0, y0], t)
    value.loses = True  # its higher coefficients are differences of the gaps and bends
    return x0, x1 - x0, value


REFERENCES = {RationalCubicSpline: rational, TensionSpline: tension,
              VariableDegreeSpline: variable_degree, QuinticSpline: quintic}


def worst_error(spline, piece):
    """The largest error of spline.integral(x0, x) for x across the piece,
    against mpmath's quadrature with the layers at both ends resolved."""
    x0, h, value = piece
    xs = [float(x0) + float(h) * f for f in FRACTIONS]
    layers = {mp.mpf(10) ** -e for e in range(2, 13, 2)}
    ts = sorted({(mp.mpf(x) - x0) / h for x in xs} | layers | {1 - t for t in layers} | {0})
    running, size, at = 0, 0, {}
    for a, b in zip(ts, ts[1:]):
        part = mp.quad(value, [a, b])
        running, size, at[b] = running + part, size + abs(part), running + part
    size = max(size, mp.quad(getattr(value, "size", lambda t: abs(value(t))), [0, 0.5, 1])) * h
    return max(float(abs(spline.integral(float(x0), x) - at[(mp.mpf(x) - x0) / h] * h) / size)
               for x in xs) * 2.0**53


def worst_third_error(spline, piece):
    """The largest error of spline.third_derivative across the piece. The rational cubic's
    power form and the quintic cancel in every derivative: their S''' may lose ULPS times
    what its S'' loses, in eps times S''' + S''/h + S'/h^2 and S'' + S'/h."""
    x0, h, value = piece
    xs = [float(x0) + float(h) * f
          for f in [0, 1e-9, 1e-6, 1e-3, 0.05, 0.37, 0.5, 0.71, 0.95, 1 - 1e-3, 1 - 1e-6, 1 - 1e-9]]
    lost = [max(abs(getattr(spline, name)(x) - third(piece, x, order)) for x in xs) * 2.0**53
            for name, order in (("third_derivative", 3), ("second_derivative", 2))]
    sizes = [max(abs(third(piece, x, order)) for x in xs) or 1 for order in (3, 2, 1)]
    if not getattr(value, "loses", False):
        return float(lost[0] / sizes[0])
    below = sizes[1] + sizes[2] / h
    return float(lost[0] / (sizes[0] + below / h) / (1 + lost[1] / below))


def two_point(config, slopes):
    return config.with_boundary(EndSlopes.clamped(*slopes)).fit(np.array([0.3, 1.0]), np.array([1.0, 2.5]))


def rewritten(spline, **fields):
    """The spline with fields of its first piece replaced, by name, in its
    saved state (found there by their bytes)."""
    piece = spline.pieces[0]
    old, new = (struct.pack(f"<{len(piece)}d", *f.values()) for f in (piece, {**piece, **fields}))
    state = bytearray(spline.__reduce__()[1][1])
    at = state.index(old)
    state[at:at + len(old)] = new
    struct.pack_into("<I", state, len(state) - 4, zlib.crc32(state[:-4]))  # its checksum again
    return type(spline)._from_state(bytes(state))


# Slopes that ask w = margin + max(v r, u / r), and slopes on the wrong side
# of the secant, which give w its cap of 1e6.
@pytest.mark.parametrize("u, v", [(1, 1), (1, 4), (4, 1), (1, 40), (40, 1), (0.01, 100)])
@pytest.mark.parametrize("r", [1.0, 1 / 3, 100.0, 1e6, -1.0])
def test_rational_cubic_piece(u, v, r):
    mp.mp.dps = 30
    slopes = (SECANT - 1, SECANT + r) if r > 0 else (SECANT + 1, SECANT + 1)
    spline = two_point(RationalCubic().with_shape(u, v), slopes)
    assert worst_error(spline, pieces(spline)[0]) <= ULPS
    assert worst_third_error(spline, pieces(spline)[0]) <= ULPS


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
    assert worst_error(spline, pieces(spline)[0]) <= ULPS
    assert worst_third_error(spline, pieces(spline)[0]) <= ULPS


# The forms' switch points, and the third derivative's at 1. The last slopes
# (d1 near d2, data near a quadratic) make S''' far smaller than its parts.
@pytest.mark.parametrize("sigma", [0.0, math.nextafter(1e-9, 0), 1e-9, 0.3, 0.5,
                                   math.nextafter(0.5, 1), 1.0, math.nextafter(1.0, 2), 3.0, 8.0,
                                   math.nextafter(8.0, 9), 85.0, math.nextafter(85.0, 86), 1e3, 1e6, 1e8])
@pytest.mark.parametrize("slopes", [(-3.0, 7.0), (SECANT, SECANT + 1e-3), (SECANT - 1, SECANT + 1 + 1e-6)])
def test_tension_piece(sigma, slopes):
    mp.mp.dps = 80 if sigma < 0.01 else 30  # the reference cancels to sigma^4 / 12
    spline = two_point(Tension().with_uniform_tension(sigma), slopes)
    x0, h, value = piece = pieces(spline)[0]
    assert worst_error(spline, piece) <= ULPS
    assert worst_third_error(spline, piece) <= ULPS
    if 1e-9 <= sigma <= 85:  # the reference's closed form is the value's third derivative
        assert mp.almosteq(value.third(mp.mpf(0.3), None), mp.diff(value, 0.3, 3) / h**3, 1e-20)


@pytest.mark.parametrize("k", [3.0, 3.7, 8.5, 20.0, 50.0])
def test_variable_degree_piece(k):
    mp.mp.dps = 30
    spline = two_point(VariableDegree(), (-3.0, 7.0))
    h, y0 = spline.pieces[0]["h"], spline.pieces[0]["y0"]
    m0, m1, scale = 30.0, -12.0, (h * h) / (k * (k - 1))
    spline = rewritten(spline, m0=m0, m1=m1, degree=k, linear=(2.5 - y0) - (m1 - m0) * scale,
                       scale=scale)
    x0, h, value = piece = pieces(spline)[0]
    assert worst_error(spline, piece) <= ULPS
    assert worst_third_error(spline, piece) <= ULPS
    assert mp.almosteq(value.third(mp.mpf(0.75), None), mp.diff(value, 0.75, 3) / h**3, 1e-14)


@pytest.mark.parametrize("name", sorted(FITTERS))
@pytest.mark.parametrize("n", [2, 40, 1000])
def test_random_fits(name, n):
    mp.mp.dps = 40
    rng = np.random.default_rng(n)
    x = np.cumsum(rng.uniform(0.01, 1.0, n))
    y = np.exp(x / x[-1] * 2) + (0 if name == "rational_cubic" else np.sin(3 * x))
    spline = FITTERS[name](x, y)
    every = pieces(spline)
    for i in sorted({0, len(every) - 1, *rng.integers(0, len(every), 3)}):
        assert worst_error(spline, every[i]) <= ULPS
        assert worst_third_error(spline, every[i]) <= ULPS


# The strict policy on steps, flats and a noisy rise: its largest tensions.
@pytest.mark.parametrize("n", [12, 200])
def test_strict_tensions(n):
    mp.mp.dps = 40
    rng = np.random.default_rng(n)
    x = np.cumsum(rng.uniform(0.01, 1.0, n))
    y = np.round(np.cumsum(rng.exponential(1.0, n)) * (rng.uniform(size=n) < 0.5), 1)
    spline = Tension().with_strict_shape().fit(x, np.maximum.accumulate(y))
    every, tensions = pieces(spline), np.array(spline.tensions)
    for i in sorted({*np.argsort(tensions)[-4:], 0}):
        assert worst_error(spline, every[i]) <= ULPS
        assert worst_third_error(spline, every[i]) <= ULPS


def test_saved_splines_integrate_to_the_same_bits(spline):
    xs = np.linspace(spline.domain[0] - 1, spline.domain[1] + 1, 97)
    fresh = pickle.loads(pickle.dumps(spline))
    before = np.asarray(spline.antiderivative_batch(xs)).view(np.uint64)
    for other in (fresh, pickle.loads(pickle.dumps(spline))):
        assert np.array_equal(np.asarray(other.antiderivative_batch(xs)).view(np.uint64), before)


def test_pieces_are_the_fields_a_saved_state_keeps(spline):
    state, at = spline.__reduce__()[1][1], 0
    for piece in spline.pieces:  # in knot order, each field list whole
        at = state.index(struct.pack(f"<{len(piece)}d", *piece.values()), at) + 8 * len(piece)
    assert pickle.loads(pickle.dumps(spline)).pieces == spline.pieces


@pytest.mark.parametrize("name", sorted(FITTERS))
def test_third_derivative_is_the_derivative_of_the_second(name):
    """Across each piece S''' integrates to the change of S'' (composite Gauss-Legendre,
    fine enough for layers of tension 85) and is the limit of differences of S''."""
    x = np.cumsum(np.random.default_rng(5).uniform(0.1, 1.0, 14))
    y = np.exp(x / 4) + 3 * np.maximum(x - x[6], 0) + (name != "rational_cubic") * np.sin(3 * x)
    spline = FITTERS[name](x, y)
    nodes, weights = np.polynomial.legendre.leggauss(5)
    knots = [float(x0) for x0, _, _ in pieces(spline)] + [spline.domain[1]]
    for a, b in zip(knots, knots[1:]):
        half = (b - a) / 8192
        at = (np.linspace(a + half, b - half, 4096)[:, None] + half * nodes).ravel()
        third = np.asarray(spline.third_derivative_batch(at))
        size = max(np.abs(spline.second_derivative_batch(at)).max(), (b - a) * np.abs(third).max())
        change = spline.second_derivative(np.nextafter(b, a)) - spline.second_derivative(a)
        assert (third.reshape(-1, 5) @ weights).sum() * half == pytest.approx(change, abs=1e-11 * size)
        u, d = a + np.array([0.2, 0.5, 0.8]) * (b - a), 1e-4 * (b - a)
        central = (np.asarray(spline.second_derivative_batch(u + d)) - spline.second_derivative_batch(u - d)) / (2 * d)
        assert np.asarray(spline.third_derivative_batch(u)) == pytest.approx(central, abs=1e-5 * size / (b - a))
