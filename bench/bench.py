"""Side-by-side timings of velarix and the usual alternatives.

    PYTHONPATH=build/python python3 bench/bench.py [--quick] [--markdown]

Every workload runs velarix and scipy's CubicSpline, PchipInterpolator and
Akima1DInterpolator on the same data in the same run (numpy.interp and
math.fabs stand beside them as floors). Each figure is the median over the
repeats with the minimum beside it; every velarix row carries its ratio to
the best scipy median of the same workload (lower is better). Beside each
class's evaluation rows, the rows marked "· interpolate" time the NumPy
layer over the same spline (velarix.interpolate with the same configuration,
linear extrapolation), run alternately with the class's own batch_into or
scalar call, with their ratio to it ("vs class"). The thread rows set two
threads against one doing the same two calls, in elapsed time.
"""

import argparse
import gc
import math
import os
import pickle
import platform
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from scipy.interpolate import (
    Akima1DInterpolator,
    CubicSpline,
    PchipInterpolator,
    make_smoothing_spline,
)

import velarix
from peak import PEAK_RESET
from velarix._registry import RECORDS

SEED = 20261208


def knots(n, rng):
    """n uneven knots on [0, 4]: widths drawn from [0.2, 1.8) before scaling."""
    widths = rng.uniform(0.2, 1.8, n - 1)
    x = np.concatenate(([0.0], np.cumsum(widths)))
    return x * (4.0 / x[-1])


def data(kind, n, rng):
    x = knots(n, rng)
    if kind == "convex":
        return x, np.exp(x)
    if kind == "noisy monotone":
        return x, np.cumsum(rng.uniform(0.0, 1.0, n))  # rising by random steps
    if kind == "noisy":
        return x, rng.standard_normal(n)
    if kind == "noisy convex":
        return x, np.exp(x) + rng.normal(0.0, 0.05 * (np.exp(4.0) - 1.0), n)  # 5 % of the range
    if kind == "stepped":
        return x, np.floor(2.5 * x)  # ten flat steps, each rising in one interval
    return x, np.tanh(4.0 * (x - 2.0))  # a smoothed step: one inflection


# The data of the fit rows: smooth convex, smooth with one inflection, and
# monotone with random steps (no smooth function behind it: shape-preserving
# fits work hardest there).
FIT_KINDS = ("convex", "inflected", "noisy monotone")


def accepted_kinds(config):
    """The timed data kinds a configuration fits (a method may refuse some by design)."""
    kinds = []
    for kind in FIT_KINDS:
        try:
            config.fit(*data(kind, 12, np.random.default_rng(SEED)))
        except ValueError:
            continue
        kinds.append(kind)
    return tuple(kinds)


# The velarix configurations: name, the data kinds it accepts, the
# configuration. Every registered method's default configuration, then the
# variants worth timing apart, by name.
CONFIGS = sorted([
    (name, accepted_kinds(config), config)
    for name, config in [(name, m.configuration()) for name, m in RECORDS.items()] + [
        ("rational_cubic_newton", velarix.RationalCubic().with_convexity_solver("newton")),
        ("tension_uniform_2", velarix.Tension().with_uniform_tension(2.0)),
        ("tension_strict", velarix.Tension().with_strict_shape()),
        ("variable_degree_no_raise", velarix.VariableDegree().with_max_iterations(0)),
    ]
], key=lambda row: row[0])
# The velarix fitters: name, the data kinds it accepts, the fitter.
VELARIX = [(name, kinds, config.fit) for name, kinds, config in CONFIGS]
CONFIG_OF = {name: config for name, _, config in CONFIGS}
# The NumPy layer's rows carry this suffix and their ratio to the class's own.
INTERFACE = " · interpolate"

SCIPY = [
    ("scipy_cubic", CubicSpline),
    ("scipy_pchip", PchipInterpolator),
    ("scipy_akima", Akima1DInterpolator),
]

# The evaluation rows: every method, and the uniform tension the targets name.
EVAL_VELARIX = (*RECORDS, "tension_uniform_2")


# Every workload is single-threaded, so the CPU time of the process measures
# it without the time slices that other processes on a shared machine take;
# --clock wall measures elapsed time instead. Fits of the methods whose long
# fits split over threads are timed on one thread for these rows, and on
# all cores in elapsed time beside CubicSpline's in rows of their own.
CLOCK = time.process_time
THREADED = {name for name, method in RECORDS.items() if method.threaded_fit}


