"""Measure the shape-preserving quintic against its targets.

Shape, on the classic sets and random monotone, convex, repeated-value,
extremum, straight-stretch and convex-with-flats sets of 5 to 1000 uneven
knots, the worst case of each measure over the corpus:

- monotone: the largest fall inside an interval where the data rise (or rise
  inside one where they fall), over the data range (target 1e-14);
- convex: the largest S'' of the wrong sign where the data are convex or
  concave, times h over the local secant change (target 1e-12);
- flat: the largest |S - y| on an interval of equal values (target 0);
- overshoot: how far the curve passes a data extremum, over the range
  (target 0);
- knots: the largest |S(x_k) - y_k| (target 0);
- c2: the jump of S'' across every breakpoint over the largest |S''|, the
  left limit taken from the last double below the breakpoint and carried the
  last ulp up by the change over the ulp before it (target 1e-10);
with the fits that do not report is_shape_preserving and the knots inserted.

Accuracy: the order (log2 of successive error ratios) on exp over [0, 3], sin
over [-pi/2, pi/2] and the normal CDF over [-2.5, 2.5] at 41 ... 641 uniform
knots, and the cubic spline's error over the quintic's at 161 knots.

With --ends natural the fits take natural ends (S'' = 0 at both, checked
exactly); with --ends periodic the sets are closed (the last value repeats
the first; sampled |sin|, sin with flats at its extrema and periodic steps
besides the random ones), the knots' bends and extrema wrap around the
period, and S, S' and S'' must agree at the two ends to 1e-12 of their scale.

Speed (--speed): fits at 10^6 knots on smooth and noisy monotone data, and
evaluation on sorted and shuffled points, beside scipy's CubicSpline (CPU
time, best of several runs); the fits again in elapsed time, the quintic's
on get_workers() threads.

    PYTHONPATH=build/python /usr/bin/python3 scripts/quintic_check.py [--sets N] [--speed]
        [--ends limited|natural|periodic]
"""

import argparse
import sys
import time

import numpy as np
from scipy.interpolate import CubicSpline
from scipy.special import ndtr

import velarix
from velarix import EndSlopes, Quintic, datasets

TARGETS = {"monotone": 1e-14, "convex": 1e-12, "flat": 0.0, "overshoot": 0.0, "knots": 0.0,
           "c2": 1e-10}
KINDS = ("monotone", "convex", "repeated", "extrema", "straight", "convex_flats")
# Interior samples per interval, evenly spaced and approaching both knots.
LAYER = 10.0 ** -np.arange(1, 16)
OFFSETS = np.unique(np.concatenate([np.linspace(0.0, 1.0, 17), LAYER, 1 - LAYER]))


def random_set(kind, rng):
    n = int(np.exp(rng.uniform(np.log(5), np.log(1000))))
    x = np.cumsum(rng.uniform(0.05, 1.0, n) ** 2)
    h = np.diff(x)
    slopes = rng.uniform(0.0, 1.0, n - 1) ** 3
    if kind in ("convex", "convex_flats"):
        slopes = np.sort(rng.standard_normal(n - 1)) * rng.uniform(0.1, 10)
        if kind == "convex_flats":
            slopes[np.abs(slopes) < np.median(np.abs(slopes))] = 0.0
    elif kind == "repeated":
        slopes[rng.uniform(size=n - 1) < 0.4] = 0.0
    elif kind == "straight":
        for i in np.flatnonzero(rng.uniform(size=n - 1) < 0.5):
            slopes[i] = slopes[i - 1] if i else slopes[i]
    elif kind == "extrema":
        slopes = rng.standard_normal(n - 1) / np.sqrt(h)
    y = np.concatenate([[0.0], np.cumsum(slopes * h)])
    return x, y * rng.choice([-1.0, 1.0]) * 10.0 ** rng.uniform(-3, 3)


def closed(x, y):
    """The set made periodic: its last value replaced by the first."""
    y = np.array(y, float)
    y[-1] = y[0]
    return np.asarray(x, float), y


def periodic_corpus(sets, rng):
    t = np.linspace(0.0, 2 * np.pi, 41)
    yield "classic", "abs_sin", closed(t, np.abs(np.sin(t)))
    yield "classic", "sin_flats", closed(t, np.clip(1.2 * np.sin(t), -1, 1))
    yield "classic", "step", closed(t, (np.sin(t) > 0).astype(float))
    for k in range(sets):
        kind = KINDS[k % len(KINDS)]
        x, y = random_set(kind, rng)
        if kind in ("monotone", "repeated"):
            # Up, then down the mirrored set: monotone by parts across the wrap.
            # (Not the straight stretches: the mirror's widths, summed anew,
            # round differently and bend them by more than the tolerance.)
            x = np.r_[x, x[-1] + np.cumsum(np.diff(x)[::-1])]
            y = np.r_[y, y[-2::-1]]
        yield kind, f"{kind}-{k}", closed(x, y)


