"""The command's output: the CSV of the fits at a grid or at the points of another
file, written in chunks of rows so that its size does not bound the memory, files
replaced only once all are complete, and the picture of the fits.
"""

import contextlib
import csv
import io
import os
import re
import tempfile

import numpy as np

from velarix._table import read_data
from velarix._usage import UsageError

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


def abscissae(args, data, dates):
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


_INTEGRAL = re.compile(r"\.0(?=, |$)")


def _texts(values):
    """Each value in the shortest form that reads back to it, an integral one without
    '.0' (as the command writes every number): the list's repr writes them all in
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


class Staged:
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


def pyplot():
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


def draw(plt, x, y, fits, names):
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