def timed(fn, repeats):
    """Median and minimum of `repeats` timings of fn(), in seconds."""
    times = []
    result = None
    for _ in range(repeats):
        gc.disable()
        start = CLOCK()
        result = fn()
        elapsed = CLOCK() - start
        gc.enable()
        times.append(elapsed)
    return float(np.median(times)), min(times), result


def timed_pair(fn_a, fn_b, repeats, clock=None):
    """timed() of two functions run alternately, so that both see the same load."""
    clock = clock or CLOCK
    times_a, times_b = [], []
    for _ in range(repeats):
        for fn, times in ((fn_a, times_a), (fn_b, times_b)):
            gc.disable()
            start = clock()
            fn()
            times.append(clock() - start)
            gc.enable()
    return [(float(np.median(t)), min(t)) for t in (times_a, times_b)]


def fmt(seconds, unit):
    scale = {"ms": 1e3, "us": 1e6, "ns": 1e9}[unit]
    value = seconds * scale
    return f"{value:.3g}" if value < 100 else f"{value:.0f}"


class Table:
    def __init__(self, title, columns):
        self.title = title
        self.columns = columns
        self.rows = []

    def add(self, *cells):
        self.rows.append([str(c) for c in cells])

    def render(self, markdown):
        out = [f"\n### {self.title}\n" if markdown else f"\n== {self.title}"]
        if markdown:
            out.append("| " + " | ".join(self.columns) + " |")
            out.append("|" + "|".join("---" for _ in self.columns) + "|")
            out += ["| " + " | ".join(r) + " |" for r in self.rows]
        else:
            widths = [max(len(c), *(len(r[i]) for r in self.rows)) for i, c in enumerate(self.columns)]
            out.append("  ".join(c.ljust(w) for c, w in zip(self.columns, widths)))
            out += ["  ".join(c.ljust(w) for c, w in zip(r, widths)) for r in self.rows]
        return "\n".join(out)


def iterations_of(spline):
    return getattr(spline, "iterations", "-")


def bench_fit(sizes, repeats_for, table, failures):
    rng = np.random.default_rng(SEED)
    for n in sizes:
        for kind in FIT_KINDS:
            x, y = data(kind, n, rng)
            repeats = repeats_for(n)
            scipy_rows = []
            for name, cls in SCIPY:
                med, lo, _ = timed(lambda: cls(x, y), repeats)
                scipy_rows.append((name, med, lo))
            best = min(med for _, med, _ in scipy_rows)
            cubic = scipy_rows[0][1]
            for name, med, lo in scipy_rows:
                table.add(f"{n:.0e}", kind, name, fmt(med, "ms"), fmt(lo, "ms"), "-", "", "")
            for name, kinds, fitter in VELARIX:
                if kind not in kinds:
                    continue
                try:
                    with velarix.set_workers(1):
                        med, lo, spline = timed(lambda: fitter(x, y), repeats)
                except ValueError as error:  # a refusal is reported, once
                    table.add(f"{n:.0e}", kind, name, "fails", "-", "-", "-", "-")
                    failures.append(f"{name} at n = {n:.0e} on {kind} data: {error}")
                    continue
                table.add(
                    f"{n:.0e}", kind, name, fmt(med, "ms"), fmt(lo, "ms"),
                    iterations_of(spline), f"{med / best:.2f}", f"{med / cubic:.2f}",
                )
                if name in THREADED:
                    (cubic_wall, _), (med, lo) = timed_pair(
                        lambda: CubicSpline(x, y), lambda: fitter(x, y), repeats,
                        clock=time.perf_counter)
                    table.add(f"{n:.0e}", kind, f"{name}, {velarix.get_workers()} threads",
                              fmt(med, "ms"), fmt(lo, "ms"), iterations_of(spline), "-",
                              f"{med / cubic_wall:.2f}")


# The strict tension policy beside the published one: the passes each needs
# and the cost of a fit, on data where the published policy stops at once
# (convex, inflected) and where it runs to its pass cap (noisy, stepped).
POLICIES = (
    ("published", velarix.Tension()),
    ("strict", velarix.Tension().with_strict_shape()),
)


