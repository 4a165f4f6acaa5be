"""The velarix command, run as a subprocess the way a user runs it."""

import csv
import io
import os
import subprocess
import sys

import numpy as np
import pytest

import velarix
from velarix import EndSlopes, _output, _table, cli, interpolant


def run(*args, stdin=None, cwd=None, umask=None):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(velarix.__file__))
    return subprocess.run(
        [sys.executable, "-m", "velarix", *map(str, args)],
        input=stdin, capture_output=True, text=True, env=env, cwd=cwd, timeout=60,
        preexec_fn=None if umask is None else (lambda: os.umask(umask)),
    )


def rows(text):
    return list(csv.reader(io.StringIO(text)))


def test_default_data_set_is_resampled():
    result = run("--example", "akima")
    assert result.returncode == 0, result.stderr
    assert "akima data set (Akima's 1970 data)" in result.stderr
    table = rows(result.stdout)
    assert table[0] == ["x", "value"]
    assert len(table) == 1 + 101
    assert float(table[1][0]) == 0.0 and float(table[-1][0]) == 15.0
    assert float(table[1][1]) == 10.0 and float(table[-1][1]) == pytest.approx(85.0)


def test_file_with_header_derivatives_and_points(tmp_path):
    data = tmp_path / "data.csv"
    data.write_text("t,temp,other\n0,1,9\n1,0.5,9\n2,0.4,9\n3,0.6,9\n4,1.5,9\n")  # convex
    result = run(data, "--columns", "t,temp", "-n", 5, "--derivatives", "--method", "all")
    assert result.returncode == 0, result.stderr
    table = rows(result.stdout)
    assert table[0] == ["t"] + [f"{name}.temp{part}" for name in cli.COMMAND_CONFIGURATIONS
                                for part in ("", ".first_derivative", ".second_derivative")]
    assert [float(r[0]) for r in table[1:]] == [0, 1, 2, 3, 4]
    for column in range(1, len(table[0]), 3):
        assert [float(r[column]) for r in table[1:]] == pytest.approx([1, 0.5, 0.4, 0.6, 1.5])


def test_whitespace_table_from_stdin_with_all_methods_and_at(tmp_path):
    at = tmp_path / "at.txt"
    at.write_text("0.5\n1.5\n")
    result = run("-", "--method", "all", "--at", at, stdin="# comment\n0 0\n1 1\n2 4\n3 9\n")
    assert result.returncode == 0, result.stderr
    table = rows(result.stdout)
    assert table[0] == ["x"] + [f"{name}.value" for name in cli.COMMAND_CONFIGURATIONS]
    assert len(table) == 3


# Data that change curvature, which a method that keeps convexity refuses.
TURNING = ("0 0\n1 1\n2 4\n3 2\n", [0.0, 1, 2, 3], [0.0, 1, 4, 2])


def refusals(x, y):
    """The command's name of each method that refuses the data, with its message."""
    found = {}
    for name, config in cli.COMMAND_CONFIGURATIONS.items():
        try:
            velarix.interpolate(x, y, config())
        except ValueError as e:
            found[name] = str(e)
    return found


def test_all_skips_a_method_that_refuses_the_data(tmp_path):
    data = tmp_path / "d.txt"
    data.write_text(TURNING[0])
    refused = refusals(*TURNING[1:])
    result = run(data, "--method", "all")
    assert result.returncode == 0 and refused
    for name, message in refused.items():
        assert f"{name} skipped: {message}" in result.stderr
    assert rows(result.stdout)[0] == ["x"] + [f"{name}.value" for name in cli.COMMAND_CONFIGURATIONS
                                              if name not in refused]


def test_output_file_and_options(tmp_path):
    out = tmp_path / "out.csv"
    result = run("--example", "akima", "--clamped", 0, 0, "-o", out)
    assert result.returncode == 0 and result.stdout == ""
    assert rows(out.read_text())[0] == ["x", "value"]
    convex = tmp_path / "convex.txt"
    convex.write_text("0 1\n1 0.5\n2 0.4\n3 0.6\n4 1.5\n")
    for name, method in cli.REGISTRY.items():  # each option of each method, on convex data
        for option in method.options:
            value = option.choices[0] if option.choices else 3
            result = run(convex, "--method", name, option.flag, value, "-n", 3)
            assert result.returncode == 0 and len(rows(result.stdout)) == 4, result.stderr


