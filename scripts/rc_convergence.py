"""How often the rational cubic's convexity solve converges, with each solver.

Irregular convex sets: secants that rise by random positive increments
(uniform, or log-normal so that neighbouring steps differ by orders of
magnitude), 10 to 1000 knots, unit or uneven spacing. Smooth convex data:
x**2 on [-1, 1] and exp on [0, 4] at 1e5 and 1e6 knots whose widths vary
from 0.2 to 1.8 times the mean. Prints,
per solver, the share that converged and the median and largest number of
tridiagonal solves (the `iterations` of the spline: Newton steps and
sweeps), and the fit times of the smooth sets.

    PYTHONPATH=build/python /usr/bin/python3 scripts/rc_convergence.py [--sets N] [--quick]
"""

import argparse
import time

import numpy as np

from velarix import RationalCubic

SOLVERS = {"sweep": RationalCubic(), "newton": RationalCubic().with_convexity_solver("newton")}


def irregular(rng, index):
    n = int(np.exp(rng.uniform(np.log(10), np.log(1000))))
    uneven = index % 2 == 1
    lognormal = (index // 2) % 2 == 1
    h = rng.uniform(0.05, 2.05, n - 1) if uneven else np.ones(n - 1)
    steps = np.exp(2 * rng.standard_normal(n - 2)) if lognormal else rng.uniform(0, 1, n - 2)
    secants = rng.uniform(-1, 1) + np.concatenate(([0.0], np.cumsum(steps)))
    x = np.concatenate(([0.0], np.cumsum(h)))
    y = np.concatenate(([0.0], np.cumsum(secants * h)))
    return x, y


def smooth(n, seed, name):
    rng = np.random.default_rng(seed)
    lo, hi, f = {"x^2": (-1.0, 1.0, np.square), "exp": (0.0, 4.0, np.exp)}[name]
    widths = rng.uniform(0.2, 1.8, n - 1)
    x = lo + (hi - lo) * np.concatenate(([0.0], np.cumsum(widths))) / widths.sum()
    return x, f(x)


def fit(config, x, y):
    started = time.process_time()
    try:
        spline = config.fit(x, y)
    except ValueError:
        return None, time.process_time() - started
    return spline.iterations, time.process_time() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sets", type=int, default=800)
    parser.add_argument("--quick", action="store_true", help="no 1e6 sets")
    args = parser.parse_args()

    rng = np.random.default_rng(20261209)
    data = [irregular(rng, i) for i in range(args.sets)]
    for name, config in SOLVERS.items():
        counts = [fit(config, x, y)[0] for x, y in data]
        done = [c for c in counts if c is not None]
        print(f"irregular, {args.sets} sets, {name}: {len(done)} converged "
              f"({100 * len(done) / args.sets:.1f} %), solves median {np.median(done):.0f}, "
              f"max {max(done)}")

    sizes = (10**5,) if args.quick else (10**5, 10**6)
    for n in sizes:
        for shape in ("x^2", "exp"):
            for seed in range(5 if n <= 10**5 else 1):
                x, y = smooth(n, seed, shape)
                cells = []
                for name, config in SOLVERS.items():
                    count, seconds = fit(config, x, y)
                    state = "refused" if count is None else f"{count} solves"
                    cells.append(f"{name} {state} in {seconds:.2f} s")
                print(f"{shape} n={n:.0e} seed {seed}: " + "; ".join(cells))


if __name__ == "__main__":
    main()
