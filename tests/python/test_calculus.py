"""Integrals of every piece type against a high-precision reference, across
the switch points of its forms, and saved splines integrating to the same
bits. Errors are in units of eps times the integral of |S| over the piece."""

import math
import pickle
import struct
import zlib

import mpmath as mp
import numpy as np
import pytest

from velarix import EndSlopes, RationalCubic, Tension, VariableDegree

from conftest import FITTERS

ULPS = 8
FRACTIONS = [1e-9, 1e-3, 0.37, 0.999, 1 - 1e-9, 1.0]
SECANT = 1.5 / 0.7  # of the two-point data below


def pieces(spline):
    """(x0, h, S of t = (x - x0) / h) per piece, read from the saved state."""
    state = spline.__reduce__()[1][1]
    (n,) = struct.unpack_from("<Q", state, 2)
    at, out = 10 + 8 * n, []
    for _ in range(n - 1):
        if state[1] == 3:  # w, p0..p3, x_left, h, q0..q2
            f = list(map(mp.mpf, struct.unpack_from("<9d", state, at + 8)))
            at += 80
            out.append((f[4], f[5], rational(*f[:4], *f[6:])))
        elif state[1] == 5:  # tension, form and its coefficients, x0, h, y0, yp0, s, d1, d2, sigma
            at += 9 + (0, 24, 24, 32)[state[at + 8]]  # Steep (3) keeps its right knot
            x0, h, y0, yp0, s, d1, d2, sigma = map(mp.mpf, struct.unpack_from("<8d", state, at))
            at += 64
            out.append((x0, h, tension(h, y0, yp0, s, d1, d2, sigma)))
        elif state[1] == 9:  # inserted mark, x0, x1, y0, y1, h p0, h p1, h^2 a0, h^2 a1
            x0, x1, y0, y1, p0, p1, b0, b1 = map(mp.mpf, struct.unpack_from("<8d", state, at + 8))
            at += 72
            out.append((x0, x1 - x0, lambda t, v=(y0, y1 - y0, p0, p1, b0, b1): mp.polyval(
                [(3 * v[2] - 3 * v[3]) - (v[4] - v[5]) / 2, (7 * v[3] - 8 * v[2]) + (1.5 * v[4] - v[5]),
                 (6 * v[2] - 4 * v[3]) - (1.5 * v[4] - v[5] / 2), v[4] / 2, v[1] - v[2], v[0]], t)))
        else:  # degree, x0, h, y0, m0, m1, k, linear, scale
            x0, h, y0, m0, m1, k, lin, c = map(mp.mpf, struct.unpack_from("<8d", state, at + 8))
            at += 72
            out.append((x0, h, lambda t, v=(y0, m0, m1, k, lin, c):
                        v[0] + t * v[4] + v[5] * (((1 - t) ** v[3] - 1) * v[1] + t ** v[3] * v[2])))
    return out


def rational(p0, p1, p2, p3, q0, q1, q2):
    if q2 > 0:  # the chord form, y0, dy, a, b, u, v, w: the chord plus a correction
        value = lambda t: p0 + t * p1 + t * (1 - t) * (p2 + t * (p3 - p2)) / (q0 + t * (q1 - q0) + t * (1 - t) * q2)
        # The piece's own evaluation works at the size of both parts, which
        # can cancel when the end slopes are far from the secant.
        value.size = lambda t: abs(value(t)) + abs(p0 + t * p1)
        return value
    return lambda t: mp.polyval([p3, p2, p1, p0], t) / mp.polyval([q2, q1, q0], t)


def tension(h, y0, yp0, s, d1, d2, sigma):
    if sigma < 1e-9:
        return lambda t: y0 + h * t * (yp0 + t * (d1 + (1 - t) * (d1 - d2)))
    ems = mp.exp(-sigma)
    tm = 1 - ems
    e = tm * (sigma * (ems + 1) - 2 * tm)

    def value(t):
        e1, e2 = mp.exp(-sigma * (1 - t)), mp.exp(-sigma * t)
        bend = (d1 + d2) * tm * (ems + 1 - e1 - e2) + sigma * (
            d1 * (e2 + (e1 - 2) * ems - (1 - t) * tm**2) + d2 * (e1 + (e2 - 2) * ems - t * tm**2))
        return y0 + s * h * t + h * bend / (sigma * e)

    return value


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


def two_point(config, slopes):
    return config.with_boundary(EndSlopes.clamped(*slopes)).fit(np.array([0.3, 1.0]), np.array([1.0, 2.5]))


def rewritten(spline, fields, at):
    state = bytearray(spline.__reduce__()[1][1])
    struct.pack_into(f"<{len(fields)}d", state, at, *fields)
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
    spline = rewritten(spline, [w, p0, p1, p2, p3, 0.3, h, u, (v + w) - u, -w], 26)
    assert worst_error(spline, pieces(spline)[0]) <= ULPS


@pytest.mark.parametrize("sigma", [0.0, math.nextafter(1e-9, 0), 1e-9, 0.3, 0.5,
                                   math.nextafter(0.5, 1), 1.0, 3.0, 8.0, math.nextafter(8.0, 9),
                                   85.0, math.nextafter(85.0, 86), 1e3, 1e6, 1e8])
@pytest.mark.parametrize("slopes", [(-3.0, 7.0), (SECANT, SECANT + 1e-3)])
def test_tension_piece(sigma, slopes):
    mp.mp.dps = 80 if sigma < 0.01 else 30  # the reference cancels to sigma^4 / 12
    spline = two_point(Tension().with_uniform_tension(sigma), slopes)
    assert worst_error(spline, pieces(spline)[0]) <= ULPS


@pytest.mark.parametrize("k", [3.0, 3.7, 8.5, 20.0, 50.0])
def test_variable_degree_piece(k):
    mp.mp.dps = 30
    spline = two_point(VariableDegree(), (-3.0, 7.0))
    x0, h, y0 = struct.unpack_from("<3d", spline.__reduce__()[1][1], 34)
    m0, m1, scale = 30.0, -12.0, (h * h) / (k * (k - 1))
    spline = rewritten(spline, [k, x0, h, y0, m0, m1, k, (2.5 - y0) - (m1 - m0) * scale, scale], 26)
    assert worst_error(spline, pieces(spline)[0]) <= ULPS


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


def test_saved_splines_integrate_to_the_same_bits(spline):
    xs = np.linspace(spline.domain[0] - 1, spline.domain[1] + 1, 97)
    fresh = pickle.loads(pickle.dumps(spline))
    before = np.asarray(spline.antiderivative_batch(xs)).view(np.uint64)
    for other in (fresh, pickle.loads(pickle.dumps(spline))):
        assert np.array_equal(np.asarray(other.antiderivative_batch(xs)).view(np.uint64), before)
