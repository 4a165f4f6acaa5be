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
import datetime
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
# The most output points -n gives: a CSV of a few gigabytes.
MAX_POINTS = 10**8

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


def _points(text):
    """-n's count of output points."""
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if not 2 <= count <= MAX_POINTS:
        raise argparse.ArgumentTypeError(f"must be from 2 to {MAX_POINTS}, got {count}")
    return count


def _method_name(text):
    """A method as the command or Python spells it (rational-cubic, rational_cubic)."""
    return text.replace("_", "-")


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
               + "\nWith no input named, standard input is read unless it is a terminal\n"
               "(--example fits an embedded data set). Each method is fitted with the\n"
               "configuration velarix.interpolate uses for it; the options change it, and an\n"
               "option for another method is refused.",
    )
    p.add_argument("input", nargs="?",
                   help="table of x and y ('-' for standard input, which is read when it is "
                        "no terminal and no input is named): cells separated by commas, "
                        "semicolons, tabs or whitespace (or as a first line sep=; says); "
                        "decimal commas where cells are not separated by commas; x may be ISO "
                        "8601 dates or times; NaN, inf and thousands separators are refused")
    p.add_argument("--version", action="version", version=f"velarix {velarix.__version__}")
    p.add_argument("--example", choices=[n.replace("_", "-") for n in datasets.__all__],
                   help="fit an embedded data set instead of a table")
    p.add_argument("-c", "--columns", metavar="X,Y",
                   help="the x and y columns, by index from 0 (as messages count them) or "
                        "header name (default 0,1, or 1,2 after a first column that numbers "
                        "the rows, as its header name says)")
    p.add_argument("--missing", choices=("refuse", "drop"), default="refuse",
                   help="rows with an empty or NA cell in a chosen column: refused (default) "
                        "or dropped")
    p.add_argument("--ties", choices=("refuse", "mean", "first", "last"),
                   help="rows with the same x: refused (default when interpolating), or one "
                        "value per x, their mean, the first or the last in the file")
    # No default here: a method given beside --smooth is refused, the
    # default one is not.
    p.add_argument("-m", "--method", type=_method_name, choices=[*METHODS, "all"],
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
    where.add_argument("-n", "--points", type=_points, default=DEFAULT_POINTS, metavar="N",
                       help=f"number of evenly spaced output points (default {DEFAULT_POINTS}, "
                            f"at most {MAX_POINTS})")
    where.add_argument("--at", metavar="FILE",
                       help="evaluate at the x values (first column) of this file")
    p.add_argument("-d", "--derivatives", action="store_true",
                   help="also write the first and second derivatives")
    p.add_argument("-o", "--output", metavar="FILE",
                   help="write the CSV here ('-' for standard output): a file is replaced "
                        "atomically (through a symbolic link, its target), a device or FIFO "
                        "written in place")
    p.add_argument("--plot", metavar="FILE",
                   help="draw the data and the fits to a .png or .svg (then the CSV is written "
                        "only with -o)")
    return p


# Reading tables
# --------------
# The first lines settle the delimiter, the header and a units row; the body
# is then read in blocks of whole lines, each parsed in bulk by NumPy. A block
# the bulk parser cannot take as it stands (a bad or missing cell, a short
# row, a cell with a decimal comma beside a decimal point, dates) is read cell
# by cell, which accepts the same numbers with the same bits and words the
# refusal. Columns are counted from 0, in -c and in every message alike.

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
# What spreadsheets, R and databases write for a value that is not there.
MISSING_MARKS = frozenset({"", "NA", "N/A", "n/a", "#N/A", "NULL", "null"})
# A spreadsheet's first line naming the delimiter (sep=; or "sep=,").
_SEP_LINE = re.compile(r'\s*"?sep=(.)"?\s*')
# ISO 8601 dates, date-times and times of day in extended form.
_ISO_TIME = r"[0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:[.,][0-9]+)?)?(?:Z|[+-][0-9]{2}(?::?[0-9]{2})?)?"
_ISO = re.compile(rf"[0-9]{{4}}-[0-9]{{2}}-[0-9]{{2}}(?:[T ]{_ISO_TIME})?|{_ISO_TIME}")


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


class Dates:
    """An x column of ISO 8601 dates, date-times or times of day, read as
    seconds from the column's first entry and written back in its form.

    The form is the first entry's: a date, a time of day, or both (with its
    separator, its precision and its zone). A value that form cannot write
    exactly (a grid point between two days) gets the finer precision it needs.
    """

    def __init__(self, cell):
        self.time_only = ":" in cell and "-" not in cell[:5]
        self.date_only = ":" not in cell
        self.separator = " " if " " in cell else "T"
        self.utc = cell.endswith("Z")
        clock = re.match(r"[0-9:]*(?:[.,]([0-9]+))?", cell if self.time_only else cell[11:])
        digits = clock.group(1) or ""
        clock = clock.group(0)
        self.precision = ("minutes" if clock.count(":") < 2 else "seconds" if not digits
                          else "milliseconds" if len(digits) <= 3 else "microseconds")
        self.origin = None
        self.origin = self._moment(cell)

    def _moment(self, cell):
        text = cell.replace(",", ".")
        text = text[:-1] + "+00:00" if text.endswith("Z") else text
        if self.time_only:
            return datetime.datetime.combine(datetime.date(2000, 1, 1),
                                             datetime.time.fromisoformat(text))
        return datetime.datetime.fromisoformat(text)

    def value(self, cell, where):
        """The cell's seconds from the column's first entry."""
        if not _ISO.fullmatch(cell):
            raise UsageError(f"{where}: '{cell}' is not a date or time in the form of the "
                             f"column's first entry")
        try:
            moment = self._moment(cell)
            return (moment - self.origin) / datetime.timedelta(seconds=1)
        except (ValueError, TypeError) as e:  # 2024-02-30; a zone beside none
            raise UsageError(f"{where}: '{cell}' is no date or time of the column's kind "
                             f"({e})") from None

    def text(self, seconds):
        """Seconds from the first entry as the column writes its entries."""
        if seconds != seconds:
            return "nan"
        moment = self.origin + datetime.timedelta(seconds=seconds)
        if self.date_only and moment.time() == datetime.time(0) and moment.tzinfo is None:
            return moment.date().isoformat()
        steps = ("minutes", "seconds", "milliseconds", "microseconds")
        start = 0 if self.date_only else steps.index(self.precision)
        for spec in steps[start:]:
            if spec == "microseconds" or _exact_at(moment, spec):
                break
        if self.time_only:
            text = moment.timetz().isoformat(spec)
        else:
            text = moment.isoformat(self.separator, spec)
        return text[:-6] + "Z" if self.utc and text.endswith("+00:00") else text


def _exact_at(moment, spec):
    if spec == "minutes":
        return moment.second == 0 and moment.microsecond == 0
    if spec == "seconds":
        return moment.microsecond == 0
    return moment.microsecond % 1000 == 0


class _Cells:
    """The numbers of the chosen columns, read cell by cell, the decimal mark
    the table has used so far and the rows dropped for a missing cell."""

    def __init__(self, source, delimiter, indices, header, missing, dates):
        self.source = source
        self.delimiter = delimiter
        self.indices = indices
        self.header = header
        self.missing = missing
        self.dates = dates  # a Dates for an x column of dates, else None
        self.dropped = []  # the lines of rows dropped for a missing cell
        self.comma = delimiter != ","  # whether a comma in a number is a decimal comma
        self.mark = None  # (mark, line) of the first number with a decimal mark

    def where(self, lineno, column):
        name = f" ({self.header[column]})" if self.header and column < len(self.header) else ""
        return f"{self.source}, line {lineno}, column {column}{name}"

    def value(self, cell, lineno, column):
        where = self.where(lineno, column)
        if self.dates is not None and column == self.indices[0]:
            return self.dates.value(cell, where)
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
        if _ISO.fullmatch(cell):
            return f"'{cell}' is a date or time, which only the x column may hold"
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

    def row(self, cells, lineno):
        """The chosen cells of one line as numbers, or None for a row dropped
        because one of them is missing."""
        for index in self.indices:
            if index >= len(cells):
                raise UsageError(f"{self.source}, line {lineno}: no column {index} (the line "
                                 f"has columns 0 to {len(cells) - 1})")
            if cells[index] in MISSING_MARKS:
                if self.missing == "drop":
                    self.dropped.append(lineno)
                    return None
                what = "an empty cell" if not cells[index] else f"'{cells[index]}'"
                raise UsageError(f"{self.where(lineno, index)}: {what} marks a missing value "
                                 "(--missing drop skips the rows that have one)")
        return [self.value(cells[index], lineno, index) for index in self.indices]

    def rows(self, lines, first_lineno, until_mark=False):
        """The chosen cells of the table lines as a (rows, columns) array, the
        line of each row, and the number of lines read: all of them, or with
        `until_mark` those up to the one whose numbers decide the table's
        decimal mark."""
        out, kept = array("d"), array("q")
        count = 0
        for lineno, line in enumerate(lines, first_lineno):
            count += 1
            if not _is_table_line(line):
                continue
            numbers = self.row(_split(line, self.delimiter), lineno)
            if numbers is not None:
                out.extend(numbers)
                kept.append(lineno)
            if until_mark and self.mark is not None:
                break
        return np.frombuffer(out, dtype=np.float64).reshape(-1, len(self.indices)), kept, count


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
    """The chosen cells of a block of body lines starting at line `lineno`:
    a list of (rows, their lines) pairs, and the number of the block's lines."""
    # Decimal marks matter where a comma can be one; there a block that has
    # both kinds, or the other kind than the table's, is read cell by cell,
    # which refuses a chosen cell whose mark differs from the table's.
    marks = {m for m in ",." if m in text} if cells.comma else set()
    decided = {cells.mark[0]} if cells.mark else set()
    if len(marks | decided) > 1 or cells.dates is not None:
        table, kept, count = cells.rows(text.splitlines(), lineno)
        return [(table, kept)], count
    if marks and not decided:
        # The first number with a mark decides the table's: read up to it cell by cell.
        lines = text.splitlines()
        table, kept, count = cells.rows(lines, lineno, until_mark=True)
        if count == len(lines):
            return [(table, kept)], count
        rest, more = _block("\n".join(lines[count:]), lineno + count, cells)
        return [(table, kept), *rest], count + more
    lines = (text.replace(",", ".") if "," in marks else text).splitlines()
    if "#" in text:
        lines = ["" if line.lstrip().startswith("#") else line for line in lines]
    table = _bulk(lines, cells)
    kept = array("q", (lineno + k for k, line in enumerate(lines) if _is_table_line(line)))
    if table is None or len(table) != len(kept):
        table, kept, _ = cells.rows(text.splitlines(), lineno)
    return [(table, kept)], len(lines)


def _columns_text(header):
    return ", ".join(f"{i} {name!r}" for i, name in enumerate(header))


def _column_index(column, header, width):
    """The index of a column chosen by its index or its header name, in a table
    whose first data line has `width` cells."""
    if column.isdigit():
        index = int(column)
        if index < width:
            return index
        named = f": {_columns_text(header)}" if header else ""
        raise UsageError(f"no column {column}: the table has columns 0 to {width - 1}{named}")
    if header is not None and column in header:
        return header.index(column)
    if header is None:
        raise UsageError(f"no column '{column}': the table has no header; choose its columns "
                         f"by index, 0 to {width - 1}")
    raise UsageError(f"no column '{column}' in the header; its columns are "
                     f"{_columns_text(header)}")


def _is_number(cell, delimiter):
    """Whether a cell is meant as data (a header cell is not): the rows after
    the header refuse the numbers that are not finite or grouped."""
    text = cell.replace(",", ".") if delimiter != "," else cell
    return any(p.fullmatch(t) for p, t in ((_DECIMAL, text), (_NOT_FINITE, cell), (_GROUPED, cell),
                                           (_ISO, cell)))


class _Preamble:
    """The delimiter, the header and the units row, settled from the first table lines."""

    def __init__(self, source):
        self.source = source
        self.delimiter = None
        self.named = False  # whether a sep= line named the delimiter
        self.header = None
        self.settled = False

    def take(self, lineno, line):
        """Whether the line belongs here (blank, a comment, a sep= line, the
        header, the units row) rather than to the body."""
        if not _is_table_line(line):
            return True
        if self.settled:
            return False
        if self.header is None:
            if not self.named and (sep := _SEP_LINE.fullmatch(line)):
                self.delimiter, self.named = sep.group(1), True
                return True
            if not self.named:
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


class Table:
    """The chosen columns of a table: their values, the file line of each row,
    their names in the header (None without one), the header itself, an x
    column of dates (a Dates, else None) and the lines of rows dropped for a
    missing cell."""

    def __init__(self, source, columns, lines, names, header, dates, dropped):
        self.source, self.columns, self.lines = source, columns, lines
        self.names, self.header, self.dates, self.dropped = names, header, dates, dropped


def _cells(source, preamble, first, columns, missing, dates):
    """The reading of the body, from its first line."""
    header = preamble.header
    width = len(_split(first, preamble.delimiter))
    indices = [_column_index(c, header, max(width, len(header or ()))) for c in columns]
    if dates is None:
        cell = _split(first, preamble.delimiter)[indices[0]] if indices[0] < width else ""
        dates = Dates(cell) if _ISO.fullmatch(cell) else None
    return _Cells(source, preamble.delimiter, indices, header, missing, dates)


def _read(stream, source, columns, missing, dates):
    preamble = _Preamble(source)
    cells = None
    # One growing buffer per column: the blocks' numbers are appended as they
    # come, with no list of blocks to join at the end.
    columns_read = [array("d") for _ in columns]
    lines_read = array("q")
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
            cells = _cells(source, preamble, lines[start], columns, missing, dates)
            text = "\n".join(lines[start:])
        parts, count = _block(text, lineno, cells)
        for table, kept in parts:
            for out, values in zip(columns_read, table.T):
                out.frombytes(np.ascontiguousarray(values).tobytes())
            lines_read.extend(kept)
        lineno += count
    header = preamble.header
    if cells is not None:
        indices = cells.indices
    else:  # no data rows: the columns are named by the header, if any
        indices = [_column_index(c, header, len(header)) for c in columns] if header else []
    values = [np.frombuffer(c, dtype=np.float64) if c else np.empty(0) for c in columns_read]
    names = _labels(header, indices) if indices else [None] * len(columns)
    return Table(source, values, np.frombuffer(lines_read, dtype=np.int64), names, header,
                 cells.dates if cells else dates, cells.dropped if cells else [])


def _labels(header, indices):
    return [header[i] if header is not None and i < len(header) else None for i in indices]


def read_data(path, columns=("0", "1"), missing="refuse", dates=None):
    """The chosen columns of the table in `path` ('-' for standard input) as
    a Table; `dates` reads an x column of dates as those of another table."""
    source, stream = _open(path)
    with stream as f:
        return _read(f, source, columns, missing, dates)


def read_table(path, columns=("0", "1")):
    """The chosen columns of the table in `path` ('-' for standard input) as
    float64 arrays, and their names in the header (None without one)."""
    table = read_data(path, columns)
    return table.columns, table.names


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
    for name in names:
        _refuse_overriding_options(name, args)
    return names


def _refuse_overriding_options(name, args):
    """Refuses two options of a method where one replaces the other (a uniform
    tension and a tension policy): applied in the two orders, they give
    different configurations, so one of them would be silently lost."""
    given = [(o, getattr(args, o.name)) for o in REGISTRY[name].options
             if getattr(args, o.name) is not None]
    config = METHODS[name]()
    for i, (first, a) in enumerate(given):
        for second, b in given[i + 1:]:
            a_value = first.parse(a) if first.choices else a
            b_value = second.parse(b) if second.choices else b
            one = second.apply(first.apply(config, a_value), b_value)
            other = first.apply(second.apply(config, b_value), a_value)
            if one != other:
                raise UsageError(f"{first.flag} and {second.flag} each set what the other "
                                 f"does ({name}); give only one of them")


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


class Data:
    """The x and y to fit, with the file line of each row (or None for the
    embedded data sets) and the table's source."""

    def __init__(self, x, y, lines, source):
        self.x, self.y, self.lines, self.source = x, y, lines, source

    def rows_named(self, message):
        """Where the rows a message names by index (x[3], knot 3) stand in the file."""
        if self.lines is None:
            return ""
        found = dict.fromkeys(int(i) for i in re.findall(r"(?:\b[xy]\[|\bknots? )([0-9]+)",
                                                         message))
        named = [f"{i} is line {self.lines[i]}" for i in found if i < len(self.lines)]
        return f" ({self.source}: data row {', '.join(named)})" if named else ""

    def line(self, i):
        return f"line {self.lines[i]}" if self.lines is not None else f"row {i}"


def _in_order(data):
    """The data sorted by x (stably: repeats keep the file's order), with a note
    on standard error when the file's order was not increasing."""
    x = data.x
    if x.size < 2 or bool(np.all(x[1:] > x[:-1])):
        return data
    if bool(np.all(x[1:] < x[:-1])):
        order = np.arange(x.size)[::-1]
        how = "x decreases: the rows are read in reverse order"
    else:
        order = np.argsort(x, kind="stable")
        if bool(np.all(x[1:] >= x[:-1])):
            return data
        how = "x is not in increasing order: the rows are sorted by x"
    print(f"velarix: {data.source}: {how}", file=sys.stderr)
    lines = None if data.lines is None else data.lines[order]
    return Data(x[order], data.y[order], lines, data.source)


def _without_ties(data, ties):
    """One row per x: repeats refused, or merged by `ties` (mean, first, last)."""
    x = data.x
    repeated = np.flatnonzero(x[1:] == x[:-1])
    if not repeated.size:
        return data
    if ties in (None, "refuse"):
        i = int(repeated[0])
        raise UsageError(f"{data.source}: x = {_shortest(x[i])} repeats on {data.line(i)} and "
                         f"{data.line(i + 1)}: --ties mean, first or last keeps one value per x "
                         "(--smooth fits noisy data with repeated x)")
    starts = np.concatenate([[0], np.flatnonzero(x[1:] != x[:-1]) + 1])
    ends = np.concatenate([starts[1:], [x.size]])
    if ties == "mean":
        y = np.add.reduceat(data.y, starts) / (ends - starts)
    else:
        y = data.y[starts if ties == "first" else ends - 1]
    lines = None if data.lines is None else data.lines[starts]
    print(f"velarix: {data.source}: {x.size - starts.size} repeated x merged by --ties {ties}",
          file=sys.stderr)
    return Data(x[starts], y, lines, data.source)


def fit_methods(args, names, data):
    """The interpolant of each method that accepts the data, by the command's name of it."""
    try:
        interpolant._knots(data.x)  # refused once, not once per method
    except ValueError as e:
        raise UsageError(f"{e}{data.rows_named(str(e))}") from None
    fits = {}
    for name in names:
        try:
            fits[name] = velarix.interpolate(data.x, data.y, _configuration(name, args),
                                             extrapolate=args.extrapolate)
        except ValueError as e:
            if len(names) == 1:
                raise UsageError(f"{name}: {e}{data.rows_named(str(e))}") from None
            print(f"velarix: {name} skipped: {e}{data.rows_named(str(e))}", file=sys.stderr)
    if not fits:
        raise UsageError("no method accepts these data")
    return fits


def fit_smoother(args, data):
    """The smoothing spline of the data, by a label naming its shape, after
    reporting what the fit chose on standard error."""
    mode = _SMOOTH["extrapolate"].default if args.extrapolate is None else args.extrapolate
    try:
        f = velarix.smooth(data.x, data.y, args.smooth, lam=args.lam, knots=args.knots,
                           robust=args.robust, extrapolate=mode)
    except ValueError as e:
        raise UsageError(f"--smooth: {e}") from None
    except OverflowError:  # a count beyond any the core can hold
        raise UsageError(f"--knots: {args.knots} knot segments are far more than the "
                         "smoother takes") from None
    info = f.smoothing
    # lam in full so that --lam with it gives the same curve bit for bit.
    lam = "as given" if args.lam is not None else "by generalised cross-validation"
    shape = " (chosen by auto)" if args.smooth.split() == ["auto"] else ""
    print(f"velarix: smoothed with lam = {info.lam!r} ({lam}), shape {info.shape}{shape}, "
          f"edf = {info.edf:.4g}", file=sys.stderr)
    return {f"smooth ({info.shape})": f}


# Shape warnings
# --------------
# A fit whose own verdict says it missed its method's shape is sampled on
# every interval, and the warning names the promise missed, where and by how
# much. The promises are the method's record's; each is judged where the data
# have the shape, as the fits judge it.

SHAPE_SAMPLES = np.linspace(0.0, 1.0, 65)
# The room each promise leaves, in units of the data's range (an overshoot
# beside an extremum is bounded, not 0).
SHAPE_ROOM = {"monotone": 0.0, "convex": 0.0, "flat": 1e-12, "overshoot": 1e-3}


def _secant_bends(s):
    """+1, -1 or 0 for each interval whose data bend the same way at both ends."""
    change = np.sign(np.diff(s))
    bend = np.concatenate([change[:1], change, change[-1:]]) if change.size else np.zeros(2)
    return np.where(bend[:-1] == bend[1:], bend[:-1], 0)


def shape_misses(f, x, y, promises):
    """For each promise missed, (amount, interval index) of the worst miss:
    the amount as a fraction of the data's range (for convexity, of the change
    of the neighbouring secants)."""
    h = np.diff(x)
    s = np.diff(y) / h
    grid = x[:-1, None] + SHAPE_SAMPLES[None, :] * h[:, None]
    grid[:, -1] = x[1:]
    value = np.asarray(f(grid.ravel())).reshape(grid.shape)
    span = max(float(np.ptp(y)), np.finfo(float).tiny)
    opposite = np.concatenate([[False], s[:-1] * s[1:] < 0])
    extremum = opposite | np.concatenate([opposite[1:], [False]])
    amounts = {}
    if "monotone" in promises:
        rising = np.sign(s)[:, None] * value
        fall = (np.maximum.accumulate(rising, axis=1) - rising).max(axis=1)
        amounts["monotone"] = np.where((s != 0) & ~extremum, fall, 0.0) / span
    if "flat" in promises:
        off = np.abs(value - y[:-1, None]).max(axis=1)
        amounts["flat"] = np.where(s == 0, off, 0.0) / span
    if "convex" in promises and s.size >= 2:
        bends = _secant_bends(s)
        second = np.asarray(f(grid.ravel(), 2)).reshape(grid.shape)
        wrong = np.maximum(0.0, -bends[:, None] * second).max(axis=1) * h
        ds = np.abs(np.diff(s))
        local = np.maximum(np.concatenate([[0.0], ds]), np.concatenate([ds, [0.0]]))
        amounts["convex"] = np.where((bends != 0) & (local > 0), wrong / np.where(
            local > 0, local, 1.0), 0.0)
    if "overshoot" in promises:
        lo, hi = np.minimum(y[:-1], y[1:])[:, None], np.maximum(y[:-1], y[1:])[:, None]
        beyond = np.maximum(value - hi, lo - value).max(axis=1)
        amounts["overshoot"] = np.where(extremum, np.maximum(beyond, 0.0), 0.0) / span
    return {p: (float(a.max()), int(a.argmax())) for p, a in amounts.items()
            if a.size and a.max() > SHAPE_ROOM[p]}


MISSED = {
    "monotone": "is not monotone where the data are: it turns back by {} of the data's range",
    "convex": "bends against the data's convexity by {} of the secants' change",
    "flat": "leaves flat data by {} of the data's range",
    "overshoot": "overshoots a data extremum by {} of the data's range (more than 1e-3)",
}


def _shape_warning(name, f, data):
    head = f"velarix: warning: the {name} fit does not keep the shape its method promises"
    method = REGISTRY.get(name)
    misses = shape_misses(f, data.x, data.y, method.promises) if method else {}
    if not misses:
        return f"{head} (is_shape_preserving is False)"
    promise, (amount, i) = next((p, misses[p]) for p in method.promises if p in misses)
    where = (f"on [{_shortest(data.x[i])}, {_shortest(data.x[i + 1])}]"
             + (f" ({data.line(i)} to {data.line(i + 1)})" if data.lines is not None else ""))
    others = [n for n, m in REGISTRY.items() if n != name and promise in m.promises]
    tries = [f"{o.flag}" for o in method.options] + [
        f"--method {' or '.join(others)}" if others else None, "--smooth"]
    return (f"{head}: {where} it {MISSED[promise].format(f'{amount:.3g}')}; try "
            f"{', '.join(t for t in tries if t)}")


def _warn_missed_shapes(fits, data):
    for name, f in fits.items():
        if not f.is_shape_preserving:
            print(_shape_warning(name, f, data), file=sys.stderr)


# Writing
# -------
# The output is evaluated and written in chunks of rows, so that its size
# does not bound the memory: a grid point or an --at point at a time in bulk.

CHUNK_ROWS = 1 << 16


def _grid(a, b, n, start, stop):
    """Points start..stop-1 of n evenly spaced from a to b, each computed as
    (a (n-1-i) + b i) / (n-1): round ends give round points (0.45, not
    0.44999999999999996), and the ends are a and b exactly."""
    i = np.arange(start, stop, dtype=np.float64)
    points = (a * (n - 1 - i) + b * i) / (n - 1)
    if start == 0:
        points[0] = a
    if stop == n:
        points[-1] = b
    return points


def _abscissae(args, data, dates):
    """The output's x, as a function of a chunk's first and past-the-last
    index, and their number."""
    if args.at is not None:
        table = read_data(args.at, ["0"], dates=dates)
        (xs,) = table.columns
        if not xs.size:
            raise UsageError(f"{args.at}: no evaluation points")
        if (dates is None) != (table.dates is None):
            raise UsageError(f"{args.at}: its x are {'no ' * (table.dates is None)}dates or "
                             f"times, but those of {data.source} are {'no ' * (dates is None)}"
                             "dates or times")
        return (lambda start, stop: xs[start:stop]), xs.size
    # The data's range: a table to smooth may list x in any order.
    knots = np.sort(data.x)
    a, b = float(knots[0]), float(knots[-1])
    return (lambda start, stop: _on_knots(_grid(a, b, args.points, start, stop), knots)), \
        args.points


def _on_knots(points, knots):
    """The grid's points with those within its rounding of a knot moved onto it,
    so that a grid through the data gives their values back exactly."""
    # The grid's formula rounds three times, each by half an ulp of the range's ends.
    room = 4 * np.finfo(float).eps * max(abs(knots[0]), abs(knots[-1]))
    at = np.clip(np.searchsorted(knots, points), 1, knots.size - 1)
    nearer = np.where(points - knots[at - 1] < knots[at] - points, knots[at - 1], knots[at])
    return np.where(np.abs(points - nearer) <= room, nearer, points)


def _shortest(value):
    """A number in the shortest form that reads back to the same double, an
    integral one without '.0'."""
    text = repr(float(value))
    return text[:-2] if text.endswith(".0") else text


_INTEGRAL = re.compile(r"\.0(?=, |$)")


def _texts(values):
    """Each value as _shortest writes it: the list's repr writes them all in
    one call, and its integral ones lose their '.0' in one pass."""
    return _INTEGRAL.sub("", repr(values.tolist())[1:-1]).split(", ") if values.size else []


def _orders(args, names):
    """The derivative orders written and their columns' labels."""
    y_name = names[1]
    orders = [(0, y_name or "value")]
    if args.derivatives:
        orders += [(nu, f"{y_name}.{what}" if y_name else what)
                   for nu, what in ((1, "first_derivative"), (2, "second_derivative"))]
    return orders


class Output:
    """The CSV's header and its rows, chunk by chunk."""

    def __init__(self, args, fits, names, dates, points, count):
        self.args, self.fits, self.dates = args, fits, dates
        self.points, self.count = points, count
        self.orders = _orders(args, names)
        self.header = [names[0] or "x"] + [
            ("" if len(fits) == 1 else name + ".") + label
            for name in fits for _, label in self.orders]

    def check(self):
        """Refuses, before anything is written, --at points outside the data
        with --extrapolate raise (the extreme points stand for all)."""
        if self.args.at is None:  # the grid lies in the data's range
            return
        xs = self.points(0, self.count)
        ends = np.array([xs.min(), xs.max()])
        for f in self.fits.values():
            try:
                f(ends)
            except ValueError as e:
                raise UsageError(f"{self.args.at}: {e}") from None

    def chunks(self):
        out = io.StringIO()
        csv.writer(out, lineterminator="\n").writerow(self.header)
        yield out.getvalue()
        for start in range(0, self.count, CHUNK_ROWS):
            xs = self.points(start, min(start + CHUNK_ROWS, self.count))
            cells = [[self.dates.text(v) for v in xs.tolist()] if self.dates else _texts(xs)]
            for f in self.fits.values():
                cells += [_texts(np.asarray(f(xs, nu))) for nu, _ in self.orders]
            yield "\n".join(map(",".join, zip(*cells))) + "\n"

    def write(self, path):
        with open(path, "w", encoding="utf-8") as f:
            for text in self.chunks():
                f.write(text)


def _file_mode():
    """The mode a newly created file gets under the process's umask."""
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


class _Staged:
    """Output files, each written completely under a temporary name beside its
    target and moved into place only when every one of them is complete; on
    any failure none of them appears and no temporary file stays behind.

    A symbolic link is written through: its target is the file replaced. A
    device, a FIFO or a socket is no file to replace: it is written in place,
    at once. A directory is refused."""

    def __init__(self):
        self._files = []

    def add(self, flag, path, write):
        if os.path.isdir(path):
            raise UsageError(f"{flag} {path} is a directory; give the name of a file")
        if os.path.exists(path) and not os.path.isfile(path):
            self._write(path, path, write)
            return
        target = os.path.realpath(path)
        try:
            fd, tmp = tempfile.mkstemp(dir=os.path.dirname(target), prefix=".velarix-",
                                       suffix=os.path.splitext(path)[1])
        except OSError as e:
            raise UsageError(f"cannot write {path}: {e.strerror}") from None
        self._files.append((tmp, target))
        try:
            # mkstemp makes files readable by their owner only; the outputs
            # are ordinary files and follow the umask like any other.
            os.fchmod(fd, _file_mode())
        finally:
            os.close(fd)
        self._write(tmp, path, write)

    @staticmethod
    def _write(where, path, write):
        try:
            write(where)
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
    grid = np.linspace(x.min(), x.max(), 1000)

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


# Column names a header gives a leading column of row numbers.
INDEX_NAMES = frozenset({"", "id", "index", "idx", "no", "no.", "nr", "#", "n", "row",
                         "unnamed: 0"})


def _columns(args):
    columns = (args.columns or "0,1").split(",")
    if len(columns) != 2 or not all(columns):
        raise UsageError(f"--columns takes two columns such as 0,1, got '{args.columns}'")
    return columns


def _table(args):
    """The data's table: the chosen columns, or by default the first two,
    after a leading column of row numbers that the header names as one."""
    table = read_data(args.input, _columns(args), args.missing)
    header = table.header
    if args.columns is not None or not header or len(header) < 3 or (
            header[0].strip().lower() not in INDEX_NAMES):
        return table
    wider = read_data(args.input, ["0", "1", "2"], args.missing)
    first = wider.columns[0]
    if first.size < 2 or wider.dates is not None or not np.all(np.diff(first) == 1):
        return table
    print(f"velarix: {table.source}: column 0 ({header[0]!r}) numbers the rows; fitting "
          f"columns 1 ({header[1]!r}) and 2 ({header[2]!r}) (-c chooses others)", file=sys.stderr)
    return read_data(args.input, ["1", "2"], args.missing)


def _data(args):
    """The data to fit, their columns' names and an x column of dates (or None)."""
    if args.example is not None:
        name = args.example.replace("-", "_")
        x, y = (np.asarray(c) for c in getattr(datasets, name)())
        doc = getattr(datasets, name).__doc__.split(":")[0]
        print(f"velarix: using the {args.example} data set ({doc})", file=sys.stderr)
        return Data(x, y, None, args.example), [None, None], None
    table = _table(args)
    x, y = table.columns
    if table.dropped:
        print(f"velarix: {table.source}: {len(table.dropped)} rows with a missing cell skipped "
              f"(the first on line {table.dropped[0]})", file=sys.stderr)
    if len(x) < 2:
        raise UsageError(f"need at least 2 data rows, got {len(x)}")
    data = Data(x, y, table.lines, table.source)
    if args.smooth is None:
        data = _without_ties(_in_order(data), args.ties)
    elif args.ties not in (None, "refuse"):
        data = _without_ties(_in_order(data), args.ties)
    return data, table.names, table.dates


def run(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.plot and not args.plot.lower().endswith(PLOT_FORMATS):
        raise UsageError(f"--plot writes .png or .svg files, not {args.plot}")
    _take_input_after_smooth(args)
    if args.input is None and args.example is None:
        if sys.stdin.isatty():  # a bare `velarix` at a terminal: how to use it
            parser.print_usage(sys.stderr)
            print("velarix: give a table, '-' for standard input, or --example akima; "
                  "velarix --help says more", file=sys.stderr)
            return 2
        args.input = "-"
    elif args.input is not None and args.example is not None:
        raise UsageError(f"--example {args.example} is the data; give it or {args.input}, "
                         "not both")
    methods = _chosen(args)
    _columns(args)
    data, names, dates = _data(args)
    fits = fit_smoother(args, data) if args.smooth is not None else fit_methods(args, methods,
                                                                               data)
    _warn_missed_shapes(fits, data)
    output = Output(args, fits, names, dates, *_abscissae(args, data, dates))
    output.check()
    # With --plot the picture is the output; the CSV goes where -o sends it
    # ('-' for standard output).
    to_stdout = args.output == "-" or (args.output is None and not args.plot)
    with _Staged() as outputs:
        if args.plot:
            labels = [n or d for n, d in zip(names, ("x", "y"))]
            outputs.add("--plot", args.plot, _draw(_pyplot(), data.x, data.y, fits, labels))
        if not to_stdout and args.output:
            outputs.add("--output", args.output, output.write)
    if to_stdout:
        for text in output.chunks():
            sys.stdout.write(text)
    return 0


def main(argv=None):
    try:
        return run(argv)
    except UsageError as e:
        print(f"velarix: error: {e}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        return 1