def bench_shape(sizes, repeats_for, table):
    rng = np.random.default_rng(SEED + 3)
    for n in sizes:
        for kind in ("convex", "inflected", "noisy", "stepped"):
            x, y = data(kind, n, rng)
            medians = {}
            for name, config in POLICIES:
                med, lo, spline = timed(lambda: config.fit(x, y), repeats_for(n))
                medians[name] = med
                ratio = f"{med / medians['published']:.2f}" if name == "strict" else ""
                table.add(f"{n:.0e}", kind, name, spline.iterations, fmt(med, "ms"), fmt(lo, "ms"),
                          ratio, spline.is_shape_preserving)


def bench_eval(sizes, m, repeats, table):
    rng = np.random.default_rng(SEED + 1)
    for n in sizes:
        x, y = data("convex", n, rng)
        scipy_splines = [(name, cls(x, y)) for name, cls in SCIPY]
        ours = []
        for name, _, fitter in VELARIX:
            if name not in EVAL_VELARIX:
                continue
            try:
                ours.append((name, fitter(x, y), velarix.interpolate(x, y, CONFIG_OF[name])))
            except ValueError:  # refused fits are listed with the fit table
                pass
        random_xs = rng.uniform(x[0], x[-1], m)
        for order, xs in (("random", random_xs), ("sorted", np.sort(random_xs))):
            for deriv in ("value", "second"):
                nu = 0 if deriv == "value" else 2
                rows = []
                for name, spl in scipy_splines:
                    med, lo, _ = timed(lambda: spl(xs, nu), repeats)
                    rows.append((name, med, lo))
                best = min(med for _, med, _ in rows)
                for name, med, lo in rows:
                    table.add(f"{n:.0e}", order, deriv, name, fmt(med / m, "ns"), fmt(lo / m, "ns"),
                              "", "")
                if deriv == "value":
                    med, lo, _ = timed(lambda: np.interp(xs, x, y), repeats)
                    table.add(f"{n:.0e}", order, deriv, "numpy_interp (floor)",
                              fmt(med / m, "ns"), fmt(lo / m, "ns"), f"{med / best:.2f}", "")
                out = np.empty(m)
                for name, spl, f in ours:
                    into = spl.value_batch_into if nu == 0 else spl.second_derivative_batch_into
                    # The class and the NumPy layer over it, alternately.
                    (med, lo), (f_med, f_lo) = timed_pair(
                        lambda: into(xs, out), lambda: f(xs, nu), repeats)
                    table.add(f"{n:.0e}", order, deriv, name, fmt(med / m, "ns"), fmt(lo / m, "ns"),
                              f"{med / best:.2f}", "")
                    table.add(f"{n:.0e}", order, deriv, name + INTERFACE, fmt(f_med / m, "ns"),
                              fmt(f_lo / m, "ns"), f"{f_med / best:.2f}", f"{f_med / med:.2f}")


def bench_integral(sizes, m, repeats, table):
    """antiderivative_batch beside the same spline's value_batch and beside
    the evaluation of scipy's PPoly.antiderivative() (built outside the
    timing, as velarix's integral table is built by a first call); the table's
    one-off build is timed apart on a freshly restored spline."""
    rng = np.random.default_rng(SEED + 3)
    for n in sizes:
        x, y = data("convex", n, rng)
        scipy_anti = [(name, cls(x, y).antiderivative()) for name, cls in SCIPY[:2]]
        ours = []
        for name, _, fitter in VELARIX:
            if name in EVAL_VELARIX:
                try:
                    ours.append((name, fitter(x, y)))
                except ValueError:  # refused fits are listed with the fit table
                    pass
        random_xs = rng.uniform(x[0], x[-1], m)
        for order, xs in (("random", random_xs), ("sorted", np.sort(random_xs))):
            rows = [(name, *timed(lambda: anti(xs), repeats)[:2]) for name, anti in scipy_anti]
            best = min(med for _, med, _ in rows)
            for name, med, lo in rows:
                table.add(f"{n:.0e}", order, name + " (PPoly)", "-", fmt(med / m, "ns"),
                          fmt(lo / m, "ns"), "-", "", "-")
            for name, spl in ours:
                fresh = pickle.loads(pickle.dumps(spl))
                build, _, _ = timed(lambda: fresh.antiderivative(x[0]), 1)
                value, _, _ = timed(lambda: spl.value_batch(xs), repeats)
                med, lo, _ = timed(lambda: spl.antiderivative_batch(xs), repeats)
                table.add(f"{n:.0e}", order, name, fmt(value / m, "ns"), fmt(med / m, "ns"),
                          fmt(lo / m, "ns"), f"{med / value:.2f}", f"{med / best:.2f}",
                          fmt(build, "ms"))


