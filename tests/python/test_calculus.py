"""Integrals and antiderivatives: every piece type against a high-precision
reference across the switch points of its forms, and the rules of the
spline-level surface (held ends, reversed limits, saved state)."""

import math
import pickle
import struct
from array import array

import mpmath as mp
import numpy as np
import pytest

import velarix
from velarix import EndSlopes, RationalCubic, Tension, VariableDegree

from conftest import FITTERS

# Errors are measured in units of eps * integral of |S| over the piece.
ULPS = 8
EPS = 2.0**-53
FRACTIONS = [1e-9, 1e-3, 0.37, 0.999, 1 - 1e-9, 1.0]


def pieces(spline):
    """(x0, h, S) per piece, S the piece's function of t = (x - x0) / h in
    mpmath, read from the saved state, which holds every field of the piece."""
    state = spline.__reduce__()[1][1]
    kind = state[1]
    (n,) = struct.unpack_from("<Q", state, 2)
    at = 10 + 8 * n
    out = []
    for _ in range(n - 1):
        if kind == 3:
            p0, p1, p2, p3, x0, h, q0, q1, q2 = map(mp.mpf, struct.unpack_from("<9d", state, at + 8))
            at += 80
            out.append((x0, h, lambda t, p=(p0, p1, p2, p3), q=(q0, q1, q2): mp.polyval(p[::-1], t) / mp.polyval(q[::-1], t)))
        elif kind == 5:
            tag = state[at + 8]
            at += 9 + (24 if tag else 0)
            fields = list(map(mp.mpf, struct.unpack_from("<8d", state, at)))
            at += 64
            out.append((fields[0], fields[1], tension_function(tag, *fields[1:])))
        else:
            x0, h, y0, m0, m1, k, linear, scale = map(mp.mpf, struct.unpack_from("<8d", state, at + 8))
            at += 72
            out.append((x0, h, lambda t, c=(y0, m0, m1, k, linear, scale): (c[0] + t * c[4]) + c[5] * (((1 - t) ** c[3] - 1) * c[1] + t ** c[3] * c[2])))
    return out


def tension_function(tag, h, y0, yp0, s, d1, d2, sigma):
    if tag == 0:
        return lambda t: y0 + h * t * (yp0 + t * (d1 + (1 - t) * (d1 - d2)))
    ems = mp.exp(-sigma)
    tm = 1 - ems
    e = tm * (sigma * (ems + 1) - 2 * tm)

    def value(t):
        e1, e2 = mp.exp(-sigma * (1 - t)), mp.exp(-sigma * t)
        bend = (d1 + d2) * tm * ((ems + 1) - e1 - e2) + sigma * (
            d1 * (e2 + (e1 - 2) * ems - (1 - t) * tm**2) + d2 * (e1 + (e2 - 2) * ems - t * tm**2)
        )
        return y0 + s * h * t + h * bend / (sigma * e)

    return value


def worst_error(spline, index, piece):
    """Largest error of spline.integral over [x_i, x] on the piece, for x
    across it, against mpmath's quadrature with the end layers resolved."""
    x0, h, value = piece
    knot = float(x0)
    xs = [knot + float(h) * f for f in FRACTIONS]
    layers = {mp.mpf(10) ** -e for e in range(2, 13, 2)}
    ts = sorted({(mp.mpf(x) - x0) / h for x in xs} | layers | {1 - t for t in layers} | {mp.mpf(0)})
    running, size, at = mp.mpf(0), mp.mpf(0), {ts[0]: mp.mpf(0)}
    for a, b in zip(ts, ts[1:]):
        running += mp.quad(value, [a, b])
        size += abs(mp.quad(value, [a, b]))
        at[b] = running
    size = max(size, mp.quad(lambda t: abs(value(t)), [0, 0.5, 1])) * h
    errors = [abs(spline.integral(knot, x) - at[(mp.mpf(x) - x0) / h] * h) / (size * EPS) for x in xs]
    return float(max(errors))


def two_point(config, slopes, y=(1.0, 2.5), x=(0.3, 1.0)):
    return config.with_boundary(EndSlopes.clamped(*slopes)).fit(array("d", x), array("d", y))


