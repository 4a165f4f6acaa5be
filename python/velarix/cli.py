"""The ``velarix`` command: resample a tabulated curve shape-preservingly.

Reads a table of x and y (cells separated by commas, semicolons, tabs or
whitespace, detected from the first row; decimal commas where the cells are
not separated by commas; double-quoted cells; an optional header, with an
optional units row under it; ``#`` comment lines; ``-`` for standard input),
fits one or every method through ``velarix.interpolate`` with the
configuration it uses for that method (the options override it), or with
``--smooth`` a smoothing spline through ``velarix.smooth`` (for noisy data;
x in any order, ties allowed), and writes
x with the curve's value (and optionally its first and second derivatives)
at evenly spaced points over the data range, or at the x values of another
file, continued outside the data by the chosen extrapolation.
"""

import argparse
import contextlib
import csv
import inspect
import io
import os
import re
import sys
import tempfile
import warnings
from array import array

import numpy as np

import velarix
from velarix import EndSlopes, _registry, datasets, interpolant

DEFAULT_POINTS = 101

# The methods, with the configuration each gets and the options that change
# it, are the registry's: velarix.interpolate fits with the same
# configurations.
REGISTRY = {method.command_name: method for method in _registry.METHODS.values()}
METHODS = {name: (lambda m=m: m.interpolation_configuration) for name, m in REGISTRY.items()}
# Every end condition some method takes, in the order the records first name them.
END_CONDITIONS = tuple(dict.fromkeys(e for m in REGISTRY.values() for e in m.end_conditions))
_INTERPOLATE = inspect.signature(velarix.interpolate).parameters
DEFAULT_METHOD = _INTERPOLATE["method"].default.replace("_", "-")
DEFAULT_EXTRAPOLATION = _INTERPOLATE["extrapolate"].default
# The smoother's shapes as the core names them ("none" first, "auto" last).
SHAPES = velarix.Smoother.shapes()
_SMOOTH = inspect.signature(velarix.smooth).parameters


def _method_options():
    """Every method option by its name, with the methods that offer it.

    Options apply in the order the records give them (a uniform tension
    given after a policy replaces it).
    """
    options = {}
    for name, method in REGISTRY.items():
        for option in method.options:
            options.setdefault(option.name, (option, []))[1].append(name)
    return options


OPTIONS = _method_options()


class UsageError(Exception):
    """A problem with the input or the options: one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        # Option values may be negative numbers in any float syntax (-1e-3,
        # -inf, -.5); argparse's own pattern takes only plain decimals and
        # would read the others as unknown options.
        self._negative_number_matcher = re.compile(r"^-(?:\.?[0-9]|inf|nan)", re.IGNORECASE)

    def error(self, message):
        raise UsageError(message)


def _number(text, infinite):
    """An option's number: NaN is refused, and ±inf unless `infinite`."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if value != value or (not infinite and value in (float("inf"), float("-inf"))):
        expected = "a number" if infinite else "finite"
        raise argparse.ArgumentTypeError(f"must be {expected}, got {text}")
    return value


def _finite(text):
    return _number(text, infinite=False)


def _setting(text):
    """A method option's number. An infinity is refused by the method where
    it has no meaning (an infinite degree cap means none)."""
    return _number(text, infinite=True)


def _add_method_options(p):
    for option, names in OPTIONS.values():
        kind = ({"choices": option.choices} if option.choices
                else {"type": _setting, "metavar": option.metavar})
        p.add_argument(option.flag, **kind,
                       help=f"({', '.join(names)}) {option.help}")


def _add_smoothing_options(p):
    smoothing = p.add_argument_group(
        "smoothing",
        "Noisy data: a C² smoothing spline instead of an interpolant (velarix.smooth).")
    smoothing.add_argument(
        "--smooth", nargs="?", const="none", metavar="SHAPE",
        help=f"smooth instead of interpolating, held to SHAPE: {', '.join(map(repr, SHAPES))} "
             "(quote two words; default 'none': unconstrained); the chosen lam, shape and "
             "effective degrees of freedom are reported on standard error")
    smoothing.add_argument("--lam", type=_finite, metavar="LAM",
                           help="the smoothing parameter (default: generalised cross-validation)")
    smoothing.add_argument("--knots", type=int, metavar="N",
                           help=f"the number of knot segments (default "
                                f"{velarix.Smoother().segments})")
    smoothing.add_argument("--robust", action="store_true",
                           help="reweight the points by Huber's rule to resist outliers")