def corpus(sets, rng, periodic=False):
    if periodic:
        yield from periodic_corpus(sets, rng)
        return
    stairs = np.linspace(0.0, 10.0, 21)
    yield "classic", "akima", datasets.akima()
    yield "classic", "rpn15a", datasets.fritsch_carlson()
    yield "classic", "titanium", datasets.titanium()
    yield "classic", "staircase", (stairs, np.floor(stairs / 2.5))
    for k in range(sets):
        kind = KINDS[k % len(KINDS)]
        yield kind, f"{kind}-{k}", random_set(kind, rng)


def measure(spline, x, y, periodic=False):
    h, s = np.diff(x), np.diff(y) / np.diff(x)
    span = max(np.ptp(y), np.finfo(float).tiny)
    # On periodic data the knots are seen around the period: the closing
    # knot lies between the last interval and the first.
    hh, ss, yy = h, s, y
    if periodic:
        hh, ss, yy = np.r_[h[-1], h, h[0]], np.r_[s[-1], s, s[0]], np.r_[y[-2], y, y[1]]
    change = np.abs(np.diff(ss))
    # A secant change within 1e-12 of the secants, or within the rounding the
    # secants inherit from the values (2 ulps of y over each width), is no bend.
    ulp = np.spacing(np.maximum.reduce([np.abs(yy[:-2]), np.abs(yy[1:-1]), np.abs(yy[2:])]))
    rounding = 2 * ulp * (1 / hh[:-1] + 1 / hh[1:])
    bent = change > 1e-12 * (np.abs(ss[:-1]) + np.abs(ss[1:])) + rounding
    bend = np.sign(np.diff(ss)) * bent
    if not periodic:
        bend = np.concatenate([bend[:1], bend, bend[-1:]]) if s.size > 1 else np.zeros(2)
    curvature = np.where(bend[:-1] == bend[1:], bend[:-1], 0)
    turn = ss[:-1] * ss[1:] < 0
    if periodic:
        extremum = turn[:-1] | turn[1:]
        change = change[1:-1]
    else:
        extremum = np.concatenate([[False], turn]) | np.concatenate([turn, [False]])
    grid = x[:-1, None] + OFFSETS[None, :] * h[:, None]
    grid = np.minimum(grid, np.nextafter(x[1:], -np.inf)[:, None])
    value = np.asarray(spline.value_batch(grid.ravel())).reshape(grid.shape)
    second = np.asarray(spline.second_derivative_batch(grid.ravel())).reshape(grid.shape)
    worst = dict.fromkeys(TARGETS, 0.0)
    rising = np.sign(s)[:, None] * value
    fall = np.maximum.accumulate(rising, axis=1) - rising
    if (s != 0).any():
        worst["monotone"] = fall[s != 0].max() / span
    local = np.maximum(np.concatenate([[0.0], change]), np.concatenate([change, [0.0]]))
    convex = (curvature != 0) & (s != 0) & (local > 0)
    if convex.any():
        wrong = np.maximum(0.0, -curvature[:, None] * second).max(axis=1) * h
        worst["convex"] = (wrong[convex] / local[convex]).max()
    if (s == 0).any():
        worst["flat"] = np.abs(value[s == 0] - y[:-1][s == 0, None]).max() / span
    if extremum.any():
        lo, hi = np.minimum(y[:-1], y[1:])[:, None], np.maximum(y[:-1], y[1:])[:, None]
        worst["overshoot"] = max(0.0, np.maximum(value - hi, lo - value)[extremum].max()) / span
    worst["knots"] = np.abs(np.asarray(spline.value_batch(x)) - y).max() / span
    inner = np.array(spline.breakpoints)[1:-1]
    if inner.size:
        below = np.nextafter(inner, -np.inf)
        s1 = np.asarray(spline.second_derivative_batch(below))
        s2 = np.asarray(spline.second_derivative_batch(np.nextafter(below, -np.inf)))
        left = s1 + (s1 - s2) * (inner - below) / (below - np.nextafter(below, -np.inf))
        right = np.asarray(spline.second_derivative_batch(inner))
        worst["c2"] = np.abs(left - right).max() / max(np.abs(second).max(), np.finfo(float).tiny)
    if periodic:
        wrap = 0.0
        for nu, curve in enumerate((value, None, second)):
            ends = [spline.evaluate(x[0], nu, "hold"), spline.evaluate(x[-1], nu, "hold")]
            scale = np.abs(curve).max() if curve is not None else np.abs(
                np.asarray(spline.first_derivative_batch(grid.ravel()))).max()
            wrap = max(wrap, abs(ends[0] - ends[1]) / max(scale, np.finfo(float).tiny))
        worst["wrap"] = wrap
    return worst