# The method options that take a number.
NUMBERS = [(option, names) for option, names in cli.OPTIONS.values() if not option.choices]


@pytest.mark.parametrize(
    "content, args, fragment",
    [
        (None, ["/nonexistent/file.csv"], "cannot read /nonexistent/file.csv"),
        ("0 1\n1 x\n", [], "line 2, column 1: 'x' is not a number"),
        ("0 1\n", [], "need at least 2 data rows, got 1"),
        ("0 1\n1 2\n1 3\n", [], "x = 1 repeats on line 2 and line 3: --ties mean, first or last "
         "keeps one value per x (--smooth fits noisy data with repeated x)"),
        *((TURNING[0], ["--method", name], f"{name}: {message}")
          for name, message in refusals(*TURNING[1:]).items()),
        ("0 0\n1 1\n", ["--method", "not-a-method"], "invalid choice: 'not-a-method'"),
        ("0 0\n1 1\n", ["--points", "1"], "--points: must be from 2 to 100000000, got 1"),
        ("0 0\n1 1\n", ["--columns", "0,5"], "no column 5: the table has columns 0 to 1"),
        ("0 0\n1 1\n", ["--columns", "a,b"], "no column 'a'"),
        *(("0 0\n1 1\n", [option.flag, "two"], f"argument {option.flag}: 'two' is not a number")
          for option, _ in NUMBERS),
        ("x,y\n0,0\n1,abc\n", [], "line 3, column 1 (y): 'abc' is not a number"),
        ("0 0\n1 \udcff\n", [], "byte 0xff at offset 6 is not UTF-8 text"),
        ("0 0\n1 1\n", ["--plot", "fit.pdf"], "--plot writes .png or .svg files, not fit.pdf"),
        ("0 0\n1 1\n", ["--at", os.devnull], "no evaluation points"),
        ("0 0\n1 1\n", ["--plot", "/nonexistent/fit.png"], "cannot write /nonexistent/fit.png"),
        ("0 0\n1 NaN\n", [], "line 2, column 1: 'NaN' is not finite"),
        ("0 0\n1 1\n", ["--clamped", "0", "-inf"], "argument --clamped: must be finite, got -inf"),
        ("0 0\n1 1\n", ["--ends", "clamped", "1"],
         "argument --ends: clamped takes the LEFT and RIGHT slopes"),
        ("0 0\n1 1\n", ["--ends", "natural", "1"], "argument --ends: natural takes no numbers"),
        ("0 0\n1 1\n", ["--ends", "natural", "--clamped", "0", "0"],
         "--clamped is --ends clamped; give only one of them"),
        *(("0 0\n1 1\n", [option.flag, "nan"], f"argument {option.flag}: must be a number, got nan")
          for option, _ in NUMBERS),
    ],
)
def test_bad_input_is_one_line_and_status_two(tmp_path, content, args, fragment):
    argv = list(args)
    if content is not None:
        data = tmp_path / "data.txt"
        data.write_bytes(content.encode("utf-8", "surrogateescape"))
        argv.insert(0, data)
    out = tmp_path / "out.csv"
    result = run(*argv, "-o", out)
    assert result.returncode == 2
    lines = result.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("velarix: error: "), result.stderr
    assert fragment in lines[0]
    assert "Traceback" not in result.stderr
    assert not out.exists()
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".velarix-")] == []


def test_plot(tmp_path):
    target = tmp_path / "fit.png"
    result = run("--example", "akima", "--method", "all", "--plot", target)
    try:
        import matplotlib.pyplot  # noqa: F401
    except Exception:
        assert result.returncode == 2
        assert "--plot needs a working matplotlib" in result.stderr and "Traceback" not in result.stderr
        assert not target.exists()
    else:
        assert result.returncode == 0, result.stderr
        assert target.read_bytes()[:4] == b"\x89PNG"
        assert result.stdout == ""  # the picture is the output unless -o asks for CSV


