"""Measure curvature against the data's, fits under a shift of x, and straight lines.

Curvature: on random monotone, monotone-with-flats, convex, near-straight and
stepped sets of 5 to 1000 uneven knots, the ratio of max|S''| on each data
interval to the data's own curvature scale there,
    kappa_i = max |s_j - s_(j-1)| / min(h_(j-1), h_j)
over the interval's two knots and their two neighbours (s the secants, h
the widths), sampled on every piece of the curve and at its breakpoints.
Printed per method: the median, 90th percentile and maximum over the sets of
each set's worst interval (target for the quintic: 12).

Translation: weekly, monthly and yearly tables (values rounded to 0.1,
monotone, with repeated values) fitted from x = 0 and from offsets 1e3 to
1e6 in years and 1e9 to 1.7e9 in seconds: the number of tables whose
verdict, inserted knots or shape measures differ between the two.

Straight lines: y = a + b x in several units, offsets and lengths (10^2 to
10^6 rows): max|S''| over 256 ulp(max|y|) / h^2 (target <= 1) and the verdict.

    PYTHONPATH=build/python /usr/bin/python3 scripts/curvature_check.py [--sets N] [--quick]
"""

import argparse
import sys

import numpy as np

import velarix
from velarix._registry import RECORDS

KINDS = ("monotone", "flats", "convex", "near_straight", "stepped")
# Points per piece at which S'' is sampled, besides both ends.
SAMPLES = np.concatenate([np.linspace(0.0, 1.0, 33), 10.0 ** -np.arange(1, 13),
                          1 - 10.0 ** -np.arange(1, 13)])


def random_set(kind, rng):
    n = int(np.exp(rng.uniform(np.log(5), np.log(1000))))
    x = np.cumsum(rng.uniform(0.05, 1.0, n) ** 2)
    h = np.diff(x)
    slopes = rng.uniform(0.0, 1.0, n - 1) ** 3
    if kind == "flats":
        slopes[rng.uniform(size=n - 1) < 0.4] = 0.0
    elif kind == "convex":
        slopes = np.sort(rng.standard_normal(n - 1)) * rng.uniform(0.1, 10)
    elif kind == "near_straight":
        slopes = 1.0 + rng.normal(size=n - 1) * 10.0 ** rng.uniform(-9, -3)
    elif kind == "stepped":
        slopes = np.where(rng.uniform(size=n - 1) < 0.2, rng.uniform(1, 10, n - 1), 0.0)
    y = np.concatenate([[0.0], np.cumsum(slopes * h)])
    if kind == "near_straight":
        y = np.round(y, int(rng.integers(3, 9)))
    return x, y * 10.0 ** rng.uniform(-3, 3)


def kappa(x, y):
    """The data's curvature scale on every interval."""
    h, s = np.diff(x), np.diff(y) / np.diff(x)
    knot = np.zeros(len(x))
    if len(x) > 2:
        knot[1:-1] = np.abs(np.diff(s)) / np.minimum(h[:-1], h[1:])
    padded = np.concatenate([[0.0], knot, [0.0]])
    return np.maximum.reduce([padded[:-3], padded[1:-2], padded[2:-1], padded[3:]])


def piece_curvature(f, x):
    """max|S''| on each data interval, sampled on every piece of the curve."""
    spline = f.splines[0]
    breaks = np.asarray(getattr(spline, "breakpoints", x), float)
    lo, hi = breaks[:-1], breaks[1:]
    t = lo[:, None] + SAMPLES[None, :] * (hi - lo)[:, None]
    t = np.minimum(t, np.nextafter(hi, -np.inf)[:, None])
    second = np.abs(f(t.ravel(), 2)).reshape(t.shape).max(axis=1)
    right = np.abs(f(np.nextafter(hi, -np.inf), 2))
    second = np.maximum(second, right)
    interval = np.clip(np.searchsorted(x, lo, side="right") - 1, 0, len(x) - 2)
    out = np.zeros(len(x) - 1)
    np.maximum.at(out, interval, second)
    return out


def ratio(f, x, y):
    k, c = kappa(x, y), piece_curvature(f, x)
    span = np.abs(y).max() or 1.0
    # Where the data bend by less than their rounding, any curvature of the
    # same order is the rounding's.
    floor = 256 * np.spacing(span) / np.diff(x) ** 2
    return np.max(c / np.maximum(k, floor))