SMOOTHING_OPTIONS = ("lam", "knots", "robust")


def _parser():
    p = _Parser(
        prog="velarix",
        description="Resample a tabulated curve with a shape-preserving C² spline.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="methods:\n" + "".join(f"  {name}: {m.summary}\n" for name, m in REGISTRY.items())
               + "\nWith no input, the Akima (1970) data set is used. Each method is fitted with\n"
               "the configuration velarix.interpolate uses for it; the options change it, and an\n"
               "option for another method is refused.",
    )
    p.add_argument("input", nargs="?",
                   help="table of x and y ('-' for standard input): cells separated by commas, "
                        "semicolons, tabs or whitespace; decimal commas where cells are not "
                        "separated by commas; NaN, inf and thousands separators are refused")
    p.add_argument("--version", action="version", version=f"velarix {velarix.__version__}")
    p.add_argument("-c", "--columns", default="0,1", metavar="X,Y",
                   help="the x and y columns, by 0-based index or header name (default 0,1)")
    # No default here: a method given beside --smooth is refused, the
    # default one is not.
    p.add_argument("-m", "--method", choices=[*METHODS, "all"],
                   help=f"fitting method (default: {DEFAULT_METHOD}); 'all' fits every method "
                        "that accepts the data")
    p.add_argument("--ends", nargs="+", metavar="KIND",
                   help=f"the end conditions: {' | '.join(END_CONDITIONS)}, clamped taking the "
                        "LEFT and RIGHT slopes (default: the estimated slopes, limited to the "
                        "data's shape)")
    p.add_argument("--clamped", nargs=2, type=_finite, metavar=("LEFT", "RIGHT"),
                   help="the same as --ends clamped LEFT RIGHT")
    _add_method_options(p)
    _add_smoothing_options(p)
    p.add_argument("--extrapolate", default=DEFAULT_EXTRAPOLATION,
                   choices=interpolant.EXTRAPOLATION_MODES,
                   help="the curve outside the data, at --at points beyond it (default: "
                        "periodic with periodic ends, otherwise linear: the end value continued "
                        "with the end slope; constant: the end value; hold: the end value and "
                        "derivatives; extend: the end pieces continued; nan; raise: refuse)")
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


# Reading tables
# --------------
# The first lines settle the delimiter, the header and a units row; the body
# is then read in blocks of whole lines, each parsed in bulk by NumPy. A block
# the bulk parser cannot take as it stands (a bad cell, a short row, a cell
# with a decimal comma beside a decimal point) is read cell by cell, which
# accepts the same numbers with the same bits and words the refusal.

BLOCK_BYTES = 1 << 16

# Tried in this order on the first table line, outside quoted fields: a
# semicolon or a tab never belongs to a number or a plain header, a comma
# may sit inside a quoted name. Without any of them cells are separated by
# whitespace.
DELIMITERS = ("\t", ";", ",")
_WHITESPACE_CELL = re.compile(r'"((?:[^"]|"")*)"|([^\s"]+)')
# A number as the bulk parser reads it (ASCII digits only).
_DECIMAL = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_NOT_FINITE = re.compile(r"[+-]?(?:nan|inf|infinity)", re.IGNORECASE)
# Digits in groups of three, as spreadsheets write 1.234,5 or 1 234,5.
_GROUPED = re.compile(r"[+-]?[0-9]{1,3}(?:[ .,'\u00a0\u202f][0-9]{3})+(?:[.,][0-9]*)?"
                      r"(?:[eE][+-]?[0-9]+)?")


def _open(path):
    """The source's name and a binary stream of a file or of standard input."""
    if path == "-":
        return "<stdin>", contextlib.nullcontext(sys.stdin.buffer)
    try:
        return path, open(path, "rb")
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror}") from None


def _decoded(data, offset, source):
    try:
        return data.decode("utf-8-sig" if offset == 0 else "utf-8")
    except UnicodeDecodeError as e:
        raise UsageError(f"cannot read {source}: byte {e.object[e.start]:#04x} at offset "
                         f"{offset + e.start} is not UTF-8 text") from None


