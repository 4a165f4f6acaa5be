"""The grid rows of the benchmark: velarix.interpolate_grid beside scipy's
RegularGridInterpolator (linear and cubic) and RectBivariateSpline, in one run.

speed (on one thread, as the peers): evaluation of 1e6 random points (65² and
33³), the peers' cubic mode per point, fits (257² against RectBivariateSpline's construction, 33³), and f.grid on a
1000² product grid against the same points through f(xi).
memory: the peak resident growth of a fit and of 1e6 evaluations, in a fresh
interpreter each.
shape: turn-backs along axis-parallel lines in cells whose data agree, flat cells,
interpolation and C² jumps on random monotone grids (2-D with and without flats,
3-D, 4-D), and convexity along lines on convex grids (not guaranteed).
"""

import os
import subprocess
import sys

import numpy as np
from scipy.interpolate import RectBivariateSpline, RegularGridInterpolator
from scipy.special import ndtr

import velarix
from peak import PEAK_RESET


def _uneven(rng, n):
    x = np.concatenate(([0.0], np.cumsum(rng.uniform(0.2, 1.8, n - 1))))
    return x / x[-1]


def monotone(rng, dims, lo, hi, flats):
    """A random table monotone along every axis: running sums of squared exponential
    steps, whole slabs of which are 0 with flats."""
    axes = tuple(_uneven(rng, int(rng.integers(lo, hi + 1))) for _ in range(dims))
    steps = rng.exponential(size=tuple(x.size for x in axes)) ** 2
    if flats:
        for a, x in enumerate(axes):
            index = [slice(None)] * dims
            index[a] = rng.random(x.size) < 0.3
            steps[tuple(index)] = 0
    for a in range(dims):
        steps = np.cumsum(steps, axis=a)
    return axes, steps


def convex(rng, dims, lo, hi):
    """A random convex table: per axis a convex polygon (rising slopes, some repeated:
    straight stretches), summed, plus a convex coupling exp(x + y)."""
    axes = tuple(_uneven(rng, int(rng.integers(lo, hi + 1))) for _ in range(dims))
    parts = []
    for x in axes:
        slopes = np.cumsum(np.where(rng.random(x.size - 1) < 0.3, 0.0,
                                    rng.exponential(size=x.size - 1) ** 2))
        parts.append(np.concatenate(([0.0], np.cumsum(slopes * np.diff(x)))))
    mesh = np.meshgrid(*parts, indexing="ij")
    coupling = np.exp(sum(np.meshgrid(*axes, indexing="ij")))
    return axes, sum(mesh) + coupling


def lines(axes, rng, count, points=400, nodes=True):
    """`count` axis-parallel lines between grid lines: (axis, coordinates (points, N)),
    the grid's crossings among the samples when `nodes`."""
    for k in range(count):
        a = k % len(axes)
        base = [rng.uniform(x[0], x[-1]) for x in axes]
        along = np.linspace(axes[a][0], axes[a][-1], points)
        if nodes:
            along = np.unique(np.concatenate((along, axes[a])))
        xi = np.tile(base, (along.size, 1))
        xi[:, a] = along
        yield a, xi


def cell_signs(values, a):
    """Per cell along axis a: +1, -1, 0 (flat) or 2 (the edges disagree)."""
    edges = np.diff(values, axis=a)
    for b in range(values.ndim):
        if b != a:
            edges = np.stack([edges.take(range(0, edges.shape[b] - 1), b),
                              edges.take(range(1, edges.shape[b]), b)], axis=-1)
            up, down = (edges >= 0).all(-1), (edges <= 0).all(-1)
            edges = np.where(up & down, 0.0, np.where(up, 1.0, np.where(down, -1.0, np.nan)))
    return np.nan_to_num(np.sign(edges), nan=2.0)


