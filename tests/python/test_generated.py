"""Generated fits, mostly from values that break numerics (zeros, subnormals,
huge and non-finite values, any bit pattern): each fit evaluates or raises
ValueError; a RuntimeError (a broken invariant) or anything else is a fault.
VELARIX_GENERATED_CALLS sets the count; `python3 test_generated.py 1000000`
makes a long run."""

import os
import random
import struct
import sys
from array import array

from velarix import EndSlopes

from conftest import METHODS, REGISTRY, builders

CALLS = int(os.environ.get("VELARIX_GENERATED_CALLS", "6000"))
CLASSES = list(METHODS.values())
BUILDERS = {cls: builders(cls) for cls in CLASSES}
ENDS = {m.configuration: m.end_conditions for m in REGISTRY.values()}
EXTREMES = [0.0, float("nan"), float("inf"), 5e-324, 1e-320, 2.2250738585072014e-308, 1e-300,
            1e-160, 2.220446049250313e-16, 1.0, 85.0, 86.0, 1e16, 1e150, 1e300, 1e306,
            4.49423283715579e307, 1.7976931348623157e308]


def fits(rng):
    def number():
        return [rng.choice(EXTREMES) * rng.choice((1, -1)), rng.randint(-128, 127) / 8,
                struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0]][rng.randrange(3)]

    def positive():  # a width or a shape parameter
        return [abs(rng.choice(EXTREMES)), 10.0 ** rng.uniform(-323, 308),
                rng.uniform(0.05, 3.0)][rng.randrange(3)]

    def setting(default):
        return [default, default, number(), positive()][rng.randrange(4)]

    def boundary(ends):
        """Any end condition the method lists (clamped to generated slopes)."""
        end = rng.choice(ends)
        return EndSlopes.clamped(number(), number()) if end == "clamped" else getattr(EndSlopes, end)()

    def count():
        return rng.randrange(100) if rng.randrange(8) else rng.randrange(3000)

    def argument(kind, default, choices, ends):
        if kind == "float":
            return setting(1.0 if default is None else default)
        if choices and rng.randrange(4):  # mostly what the method's option offers
            return rng.choice(choices)
        return {"count": count, "boundary": lambda: boundary(ends),
                "bool": lambda: bool(rng.randrange(2)), "choice": lambda: rng.choice(choices)}[kind]()

    while True:
        # Any method, its builders in any order, each applied or not: a
        # setting is its default half the time, or a number that breaks numerics.
        cls = rng.choice(CLASSES)
        c = cls()
        for builder in rng.sample(BUILDERS[cls], len(BUILDERS[cls])):
            if rng.randrange(2):
                current = getattr(c, builder.name.removeprefix("with_"), None)
                defaults = current if isinstance(current, tuple) else (current,) * len(builder.kinds)
                c = builder(c, *(argument(kind, default, builder.choices, ENDS[cls])
                                 for kind, default in zip(builder.kinds, defaults)))
        n = rng.randrange(2, 9) if rng.randrange(8) else rng.randrange(0, 40)
        width = positive if rng.randrange(2) else lambda: rng.uniform(0.05, 3.0)
        x = [number() if rng.randrange(4) == 0 else rng.uniform(-10, 10)]
        for _ in range(n - 1):  # mostly increasing, a raw knot now and then
            x.append(number() if rng.randrange(32) == 0 else x[-1] + width())
        y = [number() for _ in range(n if rng.randrange(16) else rng.randrange(10))]
        yield c, array("d", x[:n]), array("d", y), array("d", [number(), number()])


def run(calls, seed=19):
    """The counts of fitted and refused calls, and the faults met."""
    fitted, refused, faults = 0, 0, []
    for _, (config, x, y, probes) in zip(range(calls), fits(random.Random(seed))):
        try:
            spline = config.fit(x, y)
            fitted += 1
            for name in ("value_batch", "first_derivative_batch", "second_derivative_batch"):
                getattr(spline, name)(x), getattr(spline, name)(probes)
        except ValueError:
            refused += 1
        except Exception as error:  # noqa: BLE001 - anything else is a fault
            faults.append(f"{type(error).__name__}: {error} for {config!r} x={list(x)} y={list(y)}")
    return fitted, refused, faults


def test_no_generated_input_reaches_an_internal_fault():
    fitted, refused, faults = run(CALLS)
    assert faults == [], "\n".join(faults[:10])
    assert min(fitted, refused) > CALLS // 5


if __name__ == "__main__":
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else CALLS
    fitted, refused, faults = run(calls, int(os.environ.get("VELARIX_GENERATED_SEED", "19")))
    print(f"{calls} generated fits: {fitted} fitted, {refused} refused, {len(faults)} faults")
    print("\n".join(faults[:10]))