def bench_third(sizes, m, repeats, table):
    """third_derivative_batch_into against second_derivative_batch_into of the
    same spline, alternately."""
    rng = np.random.default_rng(SEED + 5)
    for n in sizes:
        x, y = data("convex", n, rng)
        random_xs = rng.uniform(x[0], x[-1], m)
        out = np.empty(m)
        for name, _, fitter in VELARIX:
            if name not in EVAL_VELARIX:
                continue
            spl = fitter(x, y)
            for order, xs in (("random", random_xs), ("sorted", np.sort(random_xs))):
                (second, _), (third, lo) = timed_pair(
                    lambda: spl.second_derivative_batch_into(xs, out),
                    lambda: spl.third_derivative_batch_into(xs, out), repeats)
                table.add(f"{n:.0e}", order, name, fmt(second / m, "ns"), fmt(third / m, "ns"),
                          fmt(lo / m, "ns"), f"{third / second:.2f}")


# The smoother with its lam search at a knot at every distinct x,
# unconstrained and held to the data's shape, beside scipy on the same
# points: make_smoothing_spline with its own GCV (the same criterion and
# basis; it refuses some data, "refused" then) and CubicSpline through all of
# them (the cheapest C2 fit there is). "growth" is the time over the same
# fit's at the size before, for the linear growth the banded numerics give.
SMOOTHERS = (
    ("smoother", velarix.Smoother()),
    ("smoother, increasing convex", velarix.Smoother().with_shape("increasing convex")),
    ("smoother, auto", velarix.Smoother().with_shape("auto")),
)
# "auto" fits every shape: beyond this many points it would take minutes.
AUTO_MOST = 10**4
# The robust fit's row: Huber reweighting on a record of this many points.
ROBUST_N = 3000


def smoothing_peers(x, y, repeats):
    peers = {}
    for key, (name, make) in SMOOTH_REFERENCES.items():
        if key == "gcv" and len(x) > 10**4:
            continue  # its dense steps take minutes beyond
        try:
            med, lo, _ = timed(lambda: make(x, y), repeats)
            peers[key] = (name, med, lo)
        except ValueError:
            peers[key] = (name + " (refused)", None, None)
    return peers


def bench_smooth(sizes, repeats_for, table):
    rng = np.random.default_rng(SEED + 6)
    previous = {}
    for n in sizes:
        x, y = data("noisy convex", n, rng)
        repeats = repeats_for(n)
        peers = smoothing_peers(x, y, repeats)
        for name, med, lo in peers.values():
            table.add(f"{n:.0e}", name, "", fmt(med, "ms") if med else "",
                      fmt(lo, "ms") if lo else "", "", "", "", "", "")
        cubic = peers["cubic"][1]
        gcv = peers.get("gcv", (None, None))[1]
        for name, config in SMOOTHERS:
            if name.endswith("auto") and n > AUTO_MOST:
                continue
            med, lo, spline = timed(lambda: config.fit(x, y), repeats)
            growth = f"{med / previous[name]:.1f}" if name in previous else ""
            previous[name] = med
            table.add(f"{n:.0e}", name, spline.shape, fmt(med, "ms"), fmt(lo, "ms"),
                      f"{med / cubic:.1f}", f"{med / gcv:.2f}" if gcv else "", growth,
                      f"{spline.lam:.3g}", f"{spline.edf:.3g}")
    x, y = data("noisy convex", ROBUST_N, rng)
    y[::50] += 20.0  # 2 % outliers
    robust = velarix.Smoother().with_robust(True)
    med, lo, spline = timed(lambda: robust.fit(x, y), repeats_for(ROBUST_N))
    table.add(f"{ROBUST_N:.0e}", "smoother, robust (2 % outliers)", spline.shape, fmt(med, "ms"),
              fmt(lo, "ms"), "", "", "", f"{spline.lam:.3g}", f"{spline.edf:.3g}")


def fit_alone(fitter, x, y):
    """A fit on the calling thread only (get_workers() is the thread's own)."""
    with velarix.set_workers(1):
        return fitter(x, y)