def shape(sets, ends="limited"):
    rng = np.random.default_rng(20261209)
    periodic = ends == "periodic"
    targets = dict(TARGETS, **({"wrap": 1e-12} if periodic else {}),
                   **({"natural": 0.0} if ends == "natural" else {}))
    totals, where = dict.fromkeys(targets, 0.0), dict.fromkeys(targets, "-")
    inserted, intervals, not_kept = {}, {}, []
    config = Quintic().with_boundary(getattr(EndSlopes, ends)())
    for kind, name, (x, y) in corpus(sets, rng, periodic):
        x, y = np.asarray(x, float), np.asarray(y, float)
        spline = config.fit(x, y)
        inserted[kind] = inserted.get(kind, 0) + spline.inserted
        intervals[kind] = intervals.get(kind, 0) + x.size - 1
        if not spline.is_shape_preserving:
            not_kept.append(name)
        found = measure(spline, x, y, periodic)
        if ends == "natural":
            found["natural"] = max(abs(spline.second_derivative(x[0])),
                                   abs(spline.second_derivative(x[-1])))
        for key, value in found.items():
            if value > totals[key]:
                totals[key], where[key] = value, name
    print(f"shape ({ends} ends): {sets} random sets and the classic ones")
    for key, target in targets.items():
        verdict = "ok" if totals[key] <= target else "MISSED"
        print(f"  {key:<10} worst {totals[key]:.3e}  target {target:.0e}  {verdict} ({where[key]})")
    print(f"  not shape-preserving: {len(not_kept)} {not_kept[:10]}")
    for kind in inserted:
        print(f"  inserted on {kind}: {inserted[kind]} in {intervals[kind]} intervals")
    return all(totals[k] <= t for k, t in targets.items()) and not not_kept


def accuracy():
    print("accuracy: max error at 41 ... 641 uniform knots, orders, cubic / quintic at 161")
    functions = {"exp": (np.exp, 0.0, 3.0), "sin": (np.sin, -np.pi / 2, np.pi / 2),
                 "normal_cdf": (ndtr, -2.5, 2.5)}
    for name, (f, a, b) in functions.items():
        grid, errors = np.linspace(a, b, 20001), []
        for n in (41, 81, 161, 321, 641):
            x = np.linspace(a, b, n)
            errors.append(np.abs(np.asarray(Quintic().fit(x, f(x)).value_batch(grid)) - f(grid)).max())
            if n == 161:
                ratio = np.abs(CubicSpline(x, f(x))(grid) - f(grid)).max() / errors[-1]
        orders = np.log2(np.array(errors[:-1]) / np.array(errors[1:]))
        print(f"  {name:<10} {' '.join(f'{e:.2e}' for e in errors)}  orders "
              f"{' '.join(f'{o:.2f}' for o in orders)}  cubic/quintic {ratio:.0f}")


def best(run, repeat=7, clock=time.process_time):
    times = []
    for _ in range(repeat):
        start = clock()
        run()
        times.append(clock() - start)
    return min(times)


def speed(n=10**6):
    rng = np.random.default_rng(1)
    x = np.cumsum(rng.uniform(0.5, 1.5, n))
    x = (x - x[0]) / (x[-1] - x[0]) * 3
    smooth, noisy = np.exp(x), np.cumsum(rng.uniform(0.0, 1.0, n))
    print(f"speed at {n} knots (ms, best of 7; ratio to CubicSpline): CPU time on one "
          f"thread, and the fit's elapsed time on {velarix.get_workers()} threads")
    for name, y in (("smooth", smooth), ("noisy monotone", noisy)):
        cubic = best(lambda: CubicSpline(x, y))
        with velarix.set_workers(1):
            quintic = best(lambda: Quintic().fit(x, y))
        wall = best(lambda: CubicSpline(x, y), clock=time.perf_counter)
        threaded = best(lambda: Quintic().fit(x, y), clock=time.perf_counter)
        print(f"  fit {name:<15} cubic {cubic * 1e3:6.1f}  quintic {quintic * 1e3:6.1f}  "
              f"ratio {quintic / cubic:.2f}; elapsed cubic {wall * 1e3:6.1f}  quintic "
              f"{threaded * 1e3:6.1f}  ratio {threaded / wall:.2f}  inserted "
              f"{Quintic().fit(x, y).inserted}")
    cubic, spline = CubicSpline(x, smooth), Quintic().fit(x, smooth)
    points = np.sort(rng.uniform(0.0, 3.0, n))
    out = np.empty(n)
    for order in ("sorted", "random"):
        if order == "random":
            points = rng.permutation(points)
        c = best(lambda: cubic(points))
        v = best(lambda: spline.value_batch_into(points, out))
        a = best(lambda: spline.antiderivative_batch_into(points, out))
        print(f"  evaluate {order:<6} cubic {c * 1e3:6.1f}  quintic {v * 1e3:6.1f}  ratio "
              f"{v / c:.2f}; antiderivative {a * 1e3:6.1f} = {a / v:.2f} x value")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sets", type=int, default=1200, help="random data sets (default 1200)")
    p.add_argument("--speed", action="store_true", help="also time fits and evaluation at 10^6")
    p.add_argument("--ends", choices=("limited", "natural", "periodic"), default="limited",
                   help="the end conditions of the shape fits (default limited)")
    args = p.parse_args(argv)
    ok = shape(args.sets, args.ends)
    accuracy()
    if args.speed:
        speed()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
