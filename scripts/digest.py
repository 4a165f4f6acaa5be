"""Digest of what the library computes, for checking that a change moved no bit.

Fits every method and policy on five data shapes at sizes 2 to 2*10^5 and
hashes, per fit, the value and both derivative batches in sorted and random
order (NaN and out-of-range points included), or the refusal message. The
saved states get a second digest of their own, so that a change of the state
format shows apart from a change of results.

    PYTHONPATH=build/python /usr/bin/python3 scripts/digest.py [--quick] [-v]
"""

import hashlib
import sys

import numpy as np

import velarix
from velarix import EndSlopes, RationalCubic, Tension, VariableDegree
from velarix._registry import METHODS

CONFIGS = [
    ("rational_cubic", RationalCubic()),
    ("rational_cubic_clamped", RationalCubic().with_boundary(EndSlopes.clamped(0.5, 2.0))),
    ("rational_cubic_shape", RationalCubic().with_shape(2.0, 0.5).with_relaxation(0.7)),
    ("tension", Tension()),
    ("tension_clamped", Tension().with_boundary(EndSlopes.clamped(-1.0, 1.0))),
    ("tension_tolerance", Tension().with_tolerance(0.1).with_max_iterations(3)),
    ("tension_uniform_0", Tension().with_uniform_tension(0.0)),
    ("tension_uniform_0.3", Tension().with_uniform_tension(0.3)),
    ("tension_uniform_7", Tension().with_uniform_tension(7.0)),
    ("tension_uniform_200", Tension().with_uniform_tension(200.0)),
    ("variable_degree", VariableDegree()),
    ("variable_degree_clamped", VariableDegree().with_boundary(EndSlopes.clamped(0.0, 0.0))),
    ("variable_degree_cap", VariableDegree().with_max_degree(6.0).with_max_iterations(4)),
    ("tension_strict", Tension().with_strict_shape()),
    ("rational_cubic_newton", RationalCubic().with_convexity_solver("newton")),
    ("variable_degree_limited", VariableDegree().with_boundary(EndSlopes.limited())),
]

# A registered method without a configuration above is covered by the one
# the NumPy layer fits with.
CONFIGS += [
    (name, method.interpolation_configuration)
    for name, method in METHODS.items()
    if not any(isinstance(config, method.configuration) for _, config in CONFIGS)
]

SIZES = [2, 3, 4, 7, 20, 200, 5000, 200_000]


def knots(n, rng):
    gaps = rng.uniform(0.2, 1.8, n - 1)
    return np.concatenate([[0.0], np.cumsum(gaps)]) / max(n - 1, 1) * 10.0


def shapes(x, rng):
    return {
        "convex": np.exp(x / 3.0),
        "concave": np.log1p(x),
        "inflected": np.sin(x) + 0.1 * x,
        "noisy": rng.standard_normal(x.size),
        "step": np.where(x < 5.0, 0.0, 1.0) + np.where(x < 7.0, 0.0, 0.5),
    }


def queries(x, rng, count):
    lo, hi = x[0], x[-1]
    span = hi - lo
    q = rng.uniform(lo - 0.1 * span, hi + 0.1 * span, count)
    q[:3] = [np.nan, lo, hi]
    q = np.concatenate([q, x[:: max(1, x.size // 50)]])
    return np.sort(q), rng.permutation(q)


def main(argv):
    quick = "--quick" in argv
    verbose = "-v" in argv
    sizes = [n for n in SIZES if not quick or n <= 5000]
    results, states = hashlib.sha256(), hashlib.sha256()
    fits = 0
    for n in sizes:
        rng = np.random.default_rng(n)
        x = knots(n, rng)
        sorted_q, random_q = queries(x, rng, min(4 * n + 64, 20_000))
        for shape, y in shapes(x, rng).items():
            for name, config in CONFIGS:
                if n > 5000 and name.startswith("variable_degree_cap"):
                    continue
                one = hashlib.sha256()
                try:
                    spline = config.fit(x, y)
                except ValueError as error:
                    one.update(str(error).encode())
                else:
                    for q in (sorted_q, random_q):
                        for batch in (spline.value_batch, spline.first_derivative_batch,
                                      spline.second_derivative_batch):
                            one.update(bytes(batch(q)))
                    states.update(spline.__reduce__()[1][1])
                fits += 1
                results.update(one.digest())
                if verbose:
                    print(f"{n:>7} {shape:<9} {name:<26} {one.hexdigest()[:16]}")
    print(f"fits: {fits}")
    print(f"results: {results.hexdigest()}")
    print(f"states: {states.hexdigest()}")


if __name__ == "__main__":
    assert velarix  # the package under test, from PYTHONPATH
    main(sys.argv[1:])