def bench_threads(n, m, repeats, table):
    """Two threads at once against one thread making the same two calls one
    after the other, in elapsed time (CPU time would add the threads up):
    value_batch_into of m points each on one shared spline, and two fits of
    n knots, each kept to its own thread. The ratio is the throughput of two
    threads over one thread's: 2 on two idle cores."""
    rng = np.random.default_rng(SEED + 4)
    x, y = data("convex", n, rng)
    xs = [rng.uniform(x[0], x[-1], m) for _ in range(2)]
    outs = [np.empty(m) for _ in range(2)]
    with ThreadPoolExecutor(2) as pool:
        for name, _, fitter in VELARIX:
            if name not in EVAL_VELARIX:
                continue
            spl = fitter(x, y)
            work = {
                f"value_batch_into, {m:.0e} points": lambda k: spl.value_batch_into(xs[k], outs[k]),
                f"fit, {n:.0e} knots": lambda k: fit_alone(fitter, x, y),
            }
            for what, call in work.items():
                (one, _), (two, _) = timed_pair(
                    lambda: [call(0), call(1)], lambda: list(pool.map(call, range(2))), repeats,
                    clock=time.perf_counter)
                table.add(name, what, fmt(one, "ms"), fmt(two, "ms"), f"{one / two:.2f}")


