"""What the command does with its arguments and data: the methods chosen and
configured, the data put in order, the fits, and the warnings of a fit that
missed its method's shape.
"""

import argparse
import inspect
import re
import sys

import numpy as np

import velarix
from velarix import EndSlopes
from velarix._arguments import (COMMAND_CONFIGURATIONS, DEFAULT_METHOD, END_CONDITIONS, OPTIONS,
                                REGISTRY, SMOOTHING_OPTIONS, finite)
from velarix._checks import checked_knots
from velarix._usage import UsageError

_SMOOTH = inspect.signature(velarix.smooth).parameters


def chosen_methods(args):
    """The methods to fit, after refusing options that apply to none of them."""
    if args.smooth is not None:
        _refuse_interpolation_options(args)
        return []
    for name in SMOOTHING_OPTIONS:
        if getattr(args, name) not in (None, False):
            raise UsageError(f"--{name} applies only with --smooth")
    args.method = args.method or DEFAULT_METHOD
    names = list(COMMAND_CONFIGURATIONS) if args.method == "all" else [args.method]
    if (ends := _ends(args)) is not None:
        applies = [n for n in COMMAND_CONFIGURATIONS if ends[0] in REGISTRY[n].end_conditions]
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
    config = COMMAND_CONFIGURATIONS[name]()
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
        return kind, tuple(finite(n) for n in numbers)
    except argparse.ArgumentTypeError as e:
        raise UsageError(f"argument --ends: {e}") from None


def _configuration(name, args):
    """velarix.interpolate's configuration of a method, with the options that apply to it."""
    config = COMMAND_CONFIGURATIONS[name]()
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


def in_order(data):
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


def without_ties(data, ties):
    """One row per x: repeats refused, or merged by `ties` (mean, first, last)."""
    x = data.x
    repeated = np.flatnonzero(x[1:] == x[:-1])
    if not repeated.size:
        return data
    if ties in (None, "refuse"):
        i = int(repeated[0])
        raise UsageError(f"{data.source}: x = {shortest(x[i])} repeats on {data.line(i)} and "
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
        checked_knots(data.x)  # refused once, not once per method
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
    if info.warning:
        print(f"velarix: warning: {info.warning} (here: leave out --knots)", file=sys.stderr)
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
    where = (f"on [{shortest(data.x[i])}, {shortest(data.x[i + 1])}]"
             + (f" ({data.line(i)} to {data.line(i + 1)})" if data.lines is not None else ""))
    others = [n for n, m in REGISTRY.items() if n != name and promise in m.promises]
    tries = [f"{o.flag}" for o in method.options] + [
        f"--method {' or '.join(others)}" if others else None, "--smooth"]
    return (f"{head}: {where} it {MISSED[promise].format(f'{amount:.3g}')}; try "
            f"{', '.join(t for t in tries if t)}")


def warn_missed_shapes(fits, data):
    """Warn of each fit whose verdict is False; a method that promises no shape has none to miss."""
    for name, f in fits.items():
        method = REGISTRY.get(name)
        if method is not None and not method.promises:
            continue
        if not f.is_shape_preserving:
            print(_shape_warning(name, f, data), file=sys.stderr)


def shortest(value):
    """A number in the shortest form that reads back to the same double, an
    integral one without '.0'."""
    text = repr(float(value))
    return text[:-2] if text.endswith(".0") else text
