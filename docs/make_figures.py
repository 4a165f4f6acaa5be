"""Draws docs/methods.png, the README's picture: on each classic data set,
every velarix method that accepts the data beside a plain cubic spline and
PCHIP, with the second derivative underneath. None of the classic sets is
convex, so a small convex table is added to show the rational cubic too.

    PYTHONPATH=build/python /usr/bin/python3 docs/make_figures.py

Needs matplotlib and scipy (the two references come from scipy).
"""

import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy.interpolate import CubicSpline, PchipInterpolator  # noqa: E402

import velarix  # noqa: E402
from velarix import datasets  # noqa: E402

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

# Every method's default configuration, from the module's one list of classes
# (a configuration is registered beside its fitted spline class). The colours
# fix the drawing order; a method without one is drawn last, in brown.
COLOURS = {"Tension": "tab:blue", "VariableDegree": "tab:green", "RationalCubic": "tab:purple"}
METHODS = [name for name in velarix.__all__ if f"{name}Spline" in velarix.__all__]
VELARIX = [
    (f"velarix {name}", getattr(velarix, name)(), COLOURS.get(name, "tab:brown"))
    for name in sorted(METHODS, key=lambda name: list(COLOURS).index(name)
                       if name in COLOURS else len(COLOURS))
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


def main(path):
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
