"""The ``velarix`` command: resample a tabulated curve shape-preservingly.

Reads a table of x and y (cells separated by commas, semicolons, tabs or
whitespace, detected from the first row; double-quoted cells; an optional
header, with an optional units row under it; ``#`` comment lines; ``-`` for
standard input), fits one or every method, and writes x with the spline's
value (and optionally its first and second derivatives) at evenly spaced
points over the data range, or at the x values of another file.
"""

import argparse
import contextlib
import csv
import io
import math
import os
import re
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
    p.add_argument("-o", "--output", metavar="FILE",
                   help="write the CSV here (atomically; '-' for standard output)")
    p.add_argument("--plot", metavar="FILE",
                   help="draw the data and the fits to a .png or .svg (then the CSV is written "
                        "only with -o)")
    return p


def _read_text(path):
    """The text of a file or of standard input, without a byte-order mark."""
    source = "<stdin>" if path == "-" else path
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as f:
                data = f.read()
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror}") from None
    try:
        return data.decode("utf-8-sig"), source
    except UnicodeDecodeError as e:
        raise UsageError(f"cannot read {source}: byte {e.object[e.start]:#04x} at offset "
                         f"{e.start} is not UTF-8 text") from None


# Tried in this order on the first table line, outside quoted fields: a
# semicolon or a tab never belongs to a number or a plain header, a comma
# may sit inside a quoted name. Without any of them cells are separated by
# whitespace.
DELIMITERS = ("\t", ";", ",")
_WHITESPACE_CELL = re.compile(r'"((?:[^"]|"")*)"|([^\s"]+)')


def _delimiter(line):
    bare = "".join(line.split('"')[::2])
    return next((d for d in DELIMITERS if d in bare), None)


def _split(line, delimiter):
    if delimiter is None:
        return [plain or quoted.replace('""', '"')
                for quoted, plain in _WHITESPACE_CELL.findall(line)]
    (cells,) = csv.reader([line], delimiter=delimiter, skipinitialspace=True)
    return [c.strip() for c in cells]


def _is_number(cell):
    try:
        float(cell)
    except ValueError:
        return False
    return True


def _number(cell, where):
    try:
        return float(cell)
    except ValueError:
        raise UsageError(f"{where}: '{cell}' is not a number") from None


def _table_lines(text):
    """(line number, text) of the lines that are neither blank nor comments."""
    for lineno, line in enumerate(text.splitlines(), 1):
        if line.strip() and not line.lstrip().startswith("#"):
            yield lineno, line


def read_table(text, source, columns):
    """The chosen columns of a table as lists of floats, and their names.

    A first row that is not all numbers is the header; a row right under it
    none of whose cells is a number holds units and is skipped (with a note).
    Columns without a header are named None.
    """
    rows = []
    header = None
    delimiter = None
    for lineno, line in _table_lines(text):
        if header is None and not rows:
            delimiter = _delimiter(line)
        cells = _split(line, delimiter)
        if header is None and not rows and not all(map(_is_number, cells)):
            header = (lineno, cells)
        elif header is not None and not rows and not any(map(_is_number, cells)):
            print(f"velarix: {source}, line {lineno}: skipped as a units row "
                  f"(none of its cells is a number): {' | '.join(cells)}", file=sys.stderr)
            rows.append(None)
        else:
            rows.append((lineno, cells))
    names = header[1] if header is not None else None
    indices = [_column_index(c, names) for c in columns]
    table = [[] for _ in indices]
    for lineno, cells in filter(None, rows):
        for out, index in zip(table, indices):
            if index >= len(cells):
                raise UsageError(f"{source}, line {lineno}: no column {index + 1}")
            out.append(_number(cells[index], f"{source}, line {lineno}, column {index + 1}"))
    labels = [names[i] if names is not None and i < len(names) else None for i in indices]
    return table, labels


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
        (xs,), _ = read_table(text, source, ["0"])
        if not xs:
            raise UsageError(f"{source}: no evaluation points")
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


def _file_mode():
    """The mode a newly created file gets under the process's umask."""
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


