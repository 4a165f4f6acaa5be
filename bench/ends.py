"""Fit cost of each end condition beside limited end slopes, at 1e6 knots.

    PYTHONPATH=build/python python3 bench/ends.py [--knots N] [--repeats R] [--points P]
                                                  [--evaluation-only]

Every method of the module's records is fitted to the same periodic data (a
sampled sine of 1000 periods plus a smaller harmonic, on uneven knots, the
last value equal to the first) with each end condition it accepts; the
tension method also under its policies. A method that refuses those data
(one curvature sign only) is fitted to a sampled parabola instead, with
the conditions it accepts there. Each figure is the median of the repeats
after one warm-up fit, with its ratio to the same configuration's fit with
limited end slopes; the fits of one configuration take turns in every
repeat, so that a load that comes and goes on the machine falls on all of
them alike.

Then, for every method that takes periodic ends, the evaluation of points
outside the knots with periodic extrapolation (each a whole number of
periods, 1 to 10 either way, from a point inside) beside the evaluation of
the same points inside: the cost of mapping into the period.
"""

import argparse
import statistics
import time

import numpy as np

import velarix
from velarix import EndSlopes, _velarix


def periodic_data(n, seed=20261208):
    rng = np.random.default_rng(seed)
    x = np.cumsum(0.5 + rng.random(n))
    x = (x - x[0]) / (x[-1] - x[0]) * 2 * np.pi * 1000
    y = np.sin(x) + 0.3 * np.cos(3 * x)
    y[-1] = y[0]
    return x, y


def convex_data(x):
    return (x / x[-1]) ** 2


def seconds(fit, x, y):
    start = time.perf_counter()
    fit(x, y)
    return time.perf_counter() - start


def median_seconds(fits, x, y, repeats, arguments=None):
    """The median time of each fit, the fits taking turns in every repeat
    (each on its own arguments where they are given)."""
    arguments = arguments or [(x, y)] * len(fits)
    for fit, (a, b) in zip(fits, arguments):
        fit(a, b)
    times = [[seconds(fit, a, b) for fit, (a, b) in zip(fits, arguments)] for _ in range(repeats)]
    return [statistics.median(column) for column in zip(*times)]


def configurations(record):
    """The method's default configuration, and the tension policies."""
    base = record["configuration"]()
    yield record["name"], base
    if record["name"] == "tension":
        yield "tension (strict)", base.with_policy("strict")
        yield "tension (uniform 2)", base.with_uniform_tension(2.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--knots", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--points", type=int, default=1_000_000)
    parser.add_argument("--evaluation-only", action="store_true",
                        help="only the evaluation rows")
    args = parser.parse_args()
    x, periodic = periodic_data(args.knots)
    print(f"{args.knots} knots, median of {args.repeats}")
    if not args.evaluation_only:
        fit_rows(x, periodic, args.repeats)
    evaluation_rows(x, periodic, args.points, args.repeats)


def fit_rows(x, periodic, repeats):
    for record in _velarix.methods:
        ends = [e for e in record["end_conditions"] if e not in ("limited", "clamped")]
        for name, config in configurations(record):
            limited = config.with_boundary(EndSlopes.limited())
            y = periodic
            try:
                limited.fit(x, y)
            except ValueError:  # one curvature sign only
                y = convex_data(x)
                name += " (parabola)"
            chosen = [e for e in ends if e != "periodic" or y is periodic]
            fits = [limited.fit] + [config.with_boundary(getattr(EndSlopes, e)()).fit for e in chosen]
            base, *others = median_seconds(fits, x, y, repeats)
            row = [f"{name:26s} limited {base * 1e3:7.1f} ms"]
            for end, t in zip(chosen, others):
                row.append(f"{end} {t * 1e3:7.1f} ms ({t / base:.2f}x)")
            print("  ".join(row))


def evaluation_rows(x, y, points, repeats, seed=20261209):
    """ns per point inside the knots and outside them by whole periods."""
    rng = np.random.default_rng(seed)
    period = x[-1] - x[0]
    inside = x[0] + rng.random(points) * period
    turns = rng.integers(1, 11, points) * rng.choice([-1, 1], points)
    outside = inside + turns * period
    out = np.empty(points)
    print(f"evaluation of {points} points, periodic extrapolation, median of {repeats}")
    for record in _velarix.methods:
        if "periodic" not in record["end_conditions"]:
            continue
        spline = record["configuration"]().with_boundary(EndSlopes.periodic()).fit(x, y)
        # Both sets take turns in every repeat, as the fits do.
        inner, outer = median_seconds(
            [lambda points, _: spline.evaluate_into(points, out, 0, "periodic")] * 2,
            None, None, repeats, arguments=[(inside, None), (outside, None)])
        print(f"{record['name']:26s} inside {inner / points * 1e9:6.1f} ns  "
              f"outside {outer / points * 1e9:6.1f} ns ({outer / inner:.2f}x)")


if __name__ == "__main__":
    main()