SECANT = 1.5 / 0.7
RATIONAL = [
    # Slopes that ask w = margin + max(v r, u / r), and slopes on the wrong
    # side of the secant, which give w its cap of 1e6.
    (u, v, (SECANT - 1, SECANT + r))
    for u, v in [(1, 1), (1, 4), (4, 1), (1, 40), (40, 1), (0.01, 100)]
    for r in [1.0, 1 / 3, 100.0, 1e4, 1e6]
] + [(1, 1, (SECANT + 1, SECANT + 1)), (1, 30, (SECANT + 1, SECANT - 1))]
SIGMAS = [0.0, math.nextafter(1e-9, 0), 1e-9, 0.3, 0.5, math.nextafter(0.5, 1), 1.0, 3.0,
          8.0, math.nextafter(8.0, 9), 85.0, 1e3, 1e6, 1e8]


@pytest.mark.parametrize("u, v, slopes", RATIONAL)
def test_rational_cubic_piece_against_mpmath(u, v, slopes):
    mp.mp.dps = 30
    spline = two_point(RationalCubic().with_shape(u, v), slopes)
    assert worst_error(spline, 0, pieces(spline)[0]) <= ULPS


@pytest.mark.parametrize("sigma", SIGMAS)
@pytest.mark.parametrize("slopes", [(-3.0, 7.0), (SECANT, SECANT + 1e-3)])
def test_tension_piece_against_mpmath(sigma, slopes):
    # The exponential form cancels to sigma^4 / 12 of its terms.
    mp.mp.dps = 80 if sigma < 0.01 else 30
    spline = two_point(Tension().with_uniform_tension(sigma), slopes)
    assert worst_error(spline, 0, pieces(spline)[0]) <= ULPS


@pytest.mark.parametrize("degree", [3.0, 3.7, 8.5, 20.0, 50.0])
def test_variable_degree_piece_against_mpmath(degree):
    mp.mp.dps = 30
    spline = two_point(VariableDegree(), (-3.0, 7.0))
    # The piece rewritten with the degree and moments asked for, as a fit
    # would build it.
    state = bytearray(spline.__reduce__()[1][1])
    x0, h, y0, _, _, _, _, _ = struct.unpack_from("<8d", state, 34)
    m0, m1 = 30.0, -12.0
    scale = (h * h) / (degree * (degree - 1))
    linear = (2.5 - y0) - (m1 - m0) * scale
    struct.pack_into("<9d", state, 26, degree, x0, h, y0, m0, m1, degree, linear, scale)
    spline = type(spline)._from_state(bytes(state))
    assert worst_error(spline, 0, pieces(spline)[0]) <= ULPS


@pytest.mark.parametrize("name", sorted(FITTERS))
@pytest.mark.parametrize("n", [2, 40, 1000])
def test_random_fits_integrate_piece_by_piece(name, n):
    mp.mp.dps = 40
    rng = np.random.default_rng(n)
    x = np.cumsum(rng.uniform(0.01, 1.0, n))
    y = np.exp(x / x[-1] * 2) + (0 if name == "rational_cubic" else np.sin(3 * x))
    spline = FITTERS[name](x, y)
    every = pieces(spline)
    for i in sorted({0, len(every) - 1, *rng.integers(0, len(every), 3)}):
        assert worst_error(spline, i, every[i]) <= ULPS


def test_spline_rules(spline):
    x0, xn = spline.domain
    assert spline.antiderivative(x0) == 0.0
    assert spline.antiderivative(x0 - 2.0) == -2.0 * spline(x0)
    total = spline.integral(x0, xn)
    assert spline.antiderivative(xn + 3.0) == pytest.approx(total + 3.0 * spline(xn), rel=1e-15)
    for a, b in [(x0 - 1, xn + 1), (0.3, 0.31), (xn, x0 + 0.5)]:
        assert spline.integral(a, b) == -spline.integral(b, a)
        assert spline.integral(a, b) == pytest.approx(
            spline.antiderivative(b) - spline.antiderivative(a), rel=1e-13, abs=1e-13)
    assert math.isnan(spline.antiderivative(math.nan))
    grid = np.linspace(x0, xn, 2001)
    trapezoid = np.trapz(spline.value_batch(grid), grid)
    assert total == pytest.approx(trapezoid, rel=1e-5)


def test_saved_splines_integrate_to_the_same_bits(spline):
    xs = np.linspace(spline.domain[0] - 1, spline.domain[1] + 1, 97)
    fresh = pickle.loads(pickle.dumps(spline))
    before = np.asarray(spline.antiderivative_batch(xs)).view(np.uint64)
    after = pickle.loads(pickle.dumps(spline))
    for other in (fresh, after, spline.__copy__()):
        assert np.array_equal(np.asarray(other.antiderivative_batch(xs)).view(np.uint64), before)