# The same four points in the forms real tables take.
TABLES = {
    "bom and quotes": '\ufeff"t","temp"\n0,1\n1,0.5\n2,0.4\n3,0.6\n',
    "semicolons and units": "t;temp\ns;K\n0;1\n1;0.5\n2;0.4\n3;0.6\n",
    "tabs and comments": "# run 7\nt\ttemp\n0\t1\n# pause\n1\t0.5\n2\t0.4\n3\t0.6\n",
    "whitespace, quoted names": '"t" "temp"\n"[s]" "[K]"\n0 1\n1   0.5\n2 0.4\n3 0.6\n',
    "quoted comma in a name": '"t, s",temp\n0,1\n1,0.5\n2,"0.4"\n3,0.6\n',
}


@pytest.mark.parametrize("content", TABLES.values(), ids=TABLES.keys())
def test_real_tables_are_read(tmp_path, content):
    data = tmp_path / "data.txt"
    data.write_text(content, encoding="utf-8")
    result = run(data, "-c", "0,temp", "-n", 4)
    assert result.returncode == 0, result.stderr
    values = [float(c) for r in rows(result.stdout)[1:] for c in r]
    assert values == pytest.approx([0, 1, 1, 0.5, 2, 0.4, 3, 0.6])
    units = "\ns;K\n" in content or "[s]" in content
    assert len(result.stderr.splitlines()) == units
    assert ("skipped as a units row" in result.stderr) == units


def test_output_files_follow_the_umask(tmp_path):
    out, picture = tmp_path / "out.csv", tmp_path / "fit.svg"
    plotting = run("--example", "akima", "--plot", picture, "-o", out, umask=0o027).returncode == 0
    assert plotting or run("--example", "akima", "-o", out, umask=0o027).returncode == 0
    for path in [out] + [picture] * plotting:
        assert path.stat().st_mode & 0o777 == 0o640


def test_plot_axes_carry_the_column_names(tmp_path, monkeypatch):
    plt = pytest.importorskip("matplotlib.pyplot")
    (tmp_path / "data.csv").write_text(TABLES["semicolons and units"])
    figures = []
    monkeypatch.setattr(plt, "close", figures.append)
    assert cli.main([str(tmp_path / "data.csv"), "--plot", str(tmp_path / "fit.png")]) == 0
    (top, bottom), = [f.axes for f in figures if hasattr(f, "axes")]
    assert (bottom.get_xlabel(), top.get_ylabel()) == ("t", "temp")


def read(tmp_path, text):
    (tmp_path / "table.txt").write_bytes(text.encode())
    return cli.read_table(str(tmp_path / "table.txt"))


@pytest.mark.parametrize("text", [
    "t;temp\n0;20,5\n1;-1,5e3\n2;,25\n",
    '"t"\t"temp"\r\n0\t"20,5"\r\n1\t-1,5E+3\r\n2\t+,25\r\n',
    "0 20,5\n1   -1,5e3\n2 0,250\n",
])
def test_decimal_commas_where_cells_are_not_separated_by_commas(tmp_path, text):
    (x, y), names = read(tmp_path, text)
    assert (x.tolist(), y.tolist()) == ([0.0, 1.0, 2.0], [20.5, -1500.0, 0.25])
    assert names == (["t", "temp"] if "t" in text else [None, None])


# Tables of 300 rows of numbers across the range of doubles, as tables are written.
FORMATS = {
    "commas": (",", ".", "\n", False),
    "semicolons, decimal commas, CR LF": (";", ",", "\r\n", False),
    "tabs, decimal commas, quoted": ("\t", ",", "\n", True),
    "whitespace": ("  ", ".", "\n", False),
}


@pytest.mark.parametrize("block", [64, _table.BLOCK_BYTES])
@pytest.mark.parametrize("form", FORMATS.values(), ids=FORMATS)
def test_bulk_and_cell_by_cell_reading_give_the_numbers_bit_for_bit(tmp_path, monkeypatch, form,
                                                                    block):
    delimiter, mark, end, quoted = form
    rng = np.random.default_rng(11)
    values = rng.standard_normal((300, 3)) * 10.0 ** rng.integers(-300, 300, (300, 3))
    cell = (lambda v: f'"{v}"') if quoted else str
    lines = [delimiter.join("abc"), "# a comment"] + [
        delimiter.join(cell(repr(v).replace(".", mark)) for v in row) for row in values.tolist()]
    (path := tmp_path / "table.txt").write_bytes((end.join(lines) + end).encode())
    monkeypatch.setattr(_table, "BLOCK_BYTES", block)
    bulk, parsed = _table._bulk, []
    monkeypatch.setattr(_table, "_bulk", lambda *args: parsed.append(bulk(*args)) or parsed[-1])
    fast = cli.read_table(str(path), ["c", "0"])
    monkeypatch.setattr(_table, "_bulk", lambda *args: None)
    careful = cli.read_table(str(path), ["c", "0"])
    assert any(p is not None and p.size for p in parsed)  # the bulk reading took blocks
    assert fast[1] == careful[1] == ["c", "a"]
    for got, again, want in zip(fast[0], careful[0], values[:, [2, 0]].T):
        assert got.tobytes() == again.tobytes() == want.tobytes()


