"""Digest of what the library computes, for checking that a change moved no bit.

Fits every method and policy on five data shapes at sizes 2 to 2*10^5 and
hashes, per fit, the value and both derivative batches in sorted and random
order (NaN and out-of-range points included), or the refusal message. The
saved states get a second digest of their own, so that a change of the state
format shows apart from a change of results. The grid surfaces follow, per
grid method, on random tables of two to four variables.

It prints, per method record and under it per configuration digested, the
number of fits and the two digests: a new method adds its own lines and
changes none of the others, so two runs compare line by line. The last line
digests every fit, and so moves with any method added. With -v, a line per
fit comes first.

    PYTHONPATH=build/python /usr/bin/python3 scripts/digest.py [--quick] [-v]
"""

import hashlib
import sys

import numpy as np

import velarix
from velarix import EndSlopes
from velarix._registry import RECORDS


def default(method):
    """A new configuration of the method of that record name."""
    return RECORDS[method].configuration()


# The configurations digested, in the order of their lines; each is named
# after its method's record.
CONFIGS = [
    ("rational_cubic", default("rational_cubic")),
    ("rational_cubic_clamped",
     default("rational_cubic").with_boundary(EndSlopes.clamped(0.5, 2.0))),
    ("rational_cubic_shape", default("rational_cubic").with_shape(2.0, 0.5).with_relaxation(0.7)),
    ("tension", default("tension")),
    ("tension_clamped", default("tension").with_boundary(EndSlopes.clamped(-1.0, 1.0))),
    ("tension_tolerance", default("tension").with_tolerance(0.1).with_max_iterations(3)),
    ("tension_uniform_0", default("tension").with_uniform_tension(0.0)),
    ("tension_uniform_0.3", default("tension").with_uniform_tension(0.3)),
    ("tension_uniform_7", default("tension").with_uniform_tension(7.0)),
    ("tension_uniform_200", default("tension").with_uniform_tension(200.0)),
    ("variable_degree", default("variable_degree")),
    ("variable_degree_clamped",
     default("variable_degree").with_boundary(EndSlopes.clamped(0.0, 0.0))),
    ("variable_degree_cap",
     default("variable_degree").with_max_degree(6.0).with_max_iterations(4)),
    ("tension_strict", default("tension").with_strict_shape()),
    ("rational_cubic_newton", default("rational_cubic").with_convexity_solver("newton")),
    ("variable_degree_limited", default("variable_degree").with_boundary(EndSlopes.limited())),
]

# A registered method without a configuration above is covered by the one
# the NumPy layer fits with.
CONFIGS += [
    (name, method.interpolation_configuration)
    for name, method in RECORDS.items()
    if not any(isinstance(config, method.configuration) for _, config in CONFIGS)
]


def method_of(config):
    """The name of the record whose configuration class `config` is."""
    return next(name for name, method in RECORDS.items()
                if isinstance(config, method.configuration))


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


class Digest:
    """The fits of a group, their results' digests and their states'."""

    def __init__(self):
        self.fits = 0
        self.results = hashlib.sha256()
        self.states = hashlib.sha256()

    def line(self, label):
        return (f"{label:<28} fits {self.fits:>3}  results {self.results.hexdigest()}"
                f"  states {self.states.hexdigest()}")


def fit_digest(config, x, y, queries, groups):
    """The digest of one fit, which `groups` take in with the fit's state."""
    one = hashlib.sha256()
    try:
        spline = config.fit(x, y)
    except ValueError as error:
        one.update(str(error).encode())
        state = None
    else:
        for q in queries:
            for batch in (spline.value_batch, spline.first_derivative_batch,
                          spline.second_derivative_batch):
                one.update(bytes(batch(q)))
        state = spline.__reduce__()[1][1]
    for group in groups:
        group.fits += 1
        group.results.update(one.digest())
        if state is not None:
            group.states.update(state)
    return one


def main(argv):
    quick = "--quick" in argv
    verbose = "-v" in argv
    sizes = [n for n in SIZES if not quick or n <= 5000]
    methods = {name: Digest() for name in RECORDS}
    variants = {name: Digest() for name, _ in CONFIGS}
    for n in sizes:
        rng = np.random.default_rng(n)
        x = knots(n, rng)
        sorted_q, random_q = queries(x, rng, min(4 * n + 64, 20_000))
        for shape, y in shapes(x, rng).items():
            for name, config in CONFIGS:
                if n > 5000 and name.startswith("variable_degree_cap"):
                    continue
                groups = (methods[method_of(config)], variants[name])
                one = fit_digest(config, x, y, (sorted_q, random_q), groups)
                if verbose:
                    print(f"{n:>7} {shape:<9} {name:<26} {one.hexdigest()[:16]}")
    for method, digest in methods.items():
        print(digest.line(method))
        for name, config in CONFIGS:
            if method_of(config) == method:
                print(variants[name].line("  " + name))
    grid_digests(quick, verbose)


def grid_digests(quick, verbose):
    """The grid surfaces' lines: per method, random tables in 2-D to 4-D (flat stretches
    included), their values and partials at random points inside and beyond the grid,
    and their states."""
    digests = {method: Digest() for method in velarix.GridSurface.methods()}
    sizes = [(2, 4), (2, 17), (3, 6), (4, 4)] if quick else [(2, 4), (2, 17), (2, 65), (3, 6),
                                                                (3, 17), (4, 6)]
    for dims, n in sizes:
        rng = np.random.default_rng(100 * dims + n)
        points = tuple(np.cumsum(rng.uniform(0.2, 1.8, n)) for _ in range(dims))
        steps = rng.exponential(size=(n,) * dims) ** 2
        steps[rng.random(steps.shape) < 0.3] = 0
        values = steps
        for a in range(dims):
            values = np.cumsum(values, axis=a)
        at = np.column_stack([rng.uniform(x[0] - 1, x[-1] + 1, 2000) for x in points])
        for method, digest in digests.items():
            one = hashlib.sha256()
            surface = velarix.GridSurface.fit(method, points, values.ravel())
            out = np.empty(len(at))
            for orders in ((0,) * dims, (1,) + (0,) * (dims - 1), (0,) * (dims - 1) + (2,)):
                surface.evaluate_into(at, orders, "linear", 1, out)
                one.update(out.tobytes())
            digest.fits += 1
            digest.results.update(one.digest())
            digest.states.update(surface.__reduce__()[1][1])
            if verbose:
                print(f"{dims}-D {n:>3}^{dims}  grid_{method:<21} {one.hexdigest()[:16]}")
    print("grid_surface")
    for method, digest in digests.items():
        print(digest.line("  grid_" + method))


if __name__ == "__main__":
    assert velarix  # the package under test, from PYTHONPATH
    main(sys.argv[1:])