def _blocks(stream, source):
    """The stream's text in blocks of whole lines of about BLOCK_BYTES."""
    offset, rest = 0, b""
    while True:
        try:
            chunk = stream.read(BLOCK_BYTES)
        except OSError as e:
            raise UsageError(f"cannot read {source}: {e.strerror}") from None
        data = rest + chunk
        if not chunk:
            if data:
                yield _decoded(data, offset, source)
            return
        # Cut after a line feed, so that a CR LF pair stays in one block;
        # after a carriage return only where lines end with it alone.
        cut = (data.rfind(b"\n") + 1) or (data.rfind(b"\r") + 1)
        if cut:
            yield _decoded(data[:cut], offset, source)
            offset += cut
        rest = data[cut:]


def _delimiter(line):
    bare = "".join(line.split('"')[::2])
    found = next((d for d in DELIMITERS if d in bare), None)
    # Numbers with decimal commas separated by whitespace (0 20,5) are no
    # comma-separated row: split at the commas, their cells are no numbers.
    if found == "," and _all_numbers(line, None) and not _all_numbers(line, ","):
        return None
    return found


def _all_numbers(line, delimiter):
    return all(_is_number(c, delimiter) for c in _split(line, delimiter))


def _split(line, delimiter):
    if delimiter is None:
        return [plain or quoted.replace('""', '"')
                for quoted, plain in _WHITESPACE_CELL.findall(line)]
    (cells,) = csv.reader([line], delimiter=delimiter, skipinitialspace=True)
    return [c.strip() for c in cells]


def _is_table_line(line):
    return bool(line.strip()) and not line.lstrip().startswith("#")


class _Cells:
    """The numbers of the chosen columns, read cell by cell, and the decimal
    mark the table has used so far."""

    def __init__(self, source, delimiter, indices):
        self.source = source
        self.delimiter = delimiter
        self.indices = indices
        self.comma = delimiter != ","  # whether a comma in a number is a decimal comma
        self.mark = None  # (mark, line) of the first number with a decimal mark

    def value(self, cell, lineno, column):
        where = f"{self.source}, line {lineno}, column {column + 1}"
        text = cell.replace(",", ".") if self.comma and "," in cell and "." not in cell else cell
        if not _DECIMAL.fullmatch(text):
            raise UsageError(f"{where}: {self._not_a_number(cell)}")
        value = float(text)
        if value in (float("inf"), float("-inf")):
            raise UsageError(f"{where}: '{cell}' is out of the range of floating point "
                             "numbers (about ±1.8e308)")
        self._check_mark(cell, where, lineno)
        return value

    def _not_a_number(self, cell):
        if _NOT_FINITE.fullmatch(cell):
            return f"'{cell}' is not finite"
        if _GROUPED.fullmatch(cell):
            return (f"'{cell}' has a thousands separator; write the numbers without "
                    "digit grouping")
        if not self.comma and _DECIMAL.fullmatch(cell.replace(",", ".")):
            return (f"'{cell}' is not a number (decimal commas are read only where cells "
                    "are separated by semicolons, tabs or whitespace)")
        return f"'{cell}' is not a number"

    def _check_mark(self, cell, where, lineno):
        mark = "," if self.comma and "," in cell else "." if "." in cell else None
        if mark is None:
            return
        if self.mark is None:
            self.mark = (mark, lineno)
        elif self.mark[0] != mark:
            first, line = self.mark
            names = {",": "decimal comma", ".": "decimal point"}
            raise UsageError(f"{where}: '{cell}' has a {names[mark]}, but the number on line "
                             f"{line} has a {names[first]}; a point beside decimal commas may "
                             "be a thousands separator: write the numbers one way")

    def rows(self, lines, first_lineno, until_mark=False):
        """The chosen cells of the table lines as a (rows, columns) array, and
        the number of lines read: all of them, or with `until_mark` those up
        to the one whose numbers decide the table's decimal mark."""
        out = array("d")
        count = 0
        for lineno, line in enumerate(lines, first_lineno):
            count += 1
            if not _is_table_line(line):
                continue
            cells = _split(line, self.delimiter)
            for index in self.indices:
                if index >= len(cells):
                    raise UsageError(f"{self.source}, line {lineno}: no column {index + 1}")
                out.append(self.value(cells[index], lineno, index))
            if until_mark and self.mark is not None:
                break
        return np.frombuffer(out, dtype=np.float64).reshape(-1, len(self.indices)), count


