"""The ``velarix`` command: resample a tabulated curve shape-preservingly.

Reads a table of x and y (CSV or whitespace-separated, header optional,
``-`` for standard input), fits one or every method, and writes x with the
spline's value (and optionally its first and second derivatives) at evenly
spaced points over the data range, or at the x values of another file.
"""

import argparse
import io
import math
import os
import sys
import tempfile
from array import array

from velarix import EndSlopes, RationalCubic, Tension, VariableDegree, datasets

METHODS = ("tension", "rational-cubic", "variable-degree")
POLICIES = ("strict", "published")
DEFAULT_POINTS = 101


class UsageError(Exception):
    """A problem with the input or the options: one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


def _parser():
    p = _Parser(
        prog="velarix",
        description="Resample a tabulated curve with a shape-preserving C² spline.",
        epilog="With no input, the Akima (1970) data set is used.",
    )
    p.add_argument("input", nargs="?", help="table of x and y ('-' for standard input)")
    p.add_argument("-c", "--columns", default="0,1", metavar="X,Y",
                   help="the x and y columns, by 0-based index or header name (default 0,1)")
    p.add_argument("-m", "--method", default="tension", choices=METHODS + ("all",),
                   help="fitting method (default: tension); 'all' fits every method that accepts the data")
    p.add_argument("--clamped", nargs=2, type=float, metavar=("LEFT", "RIGHT"),
                   help="clamp the end slopes to these values (default: estimated)")
    p.add_argument("--policy", default="strict", choices=POLICIES,
                   help="how the tension method chooses its tensions: 'strict' (default) until "
                        "every shape requirement of the data holds, with limited end slopes; "
                        "'published' by the original minimal-tension passes")
    p.add_argument("--tension", type=float, metavar="SIGMA",
                   help="one uniform tension on every interval instead (tension method)")
    p.add_argument("--max-degree", type=float, metavar="D",
                   help="degree cap of the variable-degree method (default 50)")
    p.add_argument("--convexity-solver", default="sweep", choices=("sweep", "newton"),
                   help="convexity solve of the rational cubic (default sweep; newton "
                        "converges where the sweeps crawl)")
    where = p.add_mutually_exclusive_group()
    where.add_argument("-n", "--points", type=int, default=DEFAULT_POINTS, metavar="N",
                       help=f"number of evenly spaced output points (default {DEFAULT_POINTS})")
    where.add_argument("--at", metavar="FILE",
                       help="evaluate at the x values (first column) of this file")
    p.add_argument("-d", "--derivatives", action="store_true",
                   help="also write the first and second derivatives")
    p.add_argument("-o", "--output", metavar="FILE", help="write the CSV here (atomically)")
    p.add_argument("--plot", metavar="FILE", help="draw the data and the fits to a .png or .svg")
    return p


def _read_text(path):
    if path == "-":
        return sys.stdin.read(), "<stdin>"
    try:
        with open(path, encoding="utf-8") as f:
            return f.read(), path
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror}") from None


def _split(line):
    return [c.strip() for c in line.split(",")] if "," in line else line.split()


def _number(cell, where):
    try:
        return float(cell)
    except ValueError:
        raise UsageError(f"{where}: '{cell}' is not a number") from None


def read_table(text, source, columns):
    """The chosen columns of a table as lists of floats (a header is optional)."""
    rows = []
    header = None
    for lineno, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        cells = _split(line)
        if header is None and not rows and not _all_numbers(cells):
            header = cells
            continue
        rows.append((lineno, cells))
    indices = [_column_index(c, header) for c in columns]
    table = [[] for _ in indices]
    for lineno, cells in rows:
        for out, index in zip(table, indices):
            if index >= len(cells):
                raise UsageError(f"{source}, line {lineno}: no column {index + 1}")
            out.append(_number(cells[index], f"{source}, line {lineno}, column {index + 1}"))
    return table


def _all_numbers(cells):
    try:
        [float(c) for c in cells]
    except ValueError:
        return False
    return True


def _column_index(column, header):
    if column.isdigit():
        return int(column)
    if header is not None and column in header:
        return header.index(column)
    raise UsageError(f"no column '{column}' (columns are chosen by 0-based index or header name)")


def _configurations(args):
    boundary = EndSlopes.clamped(*args.clamped) if args.clamped else EndSlopes.estimated()
    tension = Tension().with_boundary(boundary)
    if args.policy == "strict":
        tension = tension.with_strict_shape()
    if args.tension is not None:
        tension = tension.with_uniform_tension(args.tension)
    degree = VariableDegree().with_boundary(boundary)
    if args.max_degree is not None:
        degree = degree.with_max_degree(args.max_degree)
    return {
        "tension": tension,
        "rational-cubic": RationalCubic()
        .with_boundary(boundary)
        .with_convexity_solver(args.convexity_solver),
        "variable-degree": degree,
    }


def fit_methods(args, x, y):
    configs = _configurations(args)
    if args.method != "all":
        try:
            return {args.method: configs[args.method].fit(x, y)}
        except ValueError as e:
            raise UsageError(f"{args.method}: {e}") from None
    fits = {}
    for name in METHODS:
        try:
            fits[name] = configs[name].fit(x, y)
        except ValueError as e:
            print(f"velarix: {name} skipped: {e}", file=sys.stderr)
    if not fits:
        raise UsageError("no method accepts these data")
    return fits


def _abscissae(args, x):
    if args.at is not None:
        text, source = _read_text(args.at)
        (xs,) = read_table(text, source, ["0"])
        return array("d", xs)
    if args.points < 2:
        raise UsageError(f"--points must be at least 2, got {args.points}")
    lo, hi = x[0], x[-1]
    step = (hi - lo) / (args.points - 1)
    return array("d", [lo + i * step for i in range(args.points - 1)] + [hi])


def render_csv(xs, fits, derivatives):
    columns = [("x", xs)]
    single = len(fits) == 1
    for name, spline in fits.items():
        prefix = "" if single else name + "."
        columns.append((prefix + "value", spline.value_batch(xs)))
        if derivatives:
            columns.append((prefix + "first_derivative", spline.first_derivative_batch(xs)))
            columns.append((prefix + "second_derivative", spline.second_derivative_batch(xs)))
    out = io.StringIO()
    out.write(",".join(name for name, _ in columns) + "\n")
    for i in range(len(xs)):
        out.write(",".join(repr(values[i]) for _, values in columns) + "\n")
    return out.getvalue()


def write_atomically(path, data, mode="w"):
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, tmp = tempfile.mkstemp(dir=directory, prefix=".velarix-")
    except OSError as e:
        raise UsageError(f"cannot write {path}: {e.strerror}") from None
    try:
        with os.fdopen(fd, mode) as f:
            f.write(data)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def plot(path, x, y, fits):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception:  # missing, or installed but unusable
        raise UsageError(
            "--plot needs a working matplotlib: install it with "
            "'apt-get install python3-matplotlib' or 'pip install matplotlib'"
        ) from None
    if not path.lower().endswith((".png", ".svg")):
        raise UsageError(f"--plot writes .png or .svg files, not {path}")
    lo, hi = x[0], x[-1]
    grid = array("d", [lo + (hi - lo) * i / 999 for i in range(1000)])
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 6.5),
                                      gridspec_kw={"height_ratios": [2, 1]})
    for name, spline in fits.items():
        top.plot(grid, spline.value_batch(grid), label=name)
        bottom.plot(grid, spline.second_derivative_batch(grid), label=name)
    top.plot(x, y, "ko", markersize=4, label="data")
    top.set_ylabel("S(x)")
    top.legend()
    bottom.set_ylabel("S''(x)")
    bottom.set_xlabel("x")
    bottom.axhline(0, color="0.7", linewidth=0.8)
    top.set_title("velarix: the fit and its (continuous) second derivative")
    fig.tight_layout()
    with tempfile.NamedTemporaryFile(suffix=os.path.splitext(path)[1],
                                     dir=os.path.dirname(os.path.abspath(path)),
                                     delete=False) as tmp:
        name = tmp.name
    try:
        fig.savefig(name)
        os.replace(name, path)
    except BaseException:
        os.unlink(name)
        raise
    finally:
        plt.close(fig)


def run(argv=None):
    args = _parser().parse_args(argv)
    columns = args.columns.split(",")
    if len(columns) != 2 or not all(columns):
        raise UsageError(f"--columns takes two columns such as 0,1, got '{args.columns}'")
    if args.input is None:
        x, y = datasets.akima()
        print("velarix: no input given; using the Akima (1970) data set", file=sys.stderr)
    else:
        text, source = _read_text(args.input)
        x, y = (array("d", c) for c in read_table(text, source, columns))
    if len(x) < 2:
        raise UsageError(f"need at least 2 data rows, got {len(x)}")
    fits = fit_methods(args, x, y)
    xs = _abscissae(args, x)
    if any(math.isnan(v) for v in xs):
        raise UsageError("the evaluation points contain NaN")
    csv = render_csv(xs, fits, args.derivatives)
    if args.plot:
        plot(args.plot, x, y, fits)
    if args.output:
        write_atomically(args.output, csv)
    else:
        sys.stdout.write(csv)
    return 0


def main(argv=None):
    try:
        return run(argv)
    except UsageError as e:
        print(f"velarix: error: {e}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        return 1