def shape_counts(axes, values, f, rng, count):
    """Turn-backs above 1e-13 of the range in cells whose edges agree; flats off in ulps."""
    span = np.ptp(values)
    turns, worst, flat_ulps = 0, 0.0, 0.0
    for a, xi in lines(axes, rng, count):
        v = f(xi)
        cells = [np.clip(np.searchsorted(x, xi[:, b], side="right") - 1, 0, x.size - 2)
                 for b, x in enumerate(axes)]
        signs = cell_signs(values, a)[tuple(cells)]
        step = np.diff(v)
        sign = signs[:-1]  # the cell of each step's left end
        bad = np.where(sign == 1, -step, np.where(sign == -1, step, np.where(sign == 0, np.abs(step), -1)))
        turns += int(np.sum(bad > 1e-13 * span))
        worst = max(worst, float(bad.max(initial=0)) / span)
        flat = sign == 0
        if flat.any():
            flat_ulps = max(flat_ulps, float(np.abs(step[flat]).max() / np.spacing(np.abs(v).max())))
    return turns, worst, flat_ulps


def convex_violations(axes, f, rng, count):
    """The deepest dip of a sample below its neighbours' chord, relative to the range."""
    worst = 0.0
    for _, xi in lines(axes, rng, count, points=401, nodes=False):
        v = f(xi)
        chord = (v[:-2] + v[2:]) / 2 - v[1:-1]
        worst = max(worst, float(-chord.min(initial=0)) / np.ptp(v))
    return worst


def bench_grid_shape(table, quick):
    rng = np.random.default_rng(36)
    count = 10 if quick else 40
    sets = [("2-D strict", 2, 4, 30, False, count), ("2-D flats", 2, 4, 30, True, count),
            ("3-D flats", 3, 4, 9, True, 3 if quick else 12), ("4-D flats", 4, 4, 6, True, 3)]
    for label, dims, lo, hi, flats, grids in sets:
        turned = {"shape": 0, "cubic": 0}
        worst = {"shape": 0.0, "cubic": 0.0}
        flat_ulps = interp_ulps = 0.0
        for _ in range(grids):
            axes, values = monotone(rng, dims, lo, hi, flats)
            for method in ("shape", "cubic"):
                f = velarix.interpolate_grid(axes, values, method=method)
                turns, bad, ulps = shape_counts(axes, values, f, rng, 100 if dims > 2 else 400)
                turned[method] += turns > 0
                worst[method] = max(worst[method], bad)
                if method == "shape":
                    flat_ulps = max(flat_ulps, ulps)
                    at = f.grid(*axes)
                    interp_ulps = max(interp_ulps, float(np.abs(at - values).max()
                                                         / np.spacing(np.abs(values).max())))
        table.add(label, grids, f"{turned['shape']}/{grids} ({worst['shape']:.1e})",
                  f"{turned['cubic']}/{grids} ({worst['cubic']:.1e})", f"{flat_ulps:.0f}",
                  f"{interp_ulps:.0f}")
    convex_bad = {"shape": 0, "cubic": 0}
    convex_worst = {"shape": 0.0, "cubic": 0.0}
    for _ in range(count):
        axes, values = convex(rng, 2, 4, 30)
        for method in convex_bad:
            w = convex_violations(axes, velarix.interpolate_grid(axes, values, method=method), rng, 100)
            convex_bad[method] += w > 1e-13
            convex_worst[method] = max(convex_worst[method], w)
    table.add("2-D convex (convexity)", count,
              f"{convex_bad['shape']}/{count} ({convex_worst['shape']:.1e})",
              f"{convex_bad['cubic']}/{count} ({convex_worst['cubic']:.1e})", "-", "-")