@pytest.mark.parametrize("bad, message", [
    ("NaN", "'NaN' is not finite"),
    ("1e400", "'1e400' is out of the range of floating point numbers (about ±1.8e308)"),
    ("1.234,5", "'1.234,5' has a thousands separator; write the numbers without digit grouping"),
    ("1 234,5", "'1 234,5' has a thousands separator; write the numbers without digit grouping"),
    ("2.5", "'2.5' has a decimal point, but the number on line 2 has a decimal comma; a point "
            "beside decimal commas may be a thousands separator: write the numbers one way"),
    ("", "an empty cell marks a missing value (--missing drop skips the rows that have one)"),
])
def test_a_bad_cell_deep_in_a_table_is_named_by_line_and_column(tmp_path, monkeypatch, bad,
                                                               message):
    lines = ["t;temp"] + [f"{i};{i},5" for i in range(200)]
    lines[150] = f"149;{bad}"
    monkeypatch.setattr(_table, "BLOCK_BYTES", 64)
    with pytest.raises(cli.UsageError) as info:
        read(tmp_path, "\n".join(lines))
    assert str(info.value) == f"{tmp_path / 'table.txt'}, line 151, column 1 (temp): {message}"


CONVEX = "t;temp\n0;1\n1;0,5\n2;0,4\n3;0,6\n4;1,5\n"
# Each option as the configuration's builder it stands for, with every name
# it takes, or numbers in the forms a user writes, and the methods it applies
# to: --clamped to those whose record lists clamped end slopes, a method
# option to those whose record lists it.
OPTION_CASES = {
    "no option": ([], lambda name: True, lambda c: c),
    "--clamped": (["--clamped", "-1e-3", "2"],
                  lambda name: "clamped" in cli.REGISTRY[name].end_conditions,
                  lambda c: c.with_boundary(EndSlopes.clamped(-1e-3, 2))),
    **{f"{option.flag} {text}": ([option.flag, text],
                                 lambda name, o=option: o in cli.REGISTRY[name].options,
                                 lambda c, o=option, v=value: o.apply(c, v))
       for option, _ in cli.OPTIONS.values()
       for text, value in ([(c, option.parse(c)) for c in option.choices] if option.choices
                           else [("-0", -0.0), ("2.5", 2.5), ("10", 10.0)])},
}


def outputs(capsys, *args):
    code = cli.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, rows(out), err


@pytest.mark.parametrize("options, applies, change", OPTION_CASES.values(), ids=OPTION_CASES)
@pytest.mark.parametrize("name", cli.COMMAND_CONFIGURATIONS)
def test_each_method_is_fitted_as_interpolate_does_unless_an_option_says_otherwise(
        tmp_path, capsys, name, options, applies, change):
    (x, y), _ = read(tmp_path, CONVEX)
    if not applies(name):
        code, _, err = outputs(capsys, tmp_path / "table.txt", "-m", name, *options)
        flag = "--ends clamped" if options[0] == "--clamped" else options[0]  # the same option
        assert code == 2 and err.startswith(f"velarix: error: {flag} does not apply to "
                                            f"the {name} method (only to ")
        return
    config = change(cli.COMMAND_CONFIGURATIONS[name]())
    try:
        velarix.interpolate(x, y, config)
    except ValueError as e:  # a setting the method refuses at fit
        code, _, err = outputs(capsys, tmp_path / "table.txt", "-m", name, *options)
        assert code == 2 and err == f"velarix: error: {name}: {e}\n"
        return
    code, table, _ = outputs(capsys, tmp_path / "table.txt", "-m", name, *options, "-n", 9, "-d")
    assert code == 0 and table[0][:2] == ["t", "temp"]
    got = np.array(table[1:], dtype=float).T
    f = velarix.interpolate(x, y, config)
    assert got[0].tobytes() == np.linspace(0.0, 4.0, 9).tobytes()
    assert all(got[1 + nu].tobytes() == f(got[0], nu).tobytes() for nu in range(3))