def bench_numpy(n, m, repeats, table):
    """The NumPy layer's objects and cores, per method's default interpolant:
    a derivative() object against the parent's nu=1 call (CPU time,
    alternately); two curves of n knots fitted with workers=2 against
    workers=1, and a Dask array of 10 m points on the threaded scheduler with
    two workers against one thread evaluating the same points (both elapsed
    time: the ratio is throughput, 2 on two idle cores)."""
    rng = np.random.default_rng(SEED + 6)
    x, y = data("convex", n, rng)
    xs = rng.uniform(x[0], x[-1], m)
    columns = np.stack([y, 2 * y], axis=1)
    try:
        import dask.array as da
    except ImportError:
        da = None
    big = rng.uniform(x[0], x[-1], 10 * m) if da is not None else None
    for name in RECORDS:
        f = velarix.interpolate(x, y, name)
        d = f.derivative()
        (parent, _), (derived, _) = timed_pair(lambda: f(xs, nu=1), lambda: d(xs), repeats)
        table.add(name, f"derivative() object, {m:.0e} points", fmt(parent, "ms"),
                  fmt(derived, "ms"), f"{derived / parent:.2f}", "<= 1.05")
        (one, _), (two, _) = timed_pair(
            lambda: velarix.interpolate(x, columns, name, workers=1),
            lambda: velarix.interpolate(x, columns, name, workers=2), max(3, repeats // 2),
            clock=time.perf_counter)
        table.add(name, f"2 curves of {n:.0e} knots, workers=2", fmt(one, "ms"), fmt(two, "ms"),
                  f"{one / two:.2f}", ">= 1.7")
        if da is not None:
            chunks = da.from_array(big, chunks=len(big) // 8)
            (one, _), (two, _) = timed_pair(
                lambda: f(big),
                lambda: chunks.map_blocks(f, dtype=float).compute(scheduler="threads",
                                                                  num_workers=2),
                max(3, repeats // 2), clock=time.perf_counter)
            table.add(name, f"Dask threads, {len(big):.0e} points", fmt(one, "ms"),
                      fmt(two, "ms"), f"{one / two:.2f}", ">= 1.6")


def bench_scalar(calls, repeats, table):
    rng = np.random.default_rng(SEED + 2)
    x, y = data("convex", 1000, rng)
    points = [float(v) for v in rng.uniform(x[0], x[-1], calls)]

    def loop(f):
        def run():
            for p in points:
                f(p)
        return run

    rows = []
    for name, cls in SCIPY:
        med, lo, _ = timed(loop(cls(x, y)), repeats)
        rows.append((name, med, lo))
    best = min(med for _, med, _ in rows)
    floor, floor_lo, _ = timed(loop(math.fabs), repeats)
    for name, med, lo in rows:
        table.add(name, fmt(med / calls, "ns"), fmt(lo / calls, "ns"), "", "", "")
    table.add("math.fabs (floor)", fmt(floor / calls, "ns"), fmt(floor_lo / calls, "ns"),
              f"{floor / best:.3f}", "1.00", "")
    for name, _, fitter in VELARIX:
        if name not in EVAL_VELARIX:
            continue
        (med, lo), (f_med, f_lo) = timed_pair(
            loop(fitter(x, y)), loop(velarix.interpolate(x, y, CONFIG_OF[name])), repeats)
        table.add(name, fmt(med / calls, "ns"), fmt(lo / calls, "ns"), f"{med / best:.3f}",
                  f"{med / floor:.2f}", "")
        table.add(name + INTERFACE, fmt(f_med / calls, "ns"), fmt(f_lo / calls, "ns"),
                  f"{f_med / best:.3f}", f"{f_med / floor:.2f}", f"{f_med / med:.2f}")


# The memory of one fit is measured in a fresh interpreter: the peak resident
# set is reset once the input is resident and the allocator has returned its
# free pages, and the peak's growth over the fit is reported.
MEMORY_CHILD = r"""
import ctypes, sys
import numpy as np
sys.path[:0] = sys.argv[4:]
import bench
kind, name, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
x, y = bench.data(kind, n, np.random.default_rng(bench.SEED))
fitters = {k: f for k, _, f in bench.VELARIX}
fitters.update({k: c for k, c in bench.SCIPY})
fitters.update({k: c.fit for k, c in bench.SMOOTHERS})
""" + PEAK_RESET + r"""
try:
    spline = fitters[name](x, y)
    note = ""
except ValueError:
    note = " (refused)"
print((status("VmHWM") - before) / n, note)
"""


def bench_memory(n, table):
    here = os.path.dirname(os.path.abspath(__file__))
    cases = [(kind, name) for name, kinds, _ in VELARIX for kind in kinds]
    cases += [(kind, name) for name, _ in SCIPY for kind in ("convex", "inflected")]
    cases += [("noisy convex", name) for name, _ in SMOOTHERS if not name.endswith("auto")]
    for kind, name in cases:
        result = subprocess.run(
            [sys.executable, "-c", MEMORY_CHILD, kind, name, str(n), here, *sys.path],
            capture_output=True, text=True, check=True,
        )
        figure, _, note = result.stdout.strip().partition(" ")
        per_point = float(figure)
        table.add(f"{n:.0e}", kind, name + note, f"{per_point:.0f}", f"{per_point / 8:.1f}")


# Reading a table: the command's reader beside numpy.loadtxt on the same
# numbers, each in a fresh interpreter. The time of each read, and the growth
# of the peak resident set over the first read (reset as for the fits).
READ_CHILD = r"""
import ctypes, statistics, sys, time
import numpy as np
from velarix import cli
reader, path, repeats, clock = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
clock = time.process_time if clock == "cpu" else time.perf_counter
read = {
    "numpy.loadtxt": lambda: np.loadtxt(path, delimiter=",", skiprows=1),
    "velarix read_table": lambda: cli.read_table(path),
}[reader]
""" + PEAK_RESET + r"""
times = []
for i in range(repeats):
    start = clock()
    table = read()
    times.append(clock() - start)
    if i == 0:
        peak = status("VmHWM") - before
    del table
print(statistics.median(times), min(times), peak)
"""


def table_files(rows, directory):
    """The same rows of uneven x and a random walk as a comma-separated table
    and as a semicolon-separated one with decimal commas (about 38 bytes a row)."""
    rng = np.random.default_rng(SEED + 4)
    x = np.sort(rng.uniform(0.0, 1.0, rows))
    y = np.cumsum(rng.uniform(0.0, 1.0, rows))
    body = "".join(f"{a!r},{b!r}\n" for a, b in zip(x.tolist(), y.tolist()))
    files = {"commas": os.path.join(directory, "commas.csv"),
             "semicolons, decimal commas": os.path.join(directory, "semicolons.csv")}
    with open(files["commas"], "w") as f:
        f.write("t,temp\n" + body)
    with open(files["semicolons, decimal commas"], "w") as f:
        f.write("t;temp\n" + body.replace(",", ";").replace(".", ","))
    return files


def bench_read(rows, repeats, table):
    here = os.path.dirname(os.path.abspath(__file__))
    clock = "cpu" if CLOCK is time.process_time else "wall"

    def measured(reader, path):
        result = subprocess.run(
            [sys.executable, "-c", READ_CHILD, reader, path, str(repeats), clock],
            capture_output=True, text=True, check=True,
            env=dict(os.environ, PYTHONPATH=os.pathsep.join([here, *sys.path])),
        )
        return [float(v) for v in result.stdout.split()]

    with tempfile.TemporaryDirectory() as directory:
        files = table_files(rows, directory)
        size = os.path.getsize(files["commas"]) / 1e6
        base, base_lo, base_peak = measured("numpy.loadtxt", files["commas"])
        table.add(f"{rows:.0e}", f"commas, {size:.0f} MB", "numpy.loadtxt", f"{base:.3g}",
                  f"{base_lo:.3g}", f"{base_peak / 1e6:.1f}", "", "")
        for form, path in files.items():
            med, lo, peak = measured("velarix read_table", path)
            table.add(f"{rows:.0e}", form, "velarix read_table", f"{med:.3g}", f"{lo:.3g}",
                      f"{peak / 1e6:.1f}", f"{med / base:.2f}", f"{peak / base_peak:.2f}")


def machine():
    model = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} cores, Python {platform.python_version()}"


PARTS = ("fit", "shape", "smooth", "eval", "third", "integral", "threads", "numpy", "scalar",
         "memory", "read", "grid")
# The scipy fits the smoothing rows stand beside.
SMOOTH_REFERENCES = {
    "cubic": ("scipy_cubic (through the points)", CubicSpline),
    "gcv": ("scipy make_smoothing_spline (its GCV)", make_smoothing_spline),
}


def write_markdown(path, tables, failures):
    """The run's tables as one markdown page section: the machine, then each table."""
    lines = [f"`machine: {machine()}; numpy {np.__version__}; scipy {__import__('scipy').__version__}; "
             f"{CLOCK.__name__.replace('_', ' ')}; {time.strftime('%Y-%m-%d')}`\n"]
    lines += [t.render(True).replace("\n### ", "\n## ", 1) for t in tables]
    lines += [f"\nrefused: {failure}" for failure in failures]
    with open(path, "w", encoding="utf-8") as out:
        out.write("\n".join(lines) + "\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="small sizes, few repeats (< 30 s)")
    parser.add_argument("--markdown", action="store_true", help="print the tables as markdown")
    parser.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                        help="process CPU time (default) or elapsed time")
    parser.add_argument("--only", choices=PARTS, action="append")
    parser.add_argument("--output", metavar="FILE",
                        help="also write the tables as markdown to FILE (the documentation's "
                             "performance page includes docs/guide/benchmark.md)")
    args = parser.parse_args()
    global CLOCK
    CLOCK = time.process_time if args.clock == "cpu" else time.perf_counter
    parts = set(args.only or PARTS)

    if args.quick:
        fit_sizes, eval_sizes, m, eval_repeats, calls, memory_n = (
            (10**3, 10**5), (10**2, 10**4), 2 * 10**5, 3, 2 * 10**4, 10**5)
        thread_n, thread_m = 10**5, 2 * 10**5
        read_rows, read_repeats = 10**5, 3
        repeats_for = lambda n: 3  # noqa: E731
        shape_repeats = lambda n: 3  # noqa: E731
        smooth_sizes = (10**3, 10**4, 10**5)
        smooth_repeats = lambda n: 3 if n <= 10**4 else 1  # noqa: E731
    else:
        fit_sizes, eval_sizes, m, eval_repeats, calls, memory_n = (
            (10**3, 10**5, 10**6), (10**2, 10**4, 10**6), 10**6, 7, 10**5, 10**6)
        thread_n, thread_m = 10**6, 10**6
        read_rows, read_repeats = 10**6, 5
        repeats_for = lambda n: 21 if n <= 10**3 else (7 if n <= 10**5 else 5)  # noqa: E731
        # The published policy needs seconds per fit at 1e6 noisy knots.
        shape_repeats = lambda n: 11 if n <= 10**3 else (3 if n <= 10**5 else 1)  # noqa: E731
        smooth_sizes = (10**3, 10**4, 10**5, 10**6)
        # Seconds per fit at 1e6 points.
        smooth_repeats = lambda n: 7 if n <= 10**4 else (3 if n <= 10**5 else 1)  # noqa: E731

    started = time.perf_counter()
    print(f"machine: {machine()}; numpy {np.__version__}; "
          f"scipy {__import__('scipy').__version__}; {args.clock} clock"
          f"{'; quick' if args.quick else ''}")
    tables = []
    failures = []
    if "fit" in parts:
        t = Table("Fit (ms per fit; ratios to the best scipy fit and to CubicSpline)",
                  ["n", "data", "method", "median", "min", "iterations", "ratio", "vs cubic"])
        bench_fit(fit_sizes, repeats_for, t, failures)
        tables.append(t)
    if "shape" in parts:
        t = Table("Strict against published tension policy (passes; ms per fit; ratio strict/published)",
                  ["n", "data", "policy", "passes", "median", "min", "ratio", "shape kept"])
        bench_shape(fit_sizes, shape_repeats, t)
        tables.append(t)
    if "smooth" in parts:
        t = Table("Smoothing fit with the lam search, a knot at every x (ms per fit; ratios to "
                  "scipy's fits of the same points)",
                  ["n", "fit", "shape", "median", "min", "vs cubic", "vs scipy smoothing",
                   "growth", "lam", "edf"])
        bench_smooth(smooth_sizes, smooth_repeats, t)
        tables.append(t)
    if "eval" in parts:
        t = Table(f"Batch evaluation of {m:.0e} points (ns per point; ratio to the best scipy)",
                  ["n", "order", "derivative", "method", "median", "min", "ratio", "vs class"])
        bench_eval(eval_sizes, m, eval_repeats, t)
        tables.append(t)
    if "third" in parts:
        t = Table(f"Third against second derivative, {m:.0e} points (ns per point; ratio third/second)",
                  ["n", "order", "method", "second", "third", "min", "ratio"])
        bench_third(eval_sizes, m, eval_repeats, t)
        tables.append(t)
    if "integral" in parts:
        t = Table(f"Antiderivative of {m:.0e} points (ns per point; ratios to the same "
                  "spline's value_batch and to the best scipy antiderivative)",
                  ["n", "order", "method", "value", "median", "min", "vs value", "vs scipy",
                   "table ms"])
        bench_integral(eval_sizes, m, eval_repeats, t)
        tables.append(t)
    if "threads" in parts:
        load = ", ".join(f"{v:.2f}" for v in os.getloadavg())
        t = Table(f"Two threads against one (ms elapsed for both calls; ratio one/two; "
                  f"load average before: {load})",
                  ["method", "calls", "one thread", "two threads", "ratio"])
        bench_threads(thread_n, thread_m, eval_repeats, t)
        tables.append(t)
    if "numpy" in parts:
        load = ", ".join(f"{v:.2f}" for v in os.getloadavg())
        t = Table(f"The NumPy layer's objects and cores (ms; the derivative() ratio is object/"
                  f"parent, the others one core/two; load average before: {load})",
                  ["method", "work", "baseline", "measured", "ratio", "target"])
        bench_numpy(thread_n, thread_m, eval_repeats, t)
        tables.append(t)
    if "scalar" in parts:
        t = Table(f"Scalar calls spl(x), {calls:.0e} from a Python loop (ns per call)",
                  ["method", "median", "min", "ratio to scipy", "ratio to fabs", "vs class"])
        bench_scalar(calls, 5, t)
        tables.append(t)
    if "memory" in parts:
        t = Table("Peak memory of a fit beyond the input (growth of max RSS)",
                  ["n", "data", "method", "bytes/point", "doubles/point"])
        bench_memory(memory_n, t)
        tables.append(t)
    if "read" in parts:
        t = Table(f"Reading a table of {read_rows:.0e} rows (s per read; peak memory growth of "
                  "the first read; ratios to numpy.loadtxt on the comma-separated file)",
                  ["rows", "table", "reader", "median", "min", "peak MB", "time ratio",
                   "memory ratio"])
        bench_read(read_rows, read_repeats, t)
        tables.append(t)
    if "grid" in parts:
        from grid import bench_grid_memory, bench_grid_shape, bench_grid_speed

        t = Table("Tables of several variables: interpolate_grid beside scipy (ratio ours/theirs)",
                  ["work", "grid", "velarix", "peer", "ratio"])
        bench_grid_speed(t, timed_pair, args.quick)
        tables.append(t)
        t = Table("Grid shape: grids with a turn-back above 1e-13 of the range (worst), flat "
                  "cells (ulps), interpolation (ulps)",
                  ["set", "grids", "shape", "cubic", "flat ulps", "data ulps"])
        bench_grid_shape(t, args.quick)
        tables.append(t)
        t = Table("Grid memory: peak resident growth of the fit and after 1e6 evaluations (MB)",
                  ["grid", "interpolant", "fit", "fit + evaluation"])
        bench_grid_memory(t)
        tables.append(t)
    for t in tables:
        print(t.render(args.markdown))
    for failure in failures:
        print(f"\nrefused: {failure}")
    if args.output:
        write_markdown(args.output, tables, failures)
    print(f"\ntotal {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
