"""Integrals and third derivatives of a spline's pieces against a
high-precision reference: the helpers of the shared calculus tests and of
each method's own piece tests. Integral errors are in units of eps times the
integral of |S| over the piece; third derivative errors, of eps times the
largest |S'''| on it.

A method's reference (REFERENCE in its own tests) takes the fields of its
piece and returns (x0, h, S of t = (x - x0) / h); S may carry `third(t, x)`,
S''' in closed form, and `loses`, for a form whose derivatives cancel (see
`worst_third_error`). A reference that takes `x1` gets the piece's right
knot as well."""

import inspect
import struct
import zlib

import mpmath as mp
import numpy as np

from velarix import EndSlopes

ULPS = 8
FRACTIONS = [1e-9, 1e-3, 0.37, 0.999, 1 - 1e-9, 1.0]
SECANT = 1.5 / 0.7  # of the two-point data of `two_point`


def pieces(spline, reference):
    """(x0, h, S of t = (x - x0) / h) per piece, from the piece's own fields."""
    fields = [{name: mp.mpf(v) for name, v in piece.items()} for piece in spline.pieces]
    if "x1" in inspect.signature(reference).parameters and fields and "x1" not in fields[0]:
        for f, x1 in zip(fields, [g["x0"] for g in fields[1:]] + [spline.domain[1]]):
            f["x1"] = x1
    return [reference(**f) for f in fields]


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


def third(piece, x, order=3):
    """S''' (or S^(order)) at the piece's own t = (x - x0) / h: its rounding is not counted."""
    x0, h, value = piece
    t = mp.mpf((x - float(x0)) / float(h))
    if order == 3 and hasattr(value, "third"):
        return value.third(t, x)
    return mp.diff(value, t, order) / h**order


def worst_third_error(spline, piece):
    """The largest error of spline.third_derivative across the piece. A form
    that cancels in every derivative (`loses`: a power form, differences of
    gaps and bends) may lose in S''' ULPS times what its S'' loses, in eps
    times S''' + S''/h + S'/h^2 and S'' + S'/h."""
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
