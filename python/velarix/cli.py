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

Each job has a module of its own: the arguments (``_arguments``), the table
reader (``_table``, over the cells of ``_cells``), what is done with them
(``_actions``) and the output (``_output``), and gridded tables
(``--grid``, ``_grid_command``); this one reads the data the arguments name
and runs the steps in order.
"""

import sys

import numpy as np

from velarix import datasets
from velarix._actions import (MISSED, SHAPE_ROOM, SHAPE_SAMPLES, Data,  # noqa: F401
                              chosen_methods, fit_methods, fit_smoother, in_order, shape_misses,
                              warn_missed_shapes, without_ties)
from velarix._arguments import (COMMAND_CONFIGURATIONS, DEFAULT_EXTRAPOLATION,  # noqa: F401
                                DEFAULT_METHOD, DEFAULT_POINTS, END_CONDITIONS, MAX_POINTS,
                                OPTIONS, REGISTRY, SHAPES, SMOOTHING_OPTIONS, command_parser,
                                take_input_after_smooth)
from velarix._cells import DELIMITERS, MISSING_MARKS, Dates  # noqa: F401
from velarix._grid_command import run_grid
from velarix._output import PLOT_FORMATS, Output, Staged, abscissae, draw, pyplot
from velarix._table import Table, read_data, read_table  # noqa: F401
from velarix._usage import UsageError


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
        data = without_ties(in_order(data), args.ties)
    elif args.ties not in (None, "refuse"):
        data = without_ties(in_order(data), args.ties)
    return data, table.names, table.dates


def run(argv=None):
    parser = command_parser()
    args = parser.parse_args(argv)
    if args.plot and not args.plot.lower().endswith(PLOT_FORMATS):
        raise UsageError(f"--plot writes .png or .svg files, not {args.plot}")
    take_input_after_smooth(args)
    if args.grid is not None:
        return run_grid(args)
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
    methods = chosen_methods(args)
    _columns(args)
    data, names, dates = _data(args)
    fits = fit_smoother(args, data) if args.smooth is not None else fit_methods(args, methods,
                                                                               data)
    warn_missed_shapes(fits, data)
    output = Output(args, fits, names, dates, *abscissae(args, data, dates))
    output.check()
    # With --plot the picture is the output; the CSV goes where -o sends it
    # ('-' for standard output).
    to_stdout = args.output == "-" or (args.output is None and not args.plot)
    with Staged() as outputs:
        if args.plot:
            labels = [n or d for n, d in zip(names, ("x", "y"))]
            outputs.add("--plot", args.plot, draw(pyplot(), data.x, data.y, fits, labels))
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
