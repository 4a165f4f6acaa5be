"""Draws the pictures of README and the guide. docs/methods.png: on each classic data set,
every velarix method that accepts the data beside a plain cubic spline and
PCHIP, with the second derivative underneath. None of the classic sets is
convex, so a small convex table is added to show the rational cubic too.
docs/strict.png (beside the first): the strict and the published tension
policies, PCHIP and the cubic spline on a step and on the Fritsch–Carlson
data, again with the second derivative underneath. docs/quintic.png (beside
both): the quintic beside the strict tension policy, PCHIP and the cubic
spline on the step and on a smooth bump whose maximum lies at a knot.
docs/smoothing.png (beside all three): noisy monotone and noisy monotone
convex readings, the smoother held to the shape beside the same smoother
unconstrained (both choosing their own smoothing), with the truth.
docs/periodic.png: a cam's radius by angle fitted with periodic ends, by
velarix and by a periodic cubic spline, and the closed outlines they draw.
docs/long_record.png: a long weekly record with a seasonal cycle, smoothed
with a knot at every reading beside scipy's smoothing spline and beside 100
knots, each choosing its smoothing by GCV.
docs/grid.png: a monotone table of two variables with flat stretches, along
lines of each axis, by velarix.interpolate_grid and by RegularGridInterpolator's
cubic mode, with the first one's heat map.

    PYTHONPATH=build/python /usr/bin/python3 docs/make_figures.py [methods.png]

Needs matplotlib and scipy (the two references come from scipy).
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy.interpolate import (  # noqa: E402
    CubicSpline, PchipInterpolator, RegularGridInterpolator, make_smoothing_spline)

import velarix  # noqa: E402
from velarix import datasets  # noqa: E402
from velarix._registry import RECORDS as REGISTRY  # noqa: E402


def convex():
    """A decay curve sampled unevenly: convex throughout, with a knee."""
    x = np.array([0.0, 0.3, 0.6, 1.0, 1.5, 2.5, 3.5, 5.0, 8.0])
    return x, 1.0 / (x + 0.5)


DATA = [
    ("Akima (1970)", datasets.akima),
    ("Fritsch–Carlson RPN 15A", datasets.fritsch_carlson),
    ("de Boor's titanium", datasets.titanium),
    ("convex decay 1/(x + 0.5)", convex),
]

# Every registered method's default configuration, in its record's colour.
VELARIX = [
    (f"velarix {m.configuration.__name__}", m.configuration(), m.colour) for m in REGISTRY.values()
]

# The references are drawn thin and dashed, so the eye reads velarix first.
REFERENCES = [
    ("cubic spline (scipy)", lambda x, y: CubicSpline(x, y, bc_type="not-a-knot"), "tab:red"),
    ("PCHIP (scipy)", PchipInterpolator, "tab:orange"),
]


def curves(x, y, grid):
    """(label, colour, style, values, second derivatives) of every fit."""
    out = []
    for label, config, colour in VELARIX:
        try:
            spline = config.fit(x, y)
        except ValueError:
            continue  # the rational cubic refuses data whose curvature changes
        out.append((label, colour, "-", np.asarray(spline.value_batch(grid)),
                    np.asarray(spline.second_derivative_batch(grid))))
    for label, make, colour in REFERENCES:
        f = make(np.asarray(x), np.asarray(y))
        out.append((label, colour, "--", f(grid), f(grid, 2)))
    return out


def step():
    """Flat, a narrow riser, flat."""
    x = np.array([0.0, 1, 2, 3, 4, 4.05, 5.05, 6.05, 7.05, 8.05])
    return x, np.where(x < 4.02, 0.0, 1.0)


POLICIES = [
    ("velarix Tension, strict", velarix.Tension().with_strict_shape(), "tab:blue", "-", 1.8),
    ("velarix Tension, published policy", velarix.Tension(), "tab:cyan", "-", 1.2),
]


def strict_figure(path):
    data = [("a step", step), ("Fritsch–Carlson RPN 15A", datasets.fritsch_carlson)]
    fig, axes = plt.subplots(2, len(data), figsize=(12, 7), sharex="col",
                             gridspec_kw={"height_ratios": [2, 1]})
    for column, (title, load) in enumerate(data):
        x, y = (np.asarray(v) for v in load())
        grid = np.linspace(x[0], x[-1], 4000)
        top, bottom = axes[0, column], axes[1, column]
        spread = 0.0
        for label, config, colour, style, width in POLICIES:
            spline = config.fit(x, y)
            second = np.asarray(spline.second_derivative_batch(grid))
            top.plot(grid, spline.value_batch(grid), style, color=colour, linewidth=width,
                     label=label)
            bottom.plot(grid, second, style, color=colour, linewidth=width)
            # The strict fit's curvature lives in layers far narrower than
            # the grid; the scale is the published policy's.
            if config.uniform_tension is None and config == velarix.Tension():
                spread = np.abs(second).max()
        for label, make, colour in REFERENCES:
            f = make(x, y)
            top.plot(grid, f(grid), "--", color=colour, linewidth=1.0, label=label)
            bottom.plot(grid, f(grid, 2), "--", color=colour, linewidth=1.0)
        top.plot(x, y, "ko", markersize=4, label="data", zorder=5)
        top.set_title(title)
        bottom.axhline(0, color="0.7", linewidth=0.8)
        bottom.set_xlabel("x")
        bottom.set_ylim(-1.15 * spread, 1.15 * spread)
    axes[0, 0].set_ylabel("S(x)")
    axes[1, 0].set_ylabel("S''(x)")
    handles, labels = axes[0, 0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=len(labels), frameon=False)
    fig.suptitle("The strict tension policy keeps flats flat and monotone data monotone; "
                 "second derivative below")
    fig.tight_layout(rect=(0, 0.05, 1, 0.97))
    fig.savefig(path, dpi=80)
    plt.close(fig)


def riser():
    """Flat, one interval rising as wide as the others, flat."""
    x = np.arange(10.0)
    return x, np.where(x < 4.5, 0.0, 1.0)


def bump():
    """A smooth bump sampled at 9 uneven knots, its maximum at the knot x = 0."""
    x = np.array([-3.0, -2.2, -1.5, -0.8, 0.0, 0.6, 1.3, 2.1, 3.0])
    return x, np.exp(-0.5 * x * x)


QUINTIC_FITS = [
    ("velarix Quintic", velarix.Quintic(), REGISTRY["quintic"].colour, 1.8),
    ("velarix Tension, strict", velarix.Tension().with_strict_shape(), REGISTRY["tension"].colour, 1.2),
]


def quintic_figure(path):
    data = [("a step", riser), ("a bump exp(-x²/2), its maximum at a knot", bump)]
    fig, axes = plt.subplots(2, len(data), figsize=(12, 7), sharex="col",
                             gridspec_kw={"height_ratios": [2, 1]})
    for column, (title, load) in enumerate(data):
        x, y = (np.asarray(v) for v in load())
        grid = np.linspace(x[0], x[-1], 4000)
        top, bottom = axes[0, column], axes[1, column]
        spread = 0.0
        for label, config, colour, width in QUINTIC_FITS:
            spline = config.fit(x, y)
            second = np.asarray(spline.second_derivative_batch(grid))
            top.plot(grid, spline.value_batch(grid), color=colour, linewidth=width, label=label)
            bottom.plot(grid, second, color=colour, linewidth=width)
            # The strict fit's curvature layers are far narrower than the
            # grid and far taller than the quintic's; the scale is the quintic's.
            if isinstance(config, velarix.Quintic):
                spread = np.abs(second).max()
        for label, make, colour in REFERENCES:
            f = make(x, y)
            top.plot(grid, f(grid), "--", color=colour, linewidth=1.0, label=label)
            bottom.plot(grid, f(grid, 2), "--", color=colour, linewidth=1.0)
        top.plot(x, y, "ko", markersize=4, label="data", zorder=5)
        top.set_title(title)
        # The cubic spline's overshoot leaves the frame; the data stay in it.
        top.set_ylim(y.min() - 0.2 * np.ptp(y), y.max() + 0.2 * np.ptp(y))
        bottom.axhline(0, color="0.7", linewidth=0.8)
        bottom.set_xlabel("x")
        bottom.set_ylim(-1.15 * spread, 1.15 * spread)
    axes[0, 0].set_ylabel("S(x)")
    axes[1, 0].set_ylabel("S''(x)")
    handles, labels = axes[0, 0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=len(labels), frameon=False)
    fig.suptitle("The quintic is exactly flat on flats and C² with a bounded second derivative; "
                 "second derivative below")
    fig.tight_layout(rect=(0, 0.05, 1, 0.97))
    fig.savefig(path, dpi=80)
    plt.close(fig)


def dose_response(rng):
    """A sigmoid response read at 80 uneven doses with 6 % noise: increasing."""
    x = np.sort(rng.uniform(0.0, 10.0, 80))
    truth = lambda v: 1.0 / (1.0 + np.exp(-1.2 * (v - 5.0)))  # noqa: E731
    return x, truth(x) + rng.normal(0.0, 0.06, x.size), truth


def onset(rng):
    """Flat, then rising ever faster (a soft hinge) with noise: increasing convex."""
    x = np.sort(rng.uniform(0.0, 10.0, 80))
    truth = lambda v: np.log1p(np.exp(1.2 * (v - 6.0))) / 5.0  # noqa: E731
    return x, truth(x) + rng.normal(0.0, 0.05, x.size), truth


# The seeds draw noise of the kind the unconstrained smoother turns back on;
# on most draws it breaks the shape less visibly, but it breaks it.
SMOOTHING_DATA = [
    ("noisy dose–response", dose_response, 4, "increasing"),
    ("noisy onset", onset, 0, "increasing convex"),
]


def smoothing_figure(path):
    fig, axes = plt.subplots(2, len(SMOOTHING_DATA), figsize=(12, 7), sharex="col",
                             gridspec_kw={"height_ratios": [2, 1]})
    for column, (title, make, seed, shape) in enumerate(SMOOTHING_DATA):
        x, y, truth = make(np.random.default_rng(seed))
        grid = np.linspace(x[0], x[-1], 2000)
        top, bottom = axes[0, column], axes[1, column]
        fits = [(f"velarix.smooth(x, y, \"{shape}\")", velarix.smooth(x, y, shape),
                 "tab:blue", 1.8),
                ("velarix.smooth(x, y, shape=None)", velarix.smooth(x, y, shape=None),
                 "tab:red", 1.2)]
        for label, f, colour, width in fits:
            top.plot(grid, f(grid), color=colour, linewidth=width, label=label)
            bottom.plot(grid, f(grid, 2), color=colour, linewidth=width)
        top.plot(grid, truth(grid), ":", color="0.3", linewidth=1.0, label="truth")
        top.plot(x, y, "o", color="0.2", markersize=3, label="data", zorder=5)
        top.set_title(f"{title} ({shape})")
        bottom.axhline(0, color="0.7", linewidth=0.8)
        bottom.set_xlabel("x")
    axes[0, 0].set_ylabel("S(x)")
    axes[1, 0].set_ylabel("S''(x)")
    handles, labels = axes[0, 0].get_legend_handles_labels()
    labels[0] = "velarix.smooth held to the shape"
    fig.legend(handles, labels, loc="lower center", ncol=len(labels), frameon=False)
    fig.suptitle("Smoothing noisy data: held to the known shape (blue) or unconstrained (red), "
                 "each with its own GCV; second derivative below")
    fig.tight_layout(rect=(0, 0.05, 1, 0.97))
    fig.savefig(path, dpi=80)
    plt.close(fig)


def weekly_record(rng):
    """43 years of weekly readings: a rising trend, a yearly cycle and noise."""
    t = 1980.0 + np.arange(2225) * 7.0 / 365.25
    truth = lambda v: (340.0 + 1.6 * (v - 1980.0) + 0.012 * (v - 1980.0) ** 2  # noqa: E731
                       + 3.0 * np.sin(2 * np.pi * v) + 0.8 * np.sin(4 * np.pi * v + 1.0))
    return t, np.round(truth(t) + rng.normal(0.0, 0.5, t.size), 2), truth


def long_record_figure(path):
    x, y, truth = weekly_record(np.random.default_rng(3))
    fits = [("velarix.smooth(t, y): a knot at every reading", velarix.smooth(x, y), "tab:blue", 1.6),
            ("scipy make_smoothing_spline(t, y)", make_smoothing_spline(x, y), "tab:orange", 1.0),
            ("velarix.smooth(t, y, knots=100)", velarix.smooth(x, y, knots=100), "tab:red", 1.0)]
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.5), gridspec_kw={"width_ratios": [2, 1]})
    for ax, (lo, hi) in zip(axes, [(x[0], x[-1]), (2010.0, 2012.0)]):
        grid = np.linspace(lo, hi, 4000)
        inside = (x >= lo) & (x <= hi)
        ax.plot(x[inside], y[inside], ".", color="0.6", markersize=2, label="weekly readings")
        for label, f, colour, width in fits:
            rms = np.sqrt(np.mean((f(x) - truth(x)) ** 2))
            ax.plot(grid, f(grid), color=colour, linewidth=width,
                    label=f"{label}, RMS error {rms:.2f}")
        ax.set_xlim(lo, hi)
        ax.set_xlabel("year")
    axes[0].set_ylabel("reading")
    axes[1].set_title("2010 and 2011")
    axes[1].set_xticks([2010.0, 2010.5, 2011.0, 2011.5, 2012.0])
    handles, labels = axes[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=2, frameon=False)
    fig.suptitle("A long seasonal record (2,225 weekly readings), each fit choosing lam by GCV")
    fig.tight_layout(rect=(0, 0.12, 1, 0.95))
    fig.savefig(path, dpi=80)
    plt.close(fig)


def cam():
    """A cam's radius at 15 angles: a dwell on the base circle across the
    wrap, a rise, a dwell at full lift, a fall; the guide's example."""
    degrees = np.array([0, 30, 60, 90, 120, 150, 180, 200, 220, 240, 260, 280, 300, 330, 360.0])
    r = np.array([1, 1, 1, 1, 1, 1, 1.1, 1.35, 1.6, 1.6, 1.6, 1.35, 1.1, 1, 1.0])
    return np.radians(degrees), r


