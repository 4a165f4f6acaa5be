"""Accuracy of the smoother's choice of lam on long records with a known truth.

Seasonal records (an annual cycle and its second harmonic on a slow trend,
plus Gaussian noise) of 10^3 to 10^5 points at uneven times: the RMSE
against the truth of the fit at GCV's lam, over that of the fit at the
hindsight-best lam (the least RMSE over lam, by a grid of quarter decades
around GCV's choice refined by golden sections). Both fits are the
unconstrained smoothing spline with a knot at every distinct x; only lam
differs. Prints one row per record and the largest ratio.

    PYTHONPATH=build/python /usr/bin/python3 scripts/smooth_accuracy.py [--quick] [--seed N]
"""

import argparse
import math
import time

import numpy as np

import velarix

SEED = 20261211
SIZES = (10**3, 10**4, 10**5)
# Noise as a share of the seasonal amplitude.
NOISES = (0.1, 0.5)


def record(n, noise, rng):
    """n readings over twenty years at uneven times, with the truth at them."""
    t = np.sort(rng.uniform(0.0, 20.0, n))
    truth = 0.4 * t + 0.02 * t ** 2 + np.sin(2 * np.pi * t) + 0.3 * np.cos(4 * np.pi * t + 1.0)
    return t, truth, truth + noise * rng.standard_normal(n)


def rmse(t, y, truth, lam):
    """The fit's error at lam; infinite where the fit refuses lam (its banded
    factor fails at the largest lam on long records)."""
    try:
        f = velarix.smooth(t, y, lam=lam)
    except ValueError:
        return math.inf
    return math.sqrt(np.mean((f(t) - truth) ** 2))


def hindsight_best(t, y, truth, around):
    """The least RMSE over lam: quarter decades within three of `around`, then
    golden sections on log10(lam) around the grid's best."""
    grid = np.log10(around) + np.arange(-3.0, 3.01, 0.25)
    errors = [rmse(t, y, truth, 10 ** u) for u in grid]
    i = int(np.argmin(errors))
    lo, hi = grid[max(i - 1, 0)], grid[min(i + 1, len(grid) - 1)]
    golden = (math.sqrt(5) - 1) / 2
    a, b = hi - golden * (hi - lo), lo + golden * (hi - lo)
    fa, fb = rmse(t, y, truth, 10 ** a), rmse(t, y, truth, 10 ** b)
    for _ in range(20):
        if fa < fb:
            hi, b, fb = b, a, fa
            a = hi - golden * (hi - lo)
            fa = rmse(t, y, truth, 10 ** a)
        else:
            lo, a, fa = a, b, fb
            b = lo + golden * (hi - lo)
            fb = rmse(t, y, truth, 10 ** b)
    return min(errors[i], fa, fb), 10 ** ((lo + hi) / 2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="10^3 and 10^4 points only")
    parser.add_argument("--seed", type=int, default=SEED)
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    sizes = SIZES[:2] if args.quick else SIZES
    print(f"{'n':>7} {'noise':>5} {'edf':>8} {'best edf':>8} {'RMSE':>10} {'best':>10} {'ratio':>6} "
          f"{'s':>6}")
    worst = 0.0
    for n in sizes:
        for noise in NOISES:
            t, truth, y = record(n, noise, rng)
            started = time.process_time()
            f = velarix.smooth(t, y)
            seconds = time.process_time() - started
            chosen = math.sqrt(np.mean((f(t) - truth) ** 2))
            best, best_lam = hindsight_best(t, y, truth, f.smoothing.lam)
            best_edf = velarix.smooth(t, y, lam=best_lam).smoothing.edf
            ratio = chosen / best
            worst = max(worst, ratio)
            print(f"{n:>7} {noise:>5} {f.smoothing.edf:>8.1f} {best_edf:>8.1f} {chosen:>10.4g} "
                  f"{best:>10.4g} {ratio:>6.3f} {seconds:>6.2f}")
    print(f"largest ratio of the GCV fit's RMSE to the hindsight-best lam's: {worst:.3f} "
          f"(target <= 1.05)")


if __name__ == "__main__":
    main()