class _Staged:
    """Output files, each written completely under a temporary name beside its
    target and moved into place only when every one of them is complete; on
    any failure none of them appears and no temporary file stays behind."""

    def __init__(self):
        self._files = []

    def add(self, path, write):
        directory = os.path.dirname(os.path.abspath(path))
        try:
            fd, tmp = tempfile.mkstemp(dir=directory, prefix=".velarix-",
                                       suffix=os.path.splitext(path)[1])
        except OSError as e:
            raise UsageError(f"cannot write {path}: {e.strerror}") from None
        self._files.append((tmp, path))
        try:
            # mkstemp makes files readable by their owner only; the outputs
            # are ordinary files and follow the umask like any other.
            os.fchmod(fd, _file_mode())
        finally:
            os.close(fd)
        try:
            write(tmp)
        except OSError as e:
            raise UsageError(f"cannot write {path}: {e.strerror or e}") from None

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            for tmp, path in self._files:
                os.replace(tmp, path)
            self._files = []
        for tmp, _ in self._files:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
        return False


def _write_text(data):
    def write(path):
        with open(path, "w", encoding="utf-8") as f:
            f.write(data)
    return write


def _pyplot():
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception:  # missing, or installed but unusable
        raise UsageError(
            "--plot needs a working matplotlib: install it with "
            "'apt-get install python3-matplotlib' or 'pip install matplotlib'"
        ) from None
    return plt


PLOT_FORMATS = (".png", ".svg")


def _draw(plt, x, y, fits, names):
    """A function that draws the data and the fits, with their second
    derivatives underneath, into the file it is given."""
    x_name, y_name = names
    lo, hi = x[0], x[-1]
    grid = array("d", [lo + (hi - lo) * i / 999 for i in range(1000)])

    def write(path):
        fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 6.5),
                                          gridspec_kw={"height_ratios": [2, 1]})
        try:
            for name, spline in fits.items():
                top.plot(grid, spline.value_batch(grid), label=name)
                bottom.plot(grid, spline.second_derivative_batch(grid), label=name)
            top.plot(x, y, "ko", markersize=4, label="data")
            top.set_ylabel(y_name)
            top.legend()
            bottom.set_ylabel(f"second derivative of {y_name}")
            bottom.set_xlabel(x_name)
            bottom.axhline(0, color="0.7", linewidth=0.8)
            top.set_title("velarix: the fit and its (continuous) second derivative")
            fig.tight_layout()
            fig.savefig(path, format=os.path.splitext(path)[1][1:].lower())
        finally:
            plt.close(fig)
    return write


def run(argv=None):
    args = _parser().parse_args(argv)
    columns = args.columns.split(",")
    if len(columns) != 2 or not all(columns):
        raise UsageError(f"--columns takes two columns such as 0,1, got '{args.columns}'")
    if args.plot and not args.plot.lower().endswith(PLOT_FORMATS):
        raise UsageError(f"--plot writes .png or .svg files, not {args.plot}")
    if args.input is None:
        x, y = datasets.akima()
        names = [None, None]
        print("velarix: no input given; using the Akima (1970) data set", file=sys.stderr)
    else:
        text, source = _read_text(args.input)
        table, names = read_table(text, source, columns)
        x, y = (array("d", c) for c in table)
    if len(x) < 2:
        raise UsageError(f"need at least 2 data rows, got {len(x)}")
    fits = fit_methods(args, x, y)
    xs = _abscissae(args, x)
    if any(math.isnan(v) for v in xs):
        raise UsageError("the evaluation points contain NaN")
    csv_text = render_csv(xs, fits, args.derivatives)
    # With --plot the picture is the output; the CSV goes where -o sends it
    # ('-' for standard output).
    to_stdout = args.output == "-" or (args.output is None and not args.plot)
    with _Staged() as outputs:
        if args.plot:
            labels = [n or d for n, d in zip(names, ("x", "y"))]
            outputs.add(args.plot, _draw(_pyplot(), x, y, fits, labels))
        if not to_stdout and args.output:
            outputs.add(args.output, _write_text(csv_text))
    if to_stdout:
        sys.stdout.write(csv_text)
    return 0


def main(argv=None):
    try:
        return run(argv)
    except UsageError as e:
        print(f"velarix: error: {e}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        return 1