def periodic_figure(path):
    """The cam fitted with periodic ends by velarix (strict tension) and by a
    periodic cubic spline: the radius over one and a half turns, the second
    derivative under it, and the closed outlines."""
    theta, r = cam()
    turn = theta[-1]
    fits = [("velarix interpolate(..., bc_type=\"periodic\")",
             velarix.interpolate(theta, r, bc_type="periodic"), "tab:blue", "-"),
            ("periodic cubic spline (scipy)", CubicSpline(theta, r, bc_type="periodic"),
             "tab:red", "--")]
    fig = plt.figure(figsize=(14, 6))
    radius_axes = fig.add_subplot(2, 2, 1)
    bend_axes = fig.add_subplot(2, 2, 3, sharex=radius_axes)
    outline_axes = fig.add_subplot(1, 2, 2)
    # Fine enough to draw the tension spline's narrow curvature layers at
    # the knots where the lift starts and ends.
    grid = np.linspace(-0.25 * turn, 1.25 * turn, 30001)
    for label, f, colour, style in fits:
        # The cubic spline is evaluated on its period as velarix continues by it.
        values = f(np.mod(grid, turn)) if style == "--" else f(grid)
        bend = f(np.mod(grid, turn), 2) if style == "--" else f(grid, 2)
        radius_axes.plot(np.degrees(grid), values, style, color=colour, label=label)
        bend_axes.plot(np.degrees(grid), bend, style, color=colour)
        around = np.linspace(0.0, turn, 2001)
        outline = f(around)
        outline_axes.plot(outline * np.cos(around), outline * np.sin(around), style, color=colour)
    for shift in (-turn, 0.0, turn):
        kept = (theta + shift >= grid[0]) & (theta + shift <= grid[-1])
        radius_axes.plot(np.degrees(theta[kept] + shift), r[kept], "ko", markersize=4)
    outline_axes.plot(r * np.cos(theta), r * np.sin(theta), "ko", markersize=4, label="data")
    for edge in (0.0, 360.0):
        radius_axes.axvline(edge, color="0.8", linewidth=0.8)
        bend_axes.axvline(edge, color="0.8", linewidth=0.8)
    bend_axes.axhline(0, color="0.7", linewidth=0.8)
    radius_axes.set_ylabel("radius r(θ)")
    bend_axes.set_ylabel("r''(θ)")
    bend_axes.set_xlabel("θ (degrees); the grey lines mark one period")
    radius_axes.legend(loc="upper left", frameon=False)
    outline_axes.set_aspect("equal")
    outline_axes.set_title("the closed outline (r cos θ, r sin θ)")
    fig.suptitle("A cam with periodic ends: dwells stay circles, the lift is not overshot")
    fig.tight_layout(rect=(0, 0, 1, 0.95))
    fig.savefig(path, dpi=80)
    plt.close(fig)