@pytest.mark.parametrize("ends", cli.END_CONDITIONS)
@pytest.mark.parametrize("name", cli.COMMAND_CONFIGURATIONS)
def test_ends_are_the_end_slopes_each_method_record_offers(tmp_path, capsys, name, ends):
    (x, y), _ = read(tmp_path, "t;temp\n0;1\n1;0,5\n2;0,4\n3;0,6\n4;1\n")  # convex, closed
    numbers = ["-1e-3", "2"] * (ends == "clamped")
    code, table, err = outputs(capsys, tmp_path / "table.txt", "-m", name, "--ends", ends, *numbers)
    offered = [n for n in cli.COMMAND_CONFIGURATIONS if ends in cli.REGISTRY[n].end_conditions]
    if name not in offered:  # refused by the command where the record lacks the ends
        assert code == 2 and err == (f"velarix: error: --ends {ends} does not apply to the {name} "
                                     f"method (only to {', '.join(offered)})\n")
        return
    try:
        f = velarix.interpolate(x, y, cli.COMMAND_CONFIGURATIONS[name]().with_boundary(
            getattr(EndSlopes, ends)(*map(float, numbers))))
    except ValueError as e:
        assert code == 2 and err == f"velarix: error: {name}: {e}\n"
        return
    got = np.array(table[1:], dtype=float).T
    assert code == 0 and got[1].tobytes() == f(got[0]).tobytes()


@pytest.mark.parametrize("mode", [None, *interpolant.EXTRAPOLATION_MODES])
def test_points_outside_the_data_follow_extrapolate(tmp_path, capsys, mode):
    (x, y), _ = read(tmp_path, CONVEX)
    (tmp_path / "at.txt").write_text("-1.5\n0.5\n6\n")
    code, table, err = outputs(capsys, tmp_path / "table.txt", "--at", tmp_path / "at.txt", "-d",
                               *([] if mode is None else ["--extrapolate", mode]))
    if mode == "raise":
        assert code == 2 and err.endswith("x[0] = -1.5 is outside the domain [0, 4]\n")
        return
    f = velarix.interpolate(x, y, **({} if mode is None else {"extrapolate": mode}))
    got = np.array(table[1:], dtype=float).T
    assert all(np.array_equal(got[1 + nu], f([-1.5, 0.5, 6.0], nu), equal_nan=True)
               for nu in range(3))


def test_each_fit_that_misses_its_shape_is_warned_once(tmp_path, capsys):
    (x, y), _ = read(tmp_path, "t v\n0 0\n1 0\n2 0\n3 1\n4 1\n5 1\n")
    code, table, err = outputs(capsys, tmp_path / "table.txt", "-m", "all")
    fits = {}
    for name, make in cli.COMMAND_CONFIGURATIONS.items():
        try:
            fits[name] = velarix.interpolate(x, y, make())
        except ValueError as e:
            assert f"velarix: {name} skipped: {e}" in err
    missed = [name for name, f in fits.items() if not f.is_shape_preserving]
    assert code == 0 and missed and table[0] == ["t"] + [f"{name}.v" for name in fits]
    warned = [line for line in err.splitlines() if "warning" in line]
    assert [line.split(": on")[0] for line in warned] == [
        f"velarix: warning: the {name} fit does not keep the shape its method promises"
        for name in missed]
    # The flats of the data: the warning names the worst, where and by how much.
    for name, line in zip(missed, warned):
        left = int(line.split("on [")[1].split(",")[0])
        amount = float(line.split(" by ")[1].split()[0])
        grid = np.linspace(left, left + 1, 1001)
        assert y[left] == y[left + 1] and f"(line {left + 2} to line {left + 3})" in line
        assert amount == pytest.approx(np.abs(fits[name](grid) - y[left]).max(), rel=2e-3)
        assert "leaves flat data" in line and line.endswith(", --smooth")


# Noisy convex readings with decimal commas, out of order, one x twice.
NOISY = ("t;temp\n2;0,43\n0;1,02\n0,5;0,61\n1;0,49\n4;1,49\n1,5;0,38\n2,5;0,52\n3;0,63\n"
         "3,5;0,98\n4;1,52\n")


