"""Cells of a table line: how a line splits into cells, which cells are numbers, and the
reading of one cell of a chosen column (a number, or an ISO 8601 date or time in the
x column), with the refusal that names its line and column.
"""

import csv
import datetime
import re
from array import array

import numpy as np

from velarix._usage import UsageError

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
# ISO 8601 dates, date-times and times of day in extended form.
_ISO_TIME = r"[0-9]{2}:[0-9]{2}(?::[0-9]{2}(?:[.,][0-9]+)?)?(?:Z|[+-][0-9]{2}(?::?[0-9]{2})?)?"
ISO = re.compile(rf"[0-9]{{4}}-[0-9]{{2}}-[0-9]{{2}}(?:[T ]{_ISO_TIME})?|{_ISO_TIME}")


def delimiter_of(line):
    bare = "".join(line.split('"')[::2])
    found = next((d for d in DELIMITERS if d in bare), None)
    # Numbers with decimal commas separated by whitespace (0 20,5) are no
    # comma-separated row: split at the commas, their cells are no numbers.
    if found == "," and all_numbers(line, None) and not all_numbers(line, ","):
        return None
    return found


def all_numbers(line, delimiter):
    return all(is_number(c, delimiter) for c in split_cells(line, delimiter))


def split_cells(line, delimiter):
    if delimiter is None:
        return [plain or quoted.replace('""', '"')
                for quoted, plain in _WHITESPACE_CELL.findall(line)]
    (cells,) = csv.reader([line], delimiter=delimiter, skipinitialspace=True)
    return [c.strip() for c in cells]


def is_table_line(line):
    return bool(line.strip()) and not line.lstrip().startswith("#")


def is_number(cell, delimiter):
    """Whether a cell is meant as data (a header cell is not): the rows after
    the header refuse the numbers that are not finite or grouped."""
    text = cell.replace(",", ".") if delimiter != "," else cell
    return any(p.fullmatch(t) for p, t in ((_DECIMAL, text), (_NOT_FINITE, cell), (_GROUPED, cell),
                                           (ISO, cell)))


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
        if not ISO.fullmatch(cell):
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


class Cells:
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
        if ISO.fullmatch(cell):
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
            if not is_table_line(line):
                continue
            numbers = self.row(split_cells(line, self.delimiter), lineno)
            if numbers is not None:
                out.extend(numbers)
                kept.append(lineno)
            if until_mark and self.mark is not None:
                break
        return np.frombuffer(out, dtype=np.float64).reshape(-1, len(self.indices)), kept, count