def bench_grid_speed(table, timed_pair, quick):
    rng = np.random.default_rng(37)
    m = 2 * 10**5 if quick else 10**6
    repeats = 3 if quick else 5
    for n, dims in ((65, 2), (33, 3)):
        axes = tuple(np.linspace(0, 1, n) for _ in range(dims))
        values = np.exp(sum(np.meshgrid(*axes, indexing="ij")))
        xi = rng.random((m, dims))
        f = velarix.interpolate_grid(axes, values, workers=1)  # one thread, as the peer
        peer = RegularGridInterpolator(axes, values, method="linear")
        (ours, _), (theirs, _) = timed_pair(lambda: f(xi), lambda: peer(xi), repeats)
        table.add(f"evaluate {m:.0e} points", f"{n}^{dims}", f"{ours * 1e9 / m:.0f} ns/pt",
                  f"RGI linear {theirs * 1e9 / m:.0f} ns/pt", f"{ours / theirs:.2f}")
        if dims == 2:
            cubic = RegularGridInterpolator(axes, values, method="cubic")
            few = xi[:1000]
            (_, _), (theirs, _) = timed_pair(lambda: f(few), lambda: cubic(few), 1)
            table.add("evaluate, per point", f"{n}^{dims}", f"{ours * 1e9 / m:.0f} ns/pt",
                      f"RGI cubic {theirs * 1e6 / 1000:.0f} us/pt", f"{ours / m / (theirs / 1000):.1e}")
    x = np.linspace(0, 1, 257)
    values = ndtr(3 * (x[:, None] - 0.4)) * ndtr(3 * (x[None, :] - 0.6))
    (ours, _), (theirs, _) = timed_pair(lambda: velarix.interpolate_grid((x, x), values),
                                        lambda: RectBivariateSpline(x, x, values, kx=3, ky=3, s=0),
                                        repeats)
    table.add("fit", "257^2", f"{ours * 1e3:.1f} ms", f"RectBivariateSpline {theirs * 1e3:.1f} ms",
              f"{ours / theirs:.1f}")
    x3 = np.linspace(0, 1, 33)
    values3 = np.exp(sum(np.meshgrid(x3, x3, x3, indexing="ij")))
    (ours, _), (again, _) = timed_pair(lambda: velarix.interpolate_grid((x3,) * 3, values3),
                                       lambda: velarix.interpolate_grid((x3,) * 3, values3), repeats)
    table.add("fit", "33^3", f"{ours * 1e3:.0f} ms", "target 1000 ms", f"{ours:.2f}")
    f = velarix.interpolate_grid((x, x), values, workers=1)
    g = np.linspace(0, 1, 1000)
    mesh = np.stack(np.meshgrid(g, g, indexing="ij"), axis=-1)
    (ours, _), (theirs, _) = timed_pair(lambda: f.grid(g, g), lambda: f(mesh), repeats)
    table.add("f.grid vs f(xi)", "1000^2 on 257^2", f"{ours * 1e3:.0f} ms", f"f(xi) {theirs * 1e3:.0f} ms",
              f"{ours / theirs:.2f}")


MEMORY_CHILD = r"""
import ctypes, sys
import numpy as np
sys.path[:0] = sys.argv[3:]
import velarix
from scipy.interpolate import RegularGridInterpolator
what, n = sys.argv[1], int(sys.argv[2])
dims = 2 if n > 30 else 4
axes = tuple(np.linspace(0, 1, n) for _ in range(dims))
values = np.exp(sum(np.meshgrid(*axes, indexing="ij")))
xi = np.random.default_rng(0).random((10**6, dims))
""" + PEAK_RESET + r"""
if what.startswith("velarix"):
    f = velarix.interpolate_grid(axes, values, method=what.split()[1])
else:
    f = RegularGridInterpolator(axes, values, method=what.split()[1])
fit = status("VmHWM") - before
f(xi)
print(fit, status("VmHWM") - before)
"""


def bench_grid_memory(table):
    for n in (65, 20):
        # (The peer's cubic mode refits per point: 1e6 of them take minutes.)
        for what in ("velarix shape", "velarix cubic", "velarix linear", "RGI linear"):
            result = subprocess.run([sys.executable, "-c", MEMORY_CHILD, what, str(n), *sys.path],
                                    capture_output=True, text=True, check=True,
                                    env=dict(os.environ))
            fit, total = (int(v) for v in result.stdout.split())
            dims = 2 if n > 30 else 4
            table.add(f"{n}^{dims}", what, f"{fit / 1e6:.1f}", f"{total / 1e6:.1f}")
