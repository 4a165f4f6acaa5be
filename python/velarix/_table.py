"""The command's table reader: a table of x and y from a file or standard input.

The first lines settle the delimiter, the header and a units row; the body
is then read in blocks of whole lines, each parsed in bulk by NumPy. A block
the bulk parser cannot take as it stands (a bad or missing cell, a short
row, a cell with a decimal comma beside a decimal point, dates) is read cell
by cell, which accepts the same numbers with the same bits and words the
refusal. Columns are counted from 0, in -c and in every message alike.
"""

import contextlib
import re
import sys
import warnings
from array import array

import numpy as np

from velarix._cells import (ISO, Cells, Dates, all_numbers, delimiter_of, is_number,
                            is_table_line, split_cells)
from velarix._usage import UsageError

# The body is read in blocks of whole lines of about this many bytes.
BLOCK_BYTES = 1 << 16
# A spreadsheet's first line naming the delimiter (sep=; or "sep=,").
_SEP_LINE = re.compile(r'\s*"?sep=(.)"?\s*')


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
    kept = array("q", (lineno + k for k, line in enumerate(lines) if is_table_line(line)))
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
        if not is_table_line(line):
            return True
        if self.settled:
            return False
        if self.header is None:
            if not self.named and (sep := _SEP_LINE.fullmatch(line)):
                self.delimiter, self.named = sep.group(1), True
                return True
            if not self.named:
                self.delimiter = delimiter_of(line)
            if all_numbers(line, self.delimiter):
                self.settled = True
                return False
            self.header = split_cells(line, self.delimiter)
            return True
        self.settled = True
        cells = split_cells(line, self.delimiter)
        if any(is_number(c, self.delimiter) for c in cells):
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
    width = len(split_cells(first, preamble.delimiter))
    indices = [_column_index(c, header, max(width, len(header or ()))) for c in columns]
    if dates is None:
        cell = split_cells(first, preamble.delimiter)[indices[0]] if indices[0] < width else ""
        dates = Dates(cell) if ISO.fullmatch(cell) else None
    return Cells(source, preamble.delimiter, indices, header, missing, dates)


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
