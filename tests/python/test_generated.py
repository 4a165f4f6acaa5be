"""Generated fits: no input, however degenerate, reaches an internal fault.

A seeded generator draws configurations and data sets mostly from the values
that break numerical code (zeros, subnormals, the largest doubles, infinities,
NaN, any bit pattern) and fits every method. A fit must either succeed, and
then evaluate everywhere without an exception, or be refused with a
ValueError; a RuntimeError (a broken invariant) or any other exception fails.
VELARIX_GENERATED_CALLS sets the number of fits (a few thousand by default;
set it to 1000000 for a long run) and VELARIX_GENERATED_SEED the seed.
"""

import collections
import os
import random
import struct
from array import array

from velarix import EndSlopes, RationalCubic, Tension, VariableDegree

CALLS = int(os.environ.get("VELARIX_GENERATED_CALLS", "6000"))
SEED = int(os.environ.get("VELARIX_GENERATED_SEED", "19"))

SPECIAL = [0.0, -0.0, float("nan"), float("inf"), float("-inf"), 5e-324, -5e-324,
           2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308,
           2.220446049250313e-16, 1e-300, 1e300, 1e-150, 1e150, 0.5, 1.0, 3.0, 1e16]
TINY_AND_HUGE = [5e-324, 1e-320, 2.2250738585072014e-308, 4.450147717014403e-308, 1e-307, 1e-300,
                 1e-160, 1e-150, 85.0, 86.0, 1e150, 1e300, 1e306, 4.49423283715579e307,
                 1.7976931348623157e308]


class Draw:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    def number(self):
        kind = self.rng.randrange(4)
        if kind == 0:
            return self.rng.choice(SPECIAL)
        if kind == 1:
            return struct.unpack("<d", self.rng.getrandbits(64).to_bytes(8, "little"))[0]
        return self.rng.randint(-128, 127) / (1 << self.rng.randrange(8))

    def positive(self):
        """A width or a shape parameter: ordinary, extreme, or anywhere in
        the range of doubles."""
        kind = self.rng.randrange(4)
        if kind == 0:
            return self.rng.choice(TINY_AND_HUGE)
        if kind == 1:
            return 10.0 ** self.rng.uniform(-323, 308)
        return self.rng.uniform(0.05, 3.0)

    def setting(self, default):
        kind = self.rng.randrange(4)
        return default if kind < 2 else self.number() if kind == 2 else self.positive()

    def passes(self):
        return self.rng.randrange(100) if self.rng.randrange(8) else self.rng.randrange(3000)

    def boundary(self):
        if self.rng.randrange(2):
            return EndSlopes.estimated()
        return EndSlopes.clamped(self.number(), self.number())

    def data(self):
        """Knots as running sums of drawn widths (mostly increasing) or as
        raw numbers; now and then y of another length."""
        n = self.rng.randrange(2, 9) if self.rng.randrange(8) else self.rng.randrange(0, 40)
        if self.rng.randrange(8) == 0:
            x = [self.number() for _ in range(n)]
        else:
            x = [self.number() if self.rng.randrange(4) == 0 else self.rng.uniform(-10, 10)]
            ordinary = self.rng.randrange(2)
            for _ in range(n - 1):
                x.append(x[-1] + (self.rng.uniform(0.05, 3.0) if ordinary else self.positive()))
            x = x[:n]
        ny = n if self.rng.randrange(16) else self.rng.randrange(0, 10)
        return array("d", x), array("d", [self.number() for _ in range(ny)])

    def configuration(self):
        method = self.rng.randrange(4)
        boundary = self.boundary()
        if method == 0:
            config = RationalCubic().with_boundary(boundary)
            if self.rng.randrange(2):
                config = config.with_shape(self.setting(1.0), self.setting(1.0))
            config = config.with_convexity_margin(self.setting(config.convexity_margin))
            config = config.with_relaxation(self.setting(config.relaxation))
            return config.with_max_iterations(self.passes())
        if method in (1, 2):
            config = Tension().with_boundary(boundary)
            if method == 2:
                config = config.with_uniform_tension(self.setting(1.0))
            config = config.with_tolerance(self.setting(config.tolerance))
            return config.with_max_iterations(self.passes())
        config = VariableDegree().with_boundary(boundary)
        config = config.with_max_degree(self.setting(config.max_degree))
        return config.with_max_iterations(self.passes())


def evaluate(spline, x, draw):
    probes = array("d", list(x) + [draw.number() for _ in range(3)] + [float("nan")])
    for op in (spline.value_batch, spline.first_derivative_batch, spline.second_derivative_batch):
        op(probes)
    spline(probes[-2])


def run(calls, seed):
    """The outcomes of `calls` generated fits, and the first few faults."""
    draw = Draw(seed)
    tally = collections.Counter()
    faults = []
    for _ in range(calls):
        config = draw.configuration()
        x, y = draw.data()
        try:
            spline = config.fit(x, y)
            tally["fitted"] += 1
        except ValueError:
            tally["refused"] += 1
            continue
        except Exception as error:  # noqa: BLE001 - every other exception is a fault
            tally["faults"] += 1
            if len(faults) < 10:
                faults.append(f"{type(error).__name__}: {error} for {config!r} "
                              f"x={list(x)} y={list(y)}")
            continue
        try:
            evaluate(spline, x, draw)
        except Exception as error:  # noqa: BLE001
            tally["faults"] += 1
            faults.append(f"evaluation: {type(error).__name__}: {error} for {config!r}")
    return tally, faults


def test_no_generated_input_reaches_an_internal_fault():
    tally, faults = run(CALLS, SEED)
    print(f"generated fits: {CALLS}, {dict(tally)}")
    assert faults == [], "\n".join(faults)
    assert tally["fitted"] > CALLS // 10 and tally["refused"] > CALLS // 10


if __name__ == "__main__":
    import sys

    calls = int(sys.argv[1]) if len(sys.argv) > 1 else CALLS
    tally, faults = run(calls, SEED)
    print(f"generated fits: {calls}, seed {SEED}: {dict(tally)}")
    print("\n".join(faults))