def grid_figure(path):
    x = np.array([0.0, 1, 2, 4, 5, 6, 8, 9])
    y = np.array([0.0, 1, 3, 4, 6, 7])
    rises = np.array([0.0, 0.2, 3, 0, 0, 0.3, 4, 0.1])[:, None] * np.array([1.0, 1, 0.2, 0, 2, 0.5])
    values = rises.cumsum(0).cumsum(1) + 0.05 * x[:, None]
    f = velarix.interpolate_grid((x, y), values)
    peer = RegularGridInterpolator((x, y), values, method="cubic")
    fig, (left, middle, right) = plt.subplots(1, 3, figsize=(16, 4.5))
    gx, gy = np.linspace(x[0], x[-1], 600), np.linspace(y[0], y[-1], 400)
    for at, colour in ((3.0, "tab:blue"), (6.0, "tab:green")):
        line = np.column_stack([np.full(gx.size, at), gx][::-1])
        left.plot(gx, f(line), color=colour, linewidth=1.8, label=f"velarix, y = {at}")
        left.plot(gx, peer(line), "--", color=colour, linewidth=1.0, label=f"RGI cubic, y = {at}")
    left.plot(x, values[:, 2], "ko", markersize=4, label="data, y = 3")
    left.plot(x, values[:, 4], "ks", markersize=4, label="data, y = 6")
    left.set_xlabel("x")
    left.set_title("along x")
    left.legend(fontsize=8)
    for at, colour in ((3.0, "tab:blue"), (7.0, "tab:red")):
        line = np.column_stack([np.full(gy.size, at), gy])
        middle.plot(gy, f(line), color=colour, linewidth=1.8, label=f"velarix, x = {at}")
        middle.plot(gy, peer(line), "--", color=colour, linewidth=1.0, label=f"RGI cubic, x = {at}")
    middle.set_xlabel("y")
    middle.set_title("along y")
    middle.legend(fontsize=8)
    z = f.grid(gx, gy)
    mesh = right.pcolormesh(gx, gy, z.T, shading="auto", cmap="viridis")
    right.contour(gx, gy, z.T, levels=14, colors="white", linewidths=0.6)
    xx, yy = np.meshgrid(x, y, indexing="ij")
    right.scatter(xx.ravel(), yy.ravel(), s=10, c="black")
    fig.colorbar(mesh, ax=right)
    right.set_title("velarix.interpolate_grid")
    fig.suptitle("A monotone table with flat stretches: interpolate_grid (solid) stays monotone "
                 "and flat; the tensor cubic (dashed) turns back")
    fig.tight_layout(rect=(0, 0, 1, 0.94))
    fig.savefig(path, dpi=80)
    plt.close(fig)


