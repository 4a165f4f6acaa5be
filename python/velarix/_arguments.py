"""The command's arguments: its parser, built from the method records, and the
vocabularies the options take (methods, end conditions, extrapolation modes, shapes).
"""

import argparse
import inspect
import re

import velarix
from velarix import _registry, datasets
from velarix._checks import EXTRAPOLATION_MODES
from velarix._grid_checks import GRID_METHODS
from velarix._usage import UsageError

DEFAULT_POINTS = 101
# The most output points -n gives: a CSV of a few gigabytes.
MAX_POINTS = 10**8

# The methods, with the configuration each gets and the options that change
# it, are the registry's: velarix.interpolate fits with the same
# configurations. The records by the command's name of each method, and a
# function that returns the configuration the command starts each one from.
REGISTRY = {method.command_name: method for method in _registry.RECORDS.values()}
COMMAND_CONFIGURATIONS = {name: (lambda m=m: m.interpolation_configuration)
                          for name, m in REGISTRY.items()}
# Every end condition some method takes, in the order the records first name them.
END_CONDITIONS = tuple(dict.fromkeys(e for m in REGISTRY.values() for e in m.end_conditions))
_INTERPOLATE = inspect.signature(velarix.interpolate).parameters
DEFAULT_METHOD = _INTERPOLATE["method"].default.replace("_", "-")
DEFAULT_EXTRAPOLATION = _INTERPOLATE["extrapolate"].default
# The smoother's shapes as the core names them ("none" first, "auto" last).
SHAPES = velarix.Smoother.shapes()


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


def finite(text):
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
    smoothing.add_argument("--lam", type=finite, metavar="LAM",
                           help="the smoothing parameter (default: generalised cross-validation)")
    smoothing.add_argument("--knots", type=int, metavar="N",
                           help="the number of knot segments (default: a knot at every "
                                "distinct x)")
    smoothing.add_argument("--robust", action="store_true",
                           help="reweight the points by Huber's rule to resist outliers")


SMOOTHING_OPTIONS = ("lam", "knots", "robust")


def command_parser():
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
    p.add_argument("--example", choices=[n.replace("_", "-") for n in datasets.CURVES],
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
    p.add_argument("-m", "--method", type=_method_name, choices=[*COMMAND_CONFIGURATIONS, "all"],
                   help=f"fitting method (default: {DEFAULT_METHOD}); 'all' fits every method "
                        "that accepts the data")
    p.add_argument("--ends", nargs="+", metavar="KIND",
                   help=f"the end conditions: {' | '.join(END_CONDITIONS)}, clamped taking the "
                        "LEFT and RIGHT slopes (default: the estimated slopes, limited to the "
                        "data's shape)")
    p.add_argument("--clamped", nargs=2, type=finite, metavar=("LEFT", "RIGHT"),
                   help="the same as --ends clamped LEFT RIGHT")
    _add_method_options(p)
    _add_smoothing_options(p)
    p.add_argument("--extrapolate", default=DEFAULT_EXTRAPOLATION,
                   choices=EXTRAPOLATION_MODES,
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
    grid = p.add_argument_group(
        "tables of two and more variables",
        "--grid reads a gridded table and resamples it with velarix.interpolate_grid on -n "
        "points per axis or at the points (first N columns) of --at; --plot draws a 2-D grid "
        "as a heat map with contours, the data points and two cross-sections")
    grid.add_argument("--grid", choices=("matrix", "long"),
                      help="matrix: the first row holds the second axis's grid and the first "
                           "column the first axis's; long: N coordinate columns and a value "
                           "column, chosen with -c (default 0,1,2), one row per grid point")
    grid.add_argument("--grid-method", choices=GRID_METHODS, default="shape",
                      help="shape (default): C², monotone along every axis where the data are, "
                           "flat where they are flat; cubic; linear")
    return p


def take_input_after_smooth(args):
    """`velarix --smooth data.csv`: argparse gives the file to --smooth as its
    SHAPE; what is no shape there, with no input named, is the input."""
    if args.smooth is None or args.input is not None:
        return
    try:
        velarix.Smoother().with_shape(args.smooth)
    except ValueError:
        args.input, args.smooth = args.smooth, "none"
