"""The README's Python examples and its figure, so that neither can rot."""

import importlib.util
import math
import os
import pathlib
import re
import subprocess
import sys
from array import array

import pytest

import velarix
from velarix import datasets

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
BLOCKS = re.findall(r"^```python\n(.*?)^```", README, re.M | re.S)
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [str(pathlib.Path(velarix.__file__).parent.parent), os.environ.get("PYTHONPATH", "")]))


def missing_modules(source):
    wanted = set(re.findall(r"^\s*(?:import|from)\s+(\w+)", source, re.M))
    return sorted(m for m in wanted if importlib.util.find_spec(m) is None)


def test_readme_has_examples():
    assert len(BLOCKS) >= 3


@pytest.mark.parametrize("source", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(source, tmp_path):
    if missing := missing_modules(source):
        pytest.skip(f"needs {', '.join(missing)}")
    # Each block on its own, as a reader would paste it into a script.
    script = tmp_path / "example.py"
    script.write_text(source, encoding="utf-8")
    result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                            env=ENV, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stderr


def test_readme_figure_is_committed_and_regenerates(tmp_path):
    figures = ("methods.png", "strict.png", "quintic.png", "smoothing.png", "periodic.png",
               "grid.png")
    for figure in figures:
        assert f"](docs/{figure})" in README
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
    assert "peak, about 2.2 " in README and round(peak, 1) == 2.2


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
