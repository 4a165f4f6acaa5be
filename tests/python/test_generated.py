"""Generated fits: no input, however degenerate, reaches an internal fault.

Configurations and data are drawn mostly from values that break numerics
(zeros, subnormals, huge and non-finite values, any bit pattern). Every fit
must succeed and evaluate, or be refused with ValueError; a RuntimeError (a
broken invariant) or any other exception fails. VELARIX_GENERATED_CALLS sets
the number of fits (run `python3 tests/python/test_generated.py 1000000` for a
long run), VELARIX_GENERATED_SEED the seed.
"""

import collections
import os
import random
import struct
import sys
from array import array

from velarix import EndSlopes, RationalCubic, Tension, VariableDegree

CALLS = int(os.environ.get("VELARIX_GENERATED_CALLS", "6000"))
SEED = int(os.environ.get("VELARIX_GENERATED_SEED", "19"))
EXTREMES = [0.0, float("nan"), float("inf"), 5e-324, 1e-320, 2.2250738585072014e-308, 1e-300,
            1e-160, 1e-150, 2.220446049250313e-16, 0.5, 1.0, 85.0, 86.0, 1e16, 1e150, 1e300, 1e306,
            4.49423283715579e307, 1.7976931348623157e308]


def draws(rng):
    def number():  # anything, negative included
        kind = rng.randrange(4)
        if kind == 0:
            return rng.choice(EXTREMES) * rng.choice((1, -1))
        if kind == 1:
            return struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]
        return rng.randint(-128, 127) / (1 << rng.randrange(8))

    def positive():  # a width or a shape parameter
        kind = rng.randrange(4)
        return (abs(rng.choice(EXTREMES)) if kind == 0 else 10.0 ** rng.uniform(-323, 308)
                if kind == 1 else rng.uniform(0.05, 3.0))

    def setting(default):
        return [default, default, number(), positive()][rng.randrange(4)]

    def config():
        clamped = rng.randrange(2)
        boundary = EndSlopes.clamped(number(), number()) if clamped else EndSlopes.estimated()
        passes = rng.randrange(100) if rng.randrange(8) else rng.randrange(3000)
        method = rng.randrange(4)
        if method == 0:
            c = RationalCubic().with_shape(setting(1.0), setting(1.0))
            c = c.with_convexity_margin(setting(1e-3)).with_relaxation(setting(0.5))
        elif method == 3:
            c = VariableDegree().with_max_degree(setting(50.0))
        else:
            c = Tension().with_tolerance(setting(0.0))
            c = c.with_uniform_tension(setting(1.0)) if method == 2 else c
        return c.with_boundary(boundary).with_max_iterations(passes)

    def data():  # running sums of widths mostly, raw knots now and then
        n = rng.randrange(2, 9) if rng.randrange(8) else rng.randrange(0, 40)
        x = [number() if rng.randrange(4) == 0 else rng.uniform(-10, 10)]
        width = positive if rng.randrange(2) else lambda: rng.uniform(0.05, 3.0)
        for _ in range(n - 1):
            x.append(number() if rng.randrange(32) == 0 else x[-1] + width())
        ny = n if rng.randrange(16) else rng.randrange(0, 10)
        return array("d", x[:n]), array("d", [number() for _ in range(ny)])

    while True:
        yield config(), *data(), array("d", [number(), number(), float("nan")])


def run(calls, seed):
    """The outcomes of `calls` generated fits, and the faults met."""
    tally, faults = collections.Counter(), []
    for _, (config, x, y, probes) in zip(range(calls), draws(random.Random(seed))):
        try:
            spline = config.fit(x, y)
        except ValueError:
            tally["refused"] += 1
            continue
        except Exception as error:  # noqa: BLE001 - anything else is a fault
            faults.append(f"{type(error).__name__}: {error} for {config!r} x={list(x)} y={list(y)}")
            continue
        tally["fitted"] += 1
        for derivative in ("value", "first_derivative", "second_derivative"):
            evaluate = getattr(spline, derivative + "_batch")
            evaluate(x), evaluate(probes)
    return tally, faults


def test_no_generated_input_reaches_an_internal_fault():
    tally, faults = run(CALLS, SEED)
    assert faults == [], "\n".join(faults[:10])
    assert min(tally["fitted"], tally["refused"]) > CALLS // 5


if __name__ == "__main__":
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else CALLS
    tally, faults = run(calls, SEED)
    print(f"generated fits: {calls}, seed {SEED}: {dict(tally)}, internal faults: {len(faults)}")
    print("\n".join(faults[:10]))