def main(path):
    here = os.path.dirname(os.path.abspath(path))
    grid_figure(os.path.join(here, "grid.png"))
    smoothing_figure(os.path.join(here, "smoothing.png"))
    long_record_figure(os.path.join(here, "long_record.png"))
    strict_figure(os.path.join(here, "strict.png"))
    quintic_figure(os.path.join(here, "quintic.png"))
    periodic_figure(os.path.join(here, "periodic.png"))
    fig, axes = plt.subplots(2, len(DATA), figsize=(18, 7.5), sharex="col",
                             gridspec_kw={"height_ratios": [2, 1]})
    legend = {}
    for column, (title, load) in enumerate(DATA):
        x, y = load()
        grid = np.linspace(x[0], x[-1], 2000)
        top, bottom = axes[0, column], axes[1, column]
        fits = curves(x, y, grid)
        for label, colour, style, values, second in fits:
            width = 1.8 if style == "-" else 1.0
            top.plot(grid, values, style, color=colour, linewidth=width, label=label)
            bottom.plot(grid, second, style, color=colour, linewidth=width)
        top.plot(x, y, "ko", markersize=4, label="data", zorder=5)
        top.set_title(title)
        bottom.axhline(0, color="0.7", linewidth=0.8)
        bottom.set_xlabel("x")
        # The cubic spline's curvature swings far beyond the others on these
        # data; clip to the range of the shape-preserving fits.
        spread = max(np.abs(second).max() for _, _, style, _, second in fits if style == "-")
        bottom.set_ylim(-1.15 * spread, 1.15 * spread)
        for handle, label in zip(*top.get_legend_handles_labels()):
            legend.setdefault(label, handle)
    axes[0, 0].set_ylabel("S(x)")
    axes[1, 0].set_ylabel("S''(x)")
    order = [label for label, _, _ in VELARIX + REFERENCES] + ["data"]
    labels = sorted(legend, key=order.index)
    fig.legend([legend[label] for label in labels], labels, loc="lower center", ncol=len(legend),
               frameon=False)
    fig.suptitle("Shape-preserving C² fits (solid) against a cubic spline and PCHIP (dashed); "
                 "second derivative below")
    fig.tight_layout(rect=(0, 0.05, 1, 0.97))
    fig.savefig(path, dpi=80)
    plt.close(fig)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "methods.png"))