def _bulk(lines, cells):
    """The chosen columns of body lines parsed by NumPy in one pass, or None
    when some line needs the cell-by-cell reading (which words the refusal)."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # a block of comments holds no data
            table = np.loadtxt(lines, delimiter=cells.delimiter, comments=None, quotechar='"',
                               usecols=cells.indices, ndmin=2)
    except ValueError:
        return None
    if not np.isfinite(table).all():
        return None
    return table.reshape(-1, len(cells.indices))


def _block(text, lineno, cells):
    """The chosen cells of a block of body lines starting at line `lineno`,
    and the number of its lines."""
    # Decimal marks matter where a comma can be one; there a block that has
    # both kinds, or the other kind than the table's, is read cell by cell,
    # which refuses a chosen cell whose mark differs from the table's.
    marks = {m for m in ",." if m in text} if cells.comma else set()
    decided = {cells.mark[0]} if cells.mark else set()
    if len(marks | decided) > 1:
        table, count = cells.rows(text.splitlines(), lineno)
        return [table], count
    if marks and not decided:
        # The first number with a mark decides the table's: read up to it cell by cell.
        lines = text.splitlines()
        table, count = cells.rows(lines, lineno, until_mark=True)
        if count == len(lines):
            return [table], count
        rest, more = _block("\n".join(lines[count:]), lineno + count, cells)
        return [table, *rest], count + more
    lines = (text.replace(",", ".") if "," in marks else text).splitlines()
    if "#" in text:
        lines = ["" if line.lstrip().startswith("#") else line for line in lines]
    table = _bulk(lines, cells)
    if table is None:
        table, _ = cells.rows(text.splitlines(), lineno)
    return [table], len(lines)


def _column_index(column, header):
    if column.isdigit():
        return int(column)
    if header is not None and column in header:
        return header.index(column)
    raise UsageError(f"no column '{column}' (columns are chosen by 0-based index or header name)")


def _is_number(cell, delimiter):
    """Whether a cell is meant as a number (a header cell is not): the rows
    after the header refuse the ones that are not finite or grouped."""
    text = cell.replace(",", ".") if delimiter != "," else cell
    return any(p.fullmatch(t) for p, t in ((_DECIMAL, text), (_NOT_FINITE, cell), (_GROUPED, cell)))


class _Preamble:
    """The delimiter, the header and the units row, settled from the first table lines."""

    def __init__(self, source):
        self.source = source
        self.delimiter = None
        self.header = None
        self.settled = False

    def take(self, lineno, line):
        """Whether the line belongs here (blank, a comment, the header, the units
        row) rather than to the body."""
        if not _is_table_line(line):
            return True
        if self.settled:
            return False
        if self.header is None:
            self.delimiter = _delimiter(line)
            if _all_numbers(line, self.delimiter):
                self.settled = True
                return False
            self.header = _split(line, self.delimiter)
            return True
        self.settled = True
        cells = _split(line, self.delimiter)
        if any(_is_number(c, self.delimiter) for c in cells):
            return False
        print(f"velarix: {self.source}, line {lineno}: skipped as a units row "
              f"(none of its cells is a number): {' | '.join(cells)}", file=sys.stderr)
        return True


def _read(stream, source, columns):
    preamble = _Preamble(source)
    cells = None
    # One growing buffer per column: the blocks' numbers are appended as they
    # come, with no list of blocks to join at the end.
    columns_read = [array("d") for _ in columns]
    lineno = 1
    for text in _blocks(stream, source):
        if cells is None:
            lines = text.splitlines()
            start = 0
            while start < len(lines) and preamble.take(lineno + start, lines[start]):
                start += 1
            lineno += start
            if start == len(lines):
                continue
            cells = _Cells(source, preamble.delimiter,
                           [_column_index(c, preamble.header) for c in columns])
            text = "\n".join(lines[start:])
        tables, count = _block(text, lineno, cells)
        for table in tables:
            for out, values in zip(columns_read, table.T):
                out.frombytes(np.ascontiguousarray(values).tobytes())
        lineno += count
    indices = cells.indices if cells else [_column_index(c, preamble.header) for c in columns]
    values = [np.frombuffer(c, dtype=np.float64) if c else np.empty(0) for c in columns_read]
    return values, _labels(preamble.header, indices)


def _labels(header, indices):
    return [header[i] if header is not None and i < len(header) else None for i in indices]


def read_table(path, columns=("0", "1")):
    """The chosen columns of the table in `path` ('-' for standard input) as
    float64 arrays, and their names in the header (None without one)."""
    source, stream = _open(path)
    with stream as f:
        return _read(f, source, columns)
# Fitting and writing
# -------------------

def _chosen(args):
    """The methods to fit, after refusing options that apply to none of them."""
    if args.smooth is not None:
        _refuse_interpolation_options(args)
        return []
    for name in SMOOTHING_OPTIONS:
        if getattr(args, name) not in (None, False):
            raise UsageError(f"--{name} applies only with --smooth")
    args.method = args.method or DEFAULT_METHOD
    names = list(METHODS) if args.method == "all" else [args.method]
    if (ends := _ends(args)) is not None:
        applies = [n for n in METHODS if ends[0] in REGISTRY[n].end_conditions]
        if not set(names) & set(applies):
            raise UsageError(f"--ends {ends[0]} does not apply to the {args.method} method "
                             f"(only to {', '.join(applies)})")
    for dest, (option, applies) in OPTIONS.items():
        if getattr(args, dest) is not None and not set(names) & set(applies):
            raise UsageError(f"{option.flag} does not apply to the {args.method} method "
                             f"(only to {', '.join(applies)})")
    return names


def _refuse_interpolation_options(args):
    """Refuses the options that configure an interpolating method: the smoother
    passes near the data, not through them, and takes none of them."""
    given = [("--method", args.method), ("--ends", args.ends), ("--clamped", args.clamped)]
    given += [(option.flag, getattr(args, dest)) for dest, (option, _) in OPTIONS.items()]
    for flag, value in given:
        if value is not None:
            raise UsageError(f"{flag} does not apply with --smooth (it configures an "
                             "interpolating method)")


def _ends(args):
    """The end conditions asked for, as the name of an EndSlopes builder and its
    arguments, or None; --clamped A B stands for --ends clamped A B."""
    if args.clamped is not None:
        if args.ends is not None:
            raise UsageError("--clamped is --ends clamped; give only one of them")
        return "clamped", tuple(args.clamped)
    if args.ends is None:
        return None
    kind, *numbers = args.ends
    if kind not in END_CONDITIONS:
        raise UsageError(f"argument --ends: invalid choice: '{kind}' "
                         f"(choose from {', '.join(END_CONDITIONS)})")
    wanted = 2 if kind == "clamped" else 0
    if len(numbers) != wanted:
        raise UsageError(f"argument --ends: {kind} takes "
                         + ("the LEFT and RIGHT slopes" if wanted else "no numbers"))
    try:
        return kind, tuple(_finite(n) for n in numbers)
    except argparse.ArgumentTypeError as e:
        raise UsageError(f"argument --ends: {e}") from None


def _configuration(name, args):
    """velarix.interpolate's configuration of a method, with the options that apply to it."""
    config = METHODS[name]()
    if (ends := _ends(args)) is not None and ends[0] in REGISTRY[name].end_conditions:
        config = config.with_boundary(getattr(EndSlopes, ends[0])(*ends[1]))
    for option in REGISTRY[name].options:
        value = getattr(args, option.name)
        if value is not None:
            config = option.apply(config, option.parse(value) if option.choices else value)
    return config


