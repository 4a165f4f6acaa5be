"""The velarix command, run as a subprocess the way a user runs it."""

import csv
import io
import os
import subprocess
import sys

import pytest

import velarix


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
    result = run()
    assert result.returncode == 0, result.stderr
    assert "Akima (1970)" in result.stderr
    table = rows(result.stdout)
    assert table[0] == ["x", "value"]
    assert len(table) == 1 + 101
    assert float(table[1][0]) == 0.0 and float(table[-1][0]) == 15.0
    assert float(table[1][1]) == 10.0 and float(table[-1][1]) == pytest.approx(85.0)


def test_file_with_header_derivatives_and_points(tmp_path):
    data = tmp_path / "data.csv"
    data.write_text("t,temp,other\n0,1,9\n1,0.5,9\n2,0.4,9\n3,0.6,9\n4,1.5,9\n")
    result = run(data, "--columns", "t,temp", "-n", 5, "--derivatives", "--method", "rational-cubic")
    assert result.returncode == 0, result.stderr
    table = rows(result.stdout)
    assert table[0] == ["x", "value", "first_derivative", "second_derivative"]
    assert [float(r[0]) for r in table[1:]] == [0, 1, 2, 3, 4]
    assert [float(r[1]) for r in table[1:]] == pytest.approx([1, 0.5, 0.4, 0.6, 1.5])


def test_whitespace_table_from_stdin_with_all_methods_and_at(tmp_path):
    at = tmp_path / "at.txt"
    at.write_text("0.5\n1.5\n")
    result = run("-", "--method", "all", "--at", at, stdin="# comment\n0 0\n1 1\n2 4\n3 9\n")
    assert result.returncode == 0, result.stderr
    table = rows(result.stdout)
    assert table[0] == ["x", "tension.value", "rational-cubic.value", "variable-degree.value"]
    assert len(table) == 3


def test_all_skips_a_method_that_refuses_the_data(tmp_path):
    data = tmp_path / "d.txt"
    data.write_text("0 0\n1 1\n2 4\n3 2\n")
    result = run(data, "--method", "all")
    assert result.returncode == 0
    assert "rational-cubic skipped: data change curvature at knot 2" in result.stderr
    assert rows(result.stdout)[0] == ["x", "tension.value", "variable-degree.value"]


def test_output_file_and_options(tmp_path):
    out = tmp_path / "out.csv"
    result = run("--tension", 3, "--clamped", 0, 0, "-o", out)
    assert result.returncode == 0 and result.stdout == ""
    assert rows(out.read_text())[0] == ["x", "value"]
    result = run("--method", "variable-degree", "--max-degree", 10, "-n", 3)
    assert result.returncode == 0 and len(rows(result.stdout)) == 4
    convex = tmp_path / "convex.txt"
    convex.write_text("0 1\n1 0.5\n2 0.4\n3 0.6\n4 1.5\n")
    result = run(convex, "--method", "rational-cubic", "--convexity-solver", "newton", "-n", 3)
    assert result.returncode == 0 and len(rows(result.stdout)) == 4


@pytest.mark.parametrize(
    "content, args, fragment",
    [
        (None, ["/nonexistent/file.csv"], "cannot read /nonexistent/file.csv"),
        ("0 1\n1 x\n", [], "line 2, column 2: 'x' is not a number"),
        ("0 1\n", [], "need at least 2 data rows, got 1"),
        ("0 1\n1 2\n1 3\n", [], "x must be strictly increasing; x[1] = 1 is not < x[2] = 1"),
        ("0 0\n1 1\n2 4\n3 2\n", ["--method", "rational-cubic"],
         "rational-cubic: data change curvature at knot 2"),
        ("0 0\n1 1\n", ["--method", "spline"], "invalid choice: 'spline'"),
        ("0 0\n1 1\n", ["--points", "1"], "--points must be at least 2, got 1"),
        ("0 0\n1 1\n", ["--columns", "0,5"], "no column 6"),
        ("0 0\n1 1\n", ["--columns", "a,b"], "no column 'a'"),
        ("0 0\n1 1\n", ["--max-degree", "two"], "invalid float value: 'two'"),
        ("0 0\n1 1\n2 3\n", ["--max-degree", "2", "--method", "variable-degree"],
         "shape parameter `max_degree` must be >= 3, got 2"),
        ("x,y\n0,0\n1,abc\n", [], "line 3, column 2: 'abc' is not a number"),
        ("0 0\n1 \udcff\n", [], "byte 0xff at offset 6 is not UTF-8 text"),
        ("0 0\n1 1\n", ["--plot", "fit.pdf"], "--plot writes .png or .svg files, not fit.pdf"),
        ("0 0\n1 1\n", ["--at", os.devnull], "no evaluation points"),
        ("0 0\n1 1\n", ["--plot", "/nonexistent/fit.png"], "cannot write /nonexistent/fit.png"),
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
    result = run("--method", "all", "--plot", target)
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
    plotting = run("--plot", picture, "-o", out, umask=0o027).returncode == 0
    assert plotting or run("-o", out, umask=0o027).returncode == 0
    for path in [out] + [picture] * plotting:
        assert path.stat().st_mode & 0o777 == 0o640


def test_plot_axes_carry_the_column_names(tmp_path, monkeypatch):
    plt = pytest.importorskip("matplotlib.pyplot")
    from velarix import cli

    (tmp_path / "data.csv").write_text(TABLES["semicolons and units"])
    figures = []
    monkeypatch.setattr(plt, "close", figures.append)
    assert cli.main([str(tmp_path / "data.csv"), "--plot", str(tmp_path / "fit.png")]) == 0
    (top, bottom), = [f.axes for f in figures if hasattr(f, "axes")]
    assert (bottom.get_xlabel(), top.get_ylabel()) == ("t", "temp")


def test_tension_fits_the_strict_policy_unless_told_otherwise(tmp_path):
    # The Fritsch–Carlson data: the strict fit stays within [0, 1], the
    # published policy dips below 0 at the left end.
    from velarix import datasets

    x, y = datasets.fritsch_carlson()
    data = tmp_path / "rpn.txt"
    data.write_text("".join(f"{a!r} {b!r}\n" for a, b in zip(x, y)))
    lowest = {}
    for policy in ("strict", "published"):
        args = [] if policy == "strict" else ["--policy", policy]
        result = run(data, "-n", 2001, *args)
        assert result.returncode == 0, result.stderr
        lowest[policy] = min(float(row[1]) for row in rows(result.stdout)[1:])
    assert lowest["strict"] >= 0 > lowest["published"]
    assert "invalid choice: 'loose'" in run(data, "--policy", "loose").stderr
