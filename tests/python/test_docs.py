"""The documentation's examples, so that none can rot: the Python blocks of
README and the guide run as scripts and pass mypy, the guide's and the
docstrings' doctests give their printed output, the guide's command lines
run as written, and the figures they show are committed and regenerate."""

import doctest
import importlib.util
import math
import os
import pathlib
import re
import subprocess
import sys
from array import array

import shlex
import shutil

import pytest

import velarix
from velarix import datasets

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = {path.relative_to(ROOT).as_posix(): path.read_text(encoding="utf-8")
         for path in [ROOT / "README.md", *sorted((ROOT / "docs" / "guide").glob("*.md"))]}
README = PAGES["README.md"]
TEXT = "\n".join(PAGES.values())
BLOCKS = [block for text in PAGES.values()
          for block in re.findall(r"^```python\n(.*?)^```", text, re.M | re.S)]
SESSIONS = {page: "\n".join(re.findall(r"^```pycon\n(.*?)^```", text, re.M | re.S))
            for page, text in PAGES.items() if "```pycon" in text}
COMMANDS = [line for page in ("README.md", "docs/guide/command.md")
            for block in re.findall(r"^```sh\n(.*?)^```", PAGES[page], re.M | re.S)
            for line in re.findall(r"^(velarix .*?)(?:  +#.*)?$", block, re.M)]
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [str(pathlib.Path(velarix.__file__).parent.parent), os.environ.get("PYTHONPATH", "")]))


def missing_modules(source):
    wanted = set(re.findall(r"^\s*(?:import|from)\s+(\w+)", source, re.M))
    return sorted(m for m in wanted if importlib.util.find_spec(m) is None)


def test_documentation_has_examples():
    assert len(BLOCKS) >= 10 and len(SESSIONS) >= 2 and len(COMMANDS) >= 15


@pytest.mark.parametrize("source", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_example_runs(source, tmp_path):
    if missing := missing_modules(source):
        pytest.skip(f"needs {', '.join(missing)}")
    # Each block on its own, as a reader would paste it into a script.
    script = tmp_path / "example.py"
    script.write_text(source, encoding="utf-8")
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                            env=ENV, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stderr


# README's brief table and the guide's full one name every registered method.
@pytest.mark.parametrize("record", velarix._velarix.methods, ids=lambda m: m["name"])
def test_method_tables_name_every_method(record):
    name = record["configuration"].__name__
    assert f"`{name}()" in README and f"`{name}()" in PAGES["docs/guide/choosing.md"]


# Each page's sessions run in one namespace, in order, as a reader types them.
@pytest.mark.parametrize("page", sorted(SESSIONS))
def test_guide_sessions_print_what_they_show(page):
    test = doctest.DocTestParser().get_doctest(SESSIONS[page], {}, page, page, 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failures = []
    runner.run(test, out=failures.append)
    assert runner.failures == 0, "".join(failures)


def package_doctests():
    finder = doctest.DocTestFinder()
    modules = [velarix, velarix._velarix, *(importlib.import_module(f"velarix.{m}") for m in
               ("interpolant", "smoothing", "datasets", "_grid", "_family", "_roots"))]
    return [t for m in modules for t in finder.find(m) if t.examples]


@pytest.mark.parametrize("test", package_doctests(), ids=lambda t: t.name)
def test_docstring_examples_print_what_they_show(test):
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    failures = []
    runner.run(test, out=failures.append)
    assert runner.failures == 0, "".join(failures)


# Every line of the command's guide runs as written from the top of a copy of
# the source tree's example tables.
@pytest.mark.parametrize("line", COMMANDS)
def test_guide_command_runs_as_written(line, tmp_path):
    if "--plot" in line and missing_modules("import matplotlib"):
        pytest.skip("needs matplotlib")
    shutil.copytree(ROOT / "examples" / "data", tmp_path / "examples" / "data")
    words = shlex.split(line.split(" < ")[0])
    stdin = (tmp_path / line.split(" < ")[1]).read_bytes() if " < " in line else b""
    result = subprocess.run([sys.executable, "-m", *words], input=stdin, capture_output=True,
                            env=ENV, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stderr.decode()
    assert result.stdout or "--plot" in line


def test_figures_are_committed_and_regenerate(tmp_path):
    figures = ("methods.png", "strict.png", "quintic.png", "smoothing.png", "periodic.png",
               "grid.png", "long_record.png")
    for figure in figures:
        assert f"](docs/{figure})" in TEXT or f"](../{figure})" in TEXT
        assert (ROOT / "docs" / figure).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    if missing := missing_modules("import matplotlib\nimport scipy"):
        pytest.skip(f"needs {', '.join(missing)}")
    out = tmp_path / "methods.png"
    result = subprocess.run([sys.executable, str(ROOT / "docs" / "make_figures.py"), str(out)],
                            capture_output=True, text=True, env=ENV, timeout=300)
    assert result.returncode == 0, result.stderr
    for figure in figures:
        assert (tmp_path / figure).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def grid(lo, hi, n):
    return array("d", [lo + (hi - lo) * i / (n - 1) for i in range(n)])


def test_readme_figures_hold():
    peak = max(velarix.Tension().fit(*datasets.titanium()).value_batch(grid(595, 1075, 10**6)))
    assert "peak, about 2.2 " in TEXT and round(peak, 1) == 2.2


def test_uniform_tension_zero_is_the_cubic_spline_with_the_methods_end_slopes():
    interpolate = pytest.importorskip("scipy.interpolate")
    x, y = datasets.titanium()
    spline = velarix.Tension().with_uniform_tension(0.0).fit(x, y)
    ends = ((1, spline.first_derivative(x[0])), (1, spline.first_derivative(x[-1])))
    for bc_type in [ends, "not-a-knot", "natural", "clamped"]:
        cubic = interpolate.CubicSpline(x, y, bc_type=bc_type)(grid(595, 1075, 4001))
        gap = max(abs(a - b) for a, b in zip(cubic, spline.value_batch(grid(595, 1075, 4001))))
        assert (gap < 1e-12) == (bc_type is ends), bc_type




# The quintic figure's step and bump, and a sine peaked between knots: the
# curve never passes the largest or smallest sample.
@pytest.mark.parametrize("x, f", [
    (grid(0.0, 9.0, 10), lambda v: float(v > 4.5)),
    (array("d", [-3.0, -2.2, -1.5, -0.8, 0.0, 0.6, 1.3, 2.1, 3.0]), lambda v: math.exp(-v * v / 2)),
    (grid(0.0, 2.5, 41), math.sin),
], ids=["step", "bump", "sine"])
def test_readme_quintic_claims_hold(x, f):
    y = array("d", map(f, x))
    values = velarix.Quintic().fit(x, y).value_batch(grid(x[0], x[-1], 100_001))
    assert (min(values), max(values)) == (min(y), max(y))


def test_readme_examples_pass_mypy(tmp_path):
    pytest.importorskip("mypy")
    for i, source in enumerate(BLOCKS):
        (tmp_path / f"block{i}.py").write_text(source, encoding="utf-8")
    package = str(pathlib.Path(velarix.__file__).parent.parent)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--cache-dir", os.devnull,
         "--ignore-missing-imports", *sorted(p.name for p in tmp_path.glob("block*.py"))],
        capture_output=True, text=True, env=dict(ENV, MYPYPATH=package), cwd=tmp_path,
        timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
