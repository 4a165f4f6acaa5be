"""The command's gridded tables: ``--grid matrix`` (the first row the second axis's
grid, the first column the first axis's, as spreadsheets hold 2-D property tables) or
``--grid long`` (N coordinate columns and a value column, chosen with ``-c``), fitted
through ``velarix.interpolate_grid`` and resampled on a finer grid (``-n`` points per
axis) or at the points of ``--at``, with ``--plot`` drawing a heat map with contours,
the data points and two cross-sections."""

import csv
import io
import sys

import numpy as np

import velarix
from velarix._cells import delimiter_of, is_table_line, split_cells
from velarix._grid_checks import GRID_METHODS, GRID_MODES
from velarix._output import Staged, pyplot
from velarix._table import read_data
from velarix._usage import UsageError


def _number(cell, delimiter, source, line):
    text = cell.replace(",", ".") if delimiter != "," else cell
    try:
        return float(text)
    except ValueError:
        raise UsageError(f"{source}: line {line}: cell {cell!r} is not a number") from None


def read_matrix(path):
    """The axes, values and names (from the corner cell; the value has none) of a matrix
    table."""
    source = "<stdin>" if path == "-" else path
    try:
        text = sys.stdin.read() if path == "-" else open(path, encoding="utf-8-sig").read()
    except OSError as e:
        raise UsageError(f"cannot read {path}: {e.strerror}") from None
    rows = [(n, line) for n, line in enumerate(text.splitlines(), 1) if is_table_line(line)]
    if len(rows) < 3:
        raise UsageError(f"{source}: a matrix table needs a row of the second axis's grid and "
                         f"at least 2 rows of values, got {len(rows)} rows")
    delimiter = delimiter_of(rows[0][1])
    first = split_cells(rows[0][1], delimiter)
    y = np.array([_number(c, delimiter, source, rows[0][0]) for c in first[1:]])
    x, values = [], []
    for n, line in rows[1:]:
        cells = split_cells(line, delimiter)
        if len(cells) != len(first):
            raise UsageError(f"{source}: line {n} has {len(cells)} cells, the first row "
                             f"{len(first)}")
        x.append(_number(cells[0], delimiter, source, n))
        values.append([_number(c, delimiter, source, n) for c in cells[1:]])
    # A corner such as "T\\p" names the rows' axis, then the columns'.
    rows_name, _, columns_name = first[0].partition("\\")
    return (np.array(x), y), np.array(values), [rows_name or None, columns_name or None, None]


def read_long(path, columns, missing):
    """The axes, values and names of a table with one row per grid point."""
    table = read_data(path, columns, missing)
    *coordinates, values = table.columns
    axes, index = [], []
    for c in coordinates:
        grid, where = np.unique(c, return_inverse=True)
        axes.append(grid)
        index.append(where)
    shape = tuple(a.size for a in axes)
    count = np.zeros(shape, dtype=np.int64)
    np.add.at(count, tuple(index), 1)
    if (count > 1).any() or (count == 0).any():
        at = np.argwhere(count != 1)[0]
        point = ", ".join(f"{a[i]:g}" for a, i in zip(axes, at))
        what = "several rows" if count[tuple(at)] else "no row"
        raise UsageError(f"{table.source}: the table has {what} for the grid point ({point}); "
                         f"--grid long needs one row per point of the product of its columns")
    grid = np.empty(shape)
    grid[tuple(index)] = values
    return tuple(axes), grid, list(table.names or [None] * len(columns))


def _points(args, axes):
    """The output points: an even grid of -n per axis, or the rows of --at."""
    if args.at is not None:
        table = read_data(args.at, [str(a) for a in range(len(axes))], "refuse")
        return np.column_stack(table.columns), None
    count = args.points
    if count ** len(axes) > 10**7:
        raise UsageError(f"-n {count} gives {count ** len(axes)} points in {len(axes)}-D; "
                         f"give at most {int(10**(7 / len(axes)))} per axis")
    lines = [np.linspace(a[0], a[-1], count) for a in axes]
    mesh = np.stack(np.meshgrid(*lines, indexing="ij"), axis=-1).reshape(-1, len(axes))
    return mesh, lines


def _csv(header, columns):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header)
    writer.writerows(zip(*(c.tolist() for c in columns)))
    return out.getvalue()