def curvature(sets, methods):
    rng = np.random.default_rng(20261210)
    data = [random_set(KINDS[j % len(KINDS)], rng) for j in range(sets)]
    print(f"curvature: max|S''| / kappa on {sets} random sets ({', '.join(KINDS)}; 5-1000 knots)")
    summary = {}
    for name in methods:
        worst, kinds = [], {}
        for j, (x, y) in enumerate(data):
            try:
                f = velarix.interpolate(x, y, name)
            except ValueError:
                continue
            worst.append(ratio(f, x, y))
            kind = KINDS[j % len(KINDS)]
            kinds[kind] = max(kinds.get(kind, 0.0), worst[-1])
        w = np.array(worst)
        summary[name] = (np.median(w), np.percentile(w, 90), w.max(), len(w))
        print(f"  {name:<16} median {summary[name][0]:8.3g}  p90 {summary[name][1]:8.3g}  "
              f"max {summary[name][2]:8.3g}  ({len(w)} fits)")
        print("    worst by kind: " + ", ".join(f"{k} {v:.3g}" for k, v in kinds.items()))
    return summary


def tables(rng, count):
    """Monotone tables with repeated values, weekly, monthly and yearly."""
    steps = (7 / 365.25, 1 / 12, 1.0)
    for j in range(count):
        step = steps[j % 3]
        n = 60
        rises = rng.uniform(0, 1, n - 1) ** 2 * (rng.uniform(size=n - 1) > 0.3)
        y = np.round(300 + np.cumsum(np.r_[0, rises]), 1) * rng.choice([-1, 1])
        yield step * np.arange(n), y


def measures(f, x, y):
    spline = f.splines[0]
    t = x[:-1, None] + np.linspace(0, 1, 41)[None, :] * np.diff(x)[:, None]
    v = f(t.ravel()).reshape(t.shape)
    s = np.sign(np.diff(y))[:, None]
    fall = (np.maximum.accumulate(s * v, axis=1) - s * v).max()
    flat = np.abs(v - y[:-1, None])[np.diff(y) == 0].max(initial=0.0)
    return (bool(f.is_shape_preserving), int(getattr(spline, "inserted", 0)),
            fall > 1e-9 * np.ptp(y), flat > 0)


# Offsets of x, each with the unit its tables are in: calendar years, and
# timestamps in seconds (a year is 365.25 days of 86400 s).
OFFSETS = ((1e3, 1.0), (1990.0, 1.0), (1e5, 1.0), (1e6, 1.0), (1e9, 31557600.0),
           (1.7e9, 31557600.0))


def translation(count, methods):
    print(f"translation: {count} tables from x = 0 and from offsets "
          f"{', '.join(f'{o:g}' for o, _ in OFFSETS)} (years; seconds from 1e9): tables that differ")
    out = {}
    for name in methods:
        rng = np.random.default_rng(7)
        differ = 0
        for x, y in tables(rng, count):
            for c, unit in OFFSETS:
                xu = x * unit
                try:
                    base = measures(velarix.interpolate(xu, y, name), xu, y)
                except ValueError:
                    break
                xs = xu + c
                if measures(velarix.interpolate(xs, y, name), xs, y) != base:
                    differ += 1
                    break
        out[name] = differ
        print(f"  {name:<16} {differ} of {count}")
    return out


def straight(methods, longest):
    print("straight lines: max|S''| / (256 ulp(max|y|) / h^2), verdict")
    cases = [(0, 100, 1e6, 0.001), (0, 10**6 - 1, 250, -0.003), (0, 100, -1, 0.01),
             (1e9, 1e9 + 3e5, 3.5, 2e-7), (1990, 2020, 1e-6, 3e-9)]
    rows = [n for n in (10**2, 10**4, 10**6) if n <= longest]
    bad = 0
    for name in methods:
        worst, verdicts = 0.0, True
        for lo, hi, a, b in cases:
            for n in rows:
                x = np.linspace(lo, hi, n)
                y = a + b * (x - lo)
                f = velarix.interpolate(x, y, name)
                h = (hi - lo) / (n - 1)
                t = np.linspace(lo, hi, 4 * n)
                level = 256 * np.spacing(np.abs(y).max()) / h**2
                worst = max(worst, np.abs(f(t, 2)).max() / level)
                verdicts = verdicts and bool(f.is_shape_preserving)
        bad += worst > 1 or not verdicts
        print(f"  {name:<16} worst {worst:8.3g}  verdict {'True' if verdicts else 'False'}")
    return bad == 0


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sets", type=int, default=200, help="random sets (default 200)")
    p.add_argument("--tables", type=int, default=300, help="shifted tables (default 300)")
    p.add_argument("--quick", action="store_true", help="straight lines to 10^4 rows only")
    args = p.parse_args(argv)
    methods = list(RECORDS)
    summary = curvature(args.sets, methods)
    moved = translation(args.tables, methods)
    ok = straight(methods, 10**4 if args.quick else 10**6)
    ok = ok and summary["quintic"][2] <= 12 and not any(moved.values())
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