# --smooth before the file: with no shape there it takes the file as input.
@pytest.mark.parametrize("shape, settings, where", [
    (None, {}, ["-n", "5"]),
    ("increasing convex", {"lam": 0.25, "knots": 4, "robust": True}, ["--at", "at.txt"]),
    ("auto", {}, ["--at", "at.txt", "--extrapolate", "constant"]),
])
def test_smooth_writes_the_smoother_and_reports_its_choice(tmp_path, capsys, monkeypatch, shape,
                                                           settings, where):
    (x, y), _ = read(tmp_path, NOISY)
    (tmp_path / "at.txt").write_text("-1\n0.25\n2\n5\n")
    monkeypatch.chdir(tmp_path)
    options = [f"--{k}" if v is True else f"--{k}={v}" for k, v in settings.items()]
    code, table, err = outputs(capsys, "--smooth", *[shape] * bool(shape), "table.txt", *options,
                               *where, "-d")
    f = velarix.smooth(x, y, shape, extrapolate=where[-1] if len(where) > 2 else "linear",
                       **settings)
    got = np.array(table[1:], dtype=float).T
    assert code == 0 and table[0][:2] == ["t", "temp"]
    assert got[0].tolist() == ([0, 1, 2, 3, 4] if where[0] == "-n" else [-1, 0.25, 2, 5])
    assert all(got[1 + nu].tobytes() == f(got[0], nu).tobytes() for nu in range(3))
    lam, edf, _, chosen, _ = f.smoothing
    warned = f"velarix: warning: {f.smoothing.warning} (here: leave out --knots)\n"
    assert err == (f"velarix: smoothed with lam = {lam!r} "
                   f"({'as given' if settings else 'by generalised cross-validation'}), "
                   f"shape {chosen}{' (chosen by auto)' * (shape == 'auto')}, edf = {edf:.4g}\n"
                   f"{warned * bool(f.smoothing.warning)}")


@pytest.mark.parametrize("args, message", [
    (["--smooth", "wiggly"], "--smooth: shape must be 'none', 'increasing', 'decreasing', "
     "'convex', 'concave', a direction and a curvature such as 'increasing convex', or 'auto'; "
     "got 'wiggly'"),
    (["--smooth", "--lam", "0"], "--smooth: smoothing setting `lam` must be finite and > 0, got 0"),
    (["--lam", "1"], "--lam applies only with --smooth"),
    (["--robust"], "--robust applies only with --smooth"),
    *((["--smooth", *extra],
       f"{extra[0]} does not apply with --smooth (it configures an interpolating method)")
      for extra in (["--method", cli.DEFAULT_METHOD], ["--ends", "natural"],
                    ["--clamped", "0", "0"],
                    *([o.flag, (o.choices or ["1"])[0]] for o, _ in cli.OPTIONS.values()))),
])
def test_smooth_refuses_options_that_do_not_apply(tmp_path, capsys, args, message):
    read(tmp_path, NOISY)
    code, _, err = outputs(capsys, tmp_path / "table.txt", *args)
    assert code == 2 and err == f"velarix: error: {message}\n"