def _heat_map(plt, axes, values, f, names):
    x, y = axes
    gx, gy = np.linspace(x[0], x[-1], 300), np.linspace(y[0], y[-1], 300)
    z = f.grid(gx, gy)

    def write(path):
        fig, (top, bottom) = plt.subplots(1, 2, figsize=(11, 4.5))
        try:
            mesh = top.pcolormesh(gx, gy, z.T, shading="auto", cmap="viridis")
            top.contour(gx, gy, z.T, levels=12, colors="white", linewidths=0.6)
            xx, yy = np.meshgrid(x, y, indexing="ij")
            top.scatter(xx.ravel(), yy.ravel(), s=8, c="black", label="data")
            top.set_xlabel(names[0] or "x1")
            top.set_ylabel(names[1] or "x2")
            fig.colorbar(mesh, ax=top, label=names[-1] or "value")
            for label, at in ((f"{names[1] or 'x2'} = {y[len(y) // 2]:g}", len(y) // 2),):
                bottom.plot(gx, f.grid(gx, [y[at]])[:, 0], label=label)
                bottom.plot(x, values[:, at], "o", color="black", ms=3)
            across = x[len(x) // 2]
            bottom.plot(gy, f.grid([across], gy)[0], label=f"{names[0] or 'x1'} = {across:g} "
                                                          f"(against {names[1] or 'x2'})")
            bottom.plot(y, values[len(x) // 2], "s", color="black", ms=3)
            bottom.legend(fontsize=8)
            bottom.set_title("cross-sections through the data")
            fig.tight_layout()
            fig.savefig(path)
        finally:
            plt.close(fig)

    return write


def run_grid(args):
    """``velarix --grid matrix|long``: read, fit, resample, write."""
    if args.input is None:
        raise UsageError("--grid needs a table (or '-' for standard input)")
    method = args.grid_method
    if method not in GRID_METHODS:
        raise UsageError(f"--grid-method takes {', '.join(GRID_METHODS)}, got {method!r}")
    mode = args.extrapolate or "linear"
    if mode not in GRID_MODES:
        raise UsageError(f"--extrapolate {mode} is not offered for grids; give one of "
                         f"{', '.join(GRID_MODES)}")
    if args.grid == "matrix":
        if args.columns is not None:
            raise UsageError("-c chooses the columns of --grid long; a matrix uses them all")
        axes, values, names = read_matrix(args.input)
    else:
        columns = (args.columns or "0,1,2").split(",")
        if len(columns) < 3 or not all(columns):
            raise UsageError(f"--grid long takes -c with 2 to 6 coordinate columns and a value "
                             f"column such as 0,1,2, got '{args.columns}'")
        axes, values, names = read_long(args.input, columns, args.missing)
    try:
        f = velarix.interpolate_grid(axes, values, method=method, extrapolate=mode)
    except ValueError as e:
        raise UsageError(f"{args.input}: {e}") from None
    print(f"velarix: {args.input}: a {' x '.join(str(a.size) for a in axes)} grid, "
          f"method {method}" + ("" if f.is_shape_preserving or method != "shape" else
                                "; the shape guarantee did not hold in floating point"),
          file=sys.stderr)
    points, _ = _points(args, axes)
    try:
        columns = [points[:, a] for a in range(len(axes))] + [f(points)]
        if args.derivatives:
            gradient = f.gradient(points)
            columns += [gradient[:, a] for a in range(len(axes))]
    except ValueError as e:
        raise UsageError(str(e)) from None
    axis_names = [names[a] or f"x{a + 1}" for a in range(len(axes))]
    value_name = names[-1] or "value"
    header = axis_names + [value_name] + (
        [f"d{value_name}/d{n}" for n in axis_names] if args.derivatives else [])
    text = _csv(header, columns)
    to_stdout = args.output == "-" or (args.output is None and not args.plot)
    with Staged() as outputs:
        if args.plot:
            if len(axes) != 2:
                raise UsageError(f"--plot draws 2-D grids, this one has {len(axes)} axes")
            outputs.add("--plot", args.plot, _heat_map(pyplot(), axes, values, f, names))
        if not to_stdout and args.output:
            outputs.add("--output", args.output,
                        lambda path: open(path, "w", encoding="utf-8").write(text))
    if to_stdout:
        sys.stdout.write(text)
    return 0