def fit_methods(args, names, x, y):
    """The interpolant of each method that accepts the data, by the command's name of it."""
    try:
        interpolant._knots(x)  # refused once, not once per method
    except ValueError as e:
        raise UsageError(str(e)) from None
    fits = {}
    for name in names:
        try:
            fits[name] = velarix.interpolate(x, y, _configuration(name, args),
                                             extrapolate=args.extrapolate)
        except ValueError as e:
            if len(names) == 1:
                raise UsageError(f"{name}: {e}") from None
            print(f"velarix: {name} skipped: {e}", file=sys.stderr)
    if not fits:
        raise UsageError("no method accepts these data")
    return fits


def fit_smoother(args, x, y):
    """The smoothing spline of the data, by a label naming its shape, after
    reporting what the fit chose on standard error."""
    mode = _SMOOTH["extrapolate"].default if args.extrapolate is None else args.extrapolate
    try:
        f = velarix.smooth(x, y, args.smooth, lam=args.lam, knots=args.knots,
                           robust=args.robust, extrapolate=mode)
    except ValueError as e:
        raise UsageError(f"--smooth: {e}") from None
    info = f.smoothing
    # lam in full so that --lam with it gives the same curve bit for bit.
    lam = "as given" if args.lam is not None else "by generalised cross-validation"
    shape = " (chosen by auto)" if args.smooth.split() == ["auto"] else ""
    print(f"velarix: smoothed with lam = {info.lam!r} ({lam}), shape {info.shape}{shape}, "
          f"edf = {info.edf:.4g}", file=sys.stderr)
    return {f"smooth ({info.shape})": f}


