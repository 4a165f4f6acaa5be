"""Large inputs: a fit of 10^7 points with each method and a batch evaluation
of 10^8 points must finish, or fail with MemoryError, never crash. Reports
the peak memory of each fit in bytes per data point.

Each case runs in its own interpreter, so that the peak resident size
(ru_maxrss) belongs to that case alone. Not part of the test suites: it
needs several GiB and minutes. Run it from the repository root after a build:
    PYTHONPATH=build/python /usr/bin/python3 scripts/limits.py [points] [evaluations]
"""

import subprocess
import sys
import time

from velarix._registry import RECORDS

CASE = r"""
import resource, sys, time
import numpy as np
import velarix
method, n = sys.argv[1], int(sys.argv[2])
x = np.linspace(0.0, 10.0, n)
y = np.exp(x) if method != "batch" else None
def peak():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
from velarix._registry import RECORDS
configs = {name: m.configuration() for name, m in RECORDS.items()}
configs["tension_uniform"] = velarix.Tension().with_uniform_tension(2.0)
start = time.perf_counter()
try:
    if method == "batch":
        spline = velarix.Tension().fit(np.linspace(0.0, 10.0, 1000), np.sin(np.linspace(0.0, 10.0, 1000)))
        before = peak()
        values = spline.value_batch(x)
        assert len(values) == n
        spline.value_batch_into(x, x)
        assert np.array_equal(np.asarray(values), x)
    else:
        before = peak()
        spline = configs[method].fit(x, y)
        assert spline.value(x[n // 2]) == y[n // 2]
    print("ok", time.perf_counter() - start, (peak() - before) / n)
except MemoryError:
    print("MemoryError", time.perf_counter() - start, 0)
except ValueError as error:
    # A documented refusal (the convexity solve may need more sweeps on a
    # fine grid); the peak up to the refusal is still the fit's.
    print("ValueError", time.perf_counter() - start, (peak() - before) / n, file=sys.stdout)
    print(error, file=sys.stderr)
"""


def main():
    points = int(sys.argv[1]) if len(sys.argv) > 1 else 10**7
    evaluations = int(sys.argv[2]) if len(sys.argv) > 2 else 10**8
    cases = [(m, points) for m in [*RECORDS, "tension_uniform"]]
    cases.append(("batch", evaluations))
    failed = False
    for method, n in cases:
        started = time.perf_counter()
        run = subprocess.run([sys.executable, "-c", CASE, method, str(n)], capture_output=True,
                             text=True)
        words = run.stdout.split()
        if run.returncode != 0 or not words:
            failed = True
            print(f"{method:16} n={n}: FAILED (exit {run.returncode}) {run.stderr[-500:]}")
            continue
        status, seconds, per_point = words[0], float(words[1]), float(words[2])
        label = "bytes per evaluation" if method == "batch" else "bytes per point"
        print(f"{method:16} n={n}: {status} in {seconds:.1f} s, peak {per_point:.1f} {label}"
              f" (wall {time.perf_counter() - started:.1f} s) {run.stderr.strip()}", flush=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