# Issue 35's reproducers: what gave a traceback or a silent choice gets one line naming the option.
@pytest.mark.parametrize("content, args, message", [
    ("0 0\n1 1\n", ["-c", "0,99999999999999999999"],
     "no column 99999999999999999999: the table has columns 0 to 1"),
    ("0 0\n1 1\n", ["-n", "4611686018427387904"],
     "argument -n/--points: must be from 2 to 100000000, got 4611686018427387904"),
    ("0 0\n1 1\n", ["-n", "1000000000"],
     "argument -n/--points: must be from 2 to 100000000, got 1000000000"),
    ("0 0\n1 1\n2 3\n", ["--smooth", "--knots", str(10**24)],
     f"--knots: {10**24} knot segments are far more than the smoother takes"),
    ("0 0\n1 1\n", ["-m", "tension", "--tension", "5", "--policy", "strict"],
     "--policy and --tension each set what the other does (tension); give only one of them"),
    ("x,y\n0,0\n1,1\n", ["-c", "year,y"], "no column 'year' in the header; its columns are 0 'x', "
     "1 'y'"),
    ("x,y\n0,0\n1,1\n", ["-c", "2,3"], "no column 2: the table has columns 0 to 1: 0 'x', 1 'y'"),
    ("x,y\n0,0\n1,NA\n2,2\n", [], "line 3, column 1 (y): 'NA' marks a missing value "
     "(--missing drop skips the rows that have one)"),
    ("x;y\n0;0\n;1\n2;2\n", [], "line 3, column 0 (x): an empty cell marks a missing value "
     "(--missing drop skips the rows that have one)"),
    ("dose,response\n1,0.5\n2,0.7\n2,0.75\n", [], "x = 2 repeats on line 3 and line 4: --ties "
     "mean, first or last keeps one value per x (--smooth fits noisy data with repeated x)"),
    ("0 0\n1 1\n", ["-o", "."], "--output . is a directory; give the name of a file"),
])
def test_reproducers_are_refused_naming_the_option(tmp_path, capsys, monkeypatch, content, args,
                                                   message):
    (tmp_path / "data.txt").write_text(content)
    monkeypatch.chdir(tmp_path)
    code, _, err = outputs(capsys, "data.txt", *args)
    prefix = "data.txt, " if message.startswith("line") else "data.txt: " * ("repeats" in message)
    assert (code, err) == (2, f"velarix: error: {prefix}{message}\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data.txt"]


def test_both_spellings_of_a_method_are_taken(tmp_path, capsys):
    (tmp_path / "data.txt").write_text(CONVEX)
    for name in velarix._registry.RECORDS:
        spellings = {name, name.replace("_", "-")}
        tables = {str(outputs(capsys, tmp_path / "data.txt", "-m", m)[1]) for m in spellings}
        assert len(tables) == 1


@pytest.mark.parametrize("content, n, x, y", [
    ("0 0\n1.5 1\n", 11, ["0", "0.15", "0.3", "0.45", "0.6", "0.75", "0.9", "1.05", "1.2", "1.35",
                          "1.5"], None),
    ("x,y\n0,0\n0.0001,1\n0.0002,2\n0.0003,2.5\n", 4, ["0", "0.0001", "0.0002", "0.0003"],
     ["0", "1", "2", "2.5"]),
    ("year,n\n1700,1\n1800,2\n1900,4\n", 3, ["1700", "1800", "1900"], ["1", "2", "4"]),
])
def test_round_grids_print_round_and_knots_give_their_data_back(tmp_path, capsys, content, n, x, y):
    (tmp_path / "data.txt").write_text(content)
    code, table, _ = outputs(capsys, tmp_path / "data.txt", "-n", n)
    assert code == 0 and [r[0] for r in table[1:]] == x
    assert y is None or [r[1] for r in table[1:]] == y
    assert all(repr(float(c)) in (c, c + ".0") for r in table[1:] for c in r)  # shortest, exact


# Tables as they come, each with the clean table it stands for and a note on standard error.
AS_THEY_COME = {
    "missing dropped": ("x,y\n0,1\n1,\n2,0.4\n3,NA\n4,1.5\n", ["--missing", "drop"],
                        "0 1\n2 0.4\n4 1.5\n", "2 rows with a missing cell skipped (the first on "
                                               "line 3)"),
    "ties by mean": ("0 1\n1 0.5\n1 0.7\n2 0.4\n", ["--ties", "mean"], "0 1\n1 0.6\n2 0.4\n",
                     "1 repeated x merged by --ties mean"),
    "ties, first": ("0 1\n1 0.5\n1 0.7\n2 0.4\n", ["--ties", "first"], "0 1\n1 0.5\n2 0.4\n",
                    "merged by --ties first"),
    "ties, last": ("2 0.4\n1 0.5\n0 1\n1 0.7\n", ["--ties", "last"], "0 1\n1 0.7\n2 0.4\n",
                   "the rows are sorted by x"),
    "descending": ("3 0.6\n2 0.4\n1 0.5\n0 1\n", [], "0 1\n1 0.5\n2 0.4\n3 0.6\n",
                   "x decreases: the rows are read in reverse order"),
    "sep= line": ("sep=;\nt;temp\n0;1\n1;0,5\n2;0,4\n", [], "0 1\n1 0.5\n2 0.4\n", None),
    "index column": ("id,t,temp\n1,0,1\n2,1,0.5\n3,2,0.4\n", [], "0 1\n1 0.5\n2 0.4\n",
                     "column 0 ('id') numbers the rows; fitting columns 1 ('t') and 2 ('temp')"),
}