def _warn_missed_shapes(fits):
    for name, f in fits.items():
        if not f.is_shape_preserving:
            print(f"velarix: warning: the {name} fit does not keep the shape its method "
                  "promises (is_shape_preserving is False)", file=sys.stderr)


def _abscissae(args, x):
    if args.at is not None:
        (xs,), _ = read_table(args.at, ["0"])
        if not xs.size:
            raise UsageError(f"{args.at}: no evaluation points")
        return xs
    if args.points < 2:
        raise UsageError(f"--points must be at least 2, got {args.points}")
    # The data's range: a table to smooth may list x in any order.
    return np.linspace(x.min(), x.max(), args.points)


def _evaluated(args, fits, xs, names):
    """The output columns: (header, values) pairs."""
    x_name, y_name = names
    columns = [(x_name or "x", xs)]
    orders = [(0, y_name or "value")]
    if args.derivatives:
        orders += [(nu, f"{y_name}.{what}" if y_name else what)
                   for nu, what in ((1, "first_derivative"), (2, "second_derivative"))]
    for name, f in fits.items():
        prefix = "" if len(fits) == 1 else name + "."
        for nu, label in orders:
            try:
                columns.append((prefix + label, f(xs, nu)))
            except ValueError as e:  # an --at point outside the data with --extrapolate raise
                raise UsageError(f"{args.at}: {e}") from None
    return columns


def render_csv(columns):
    out = io.StringIO()
    csv.writer(out, lineterminator="\n").writerow(name for name, _ in columns)
    for row in zip(*(values.tolist() for _, values in columns)):
        out.write(",".join(map(repr, row)) + "\n")
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
    grid = np.linspace(x[0], x[-1], 1000)

    def write(path):
        fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(8, 6.5),
                                          gridspec_kw={"height_ratios": [2, 1]})
        try:
            for name, f in fits.items():
                top.plot(grid, f(grid), label=name)
                bottom.plot(grid, f(grid, 2), label=name)
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


def _take_input_after_smooth(args):
    """`velarix --smooth data.csv`: argparse gives the file to --smooth as its
    SHAPE; what is no shape there, with no input named, is the input."""
    if args.smooth is None or args.input is not None:
        return
    try:
        velarix.Smoother().with_shape(args.smooth)
    except ValueError:
        args.input, args.smooth = args.smooth, "none"


def run(argv=None):
    args = _parser().parse_args(argv)
    columns = args.columns.split(",")
    if len(columns) != 2 or not all(columns):
        raise UsageError(f"--columns takes two columns such as 0,1, got '{args.columns}'")
    if args.plot and not args.plot.lower().endswith(PLOT_FORMATS):
        raise UsageError(f"--plot writes .png or .svg files, not {args.plot}")
    _take_input_after_smooth(args)
    methods = _chosen(args)
    if args.input is None:
        x, y = (np.asarray(c) for c in datasets.akima())
        names = [None, None]
        print("velarix: no input given; using the Akima (1970) data set", file=sys.stderr)
    else:
        (x, y), names = read_table(args.input, columns)
    if len(x) < 2:
        raise UsageError(f"need at least 2 data rows, got {len(x)}")
    fits = fit_smoother(args, x, y) if args.smooth is not None else fit_methods(args, methods, x, y)
    _warn_missed_shapes(fits)
    xs = _abscissae(args, x)
    csv_text = render_csv(_evaluated(args, fits, xs, names))
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