@pytest.mark.parametrize("content, args, clean, note", AS_THEY_COME.values(), ids=AS_THEY_COME)
def test_tables_as_they_come_fit_as_their_clean_tables(tmp_path, capsys, content, args, clean,
                                                       note):
    (tmp_path / "raw.txt").write_text(content)
    (tmp_path / "clean.txt").write_text(clean)
    code, got, err = outputs(capsys, tmp_path / "raw.txt", *args, "-n", 9, "-d")
    _, want, _ = outputs(capsys, tmp_path / "clean.txt", "-n", 9, "-d")
    assert code == 0 and [r[1:] for r in got[1:]] == [r[1:] for r in want[1:]]
    assert (note is None and err == "") or note in err


@pytest.mark.parametrize("cells, grid", [
    (["2024-01-01", "2024-01-03", "2024-01-05"],
     ["2024-01-01", "2024-01-02", "2024-01-03", "2024-01-04", "2024-01-05"]),
    (["2024-01-01", "2024-01-02"], ["2024-01-01", "2024-01-01T06:00", "2024-01-01T12:00",
                                    "2024-01-01T18:00", "2024-01-02"]),
    (["2024-03-01 10:00Z", "2024-03-01 11:00Z"],
     ["2024-03-01 10:00Z", "2024-03-01 10:15Z", "2024-03-01 10:30Z", "2024-03-01 10:45Z",
      "2024-03-01 11:00Z"]),
    (["08:00:00.5", "08:00:02.5"], ["08:00:00.500", "08:00:01.000", "08:00:01.500",
                                    "08:00:02.000", "08:00:02.500"]),
])
def test_dates_and_times_are_read_as_x_and_written_back_in_their_form(tmp_path, capsys, cells,
                                                                     grid):
    (tmp_path / "data.csv").write_text("when,v\n" + "".join(f"{c},{i}\n" for i, c in
                                                              enumerate(cells)))
    code, table, err = outputs(capsys, tmp_path / "data.csv", "-n", 5)
    assert (code, [r[0] for r in table[1:]]) == (0, grid), err
    assert table[1][1] == "0" and table[-1][1] == str(len(cells) - 1)


def test_bare_velarix_at_a_terminal_prints_its_usage():
    import pty

    leader, follower = pty.openpty()
    try:
        env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(velarix.__file__)))
        result = subprocess.run([sys.executable, "-m", "velarix"], stdin=follower,
                                capture_output=True, text=True, env=env, timeout=60)
    finally:
        os.close(leader)
        os.close(follower)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr.startswith("usage: velarix ") and "--example akima" in result.stderr


def test_output_writes_through_links_and_into_fifos_in_place(tmp_path, capsys):
    import threading

    (tmp_path / "data.txt").write_text(CONVEX)
    _, want, _ = outputs(capsys, tmp_path / "data.txt")
    (tmp_path / "link.csv").symlink_to("target.csv")
    assert cli.main([str(tmp_path / "data.txt"), "-o", str(tmp_path / "link.csv")]) == 0
    assert (tmp_path / "link.csv").is_symlink()
    assert rows((tmp_path / "target.csv").read_text()) == want
    os.mkfifo(fifo := tmp_path / "fifo")
    read = []
    reader = threading.Thread(target=lambda: read.append(fifo.read_text()))
    reader.start()
    assert cli.main([str(tmp_path / "data.txt"), "-o", str(fifo)]) == 0
    reader.join(10)
    assert rows(read[0]) == want and fifo.is_fifo()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data.txt", "fifo", "link.csv",
                                                          "target.csv"]


def test_output_in_chunks_is_the_output_in_one(tmp_path, capsys, monkeypatch):
    (tmp_path / "data.txt").write_text(CONVEX)
    _, whole, _ = outputs(capsys, tmp_path / "data.txt", "-n", 1000, "-d", "-m", "all")
    monkeypatch.setattr(_output, "CHUNK_ROWS", 7)
    _, chunked, _ = outputs(capsys, tmp_path / "data.txt", "-n", 1000, "-d", "-m", "all")
    assert chunked == whole and len(whole) == 1001
