"""The package around the module: data sets, type stubs, package docs."""

import ast
import inspect
import os
import pathlib
import re
import subprocess
import sys

import pytest

import velarix
from velarix import datasets
from velarix._registry import RECORDS

TYPED = pathlib.Path(__file__).parent / "typed"
PACKAGE = pathlib.Path(velarix.__file__).parent


@pytest.mark.parametrize(
    "load, n, x_first, x_last, y_first, y_last",
    [
        (datasets.akima, 11, 0.0, 15.0, 10.0, 85.0),
        (datasets.fritsch_carlson, 9, 7.99, 20.0, 0.0, 0.999994),
        (datasets.titanium, 49, 595.0, 1075.0, 0.644, 0.608),
        (datasets.calibration, 16, -200.0, 1300.0, -5.891, 52.41),
        (datasets.normal_cdf, 13, -3.0, 3.0, 0.0013, 0.9987),
        (datasets.yield_curve, 10, 0.25, 30.0, 4.32, 4.47),
        (datasets.cam, 15, 0.0, 360.0, 1.0, 1.0),
        (datasets.dose_response, 27, 0.01, 100.0, 0.2, 89.3),
    ],
)
def test_dataset_shape_and_ends(load, n, x_first, x_last, y_first, y_last):
    x, y = load()
    assert (x.typecode, y.typecode, len(x), len(y)) == ("d", "d", n, n)
    assert (x[0], x[-1], y[0], y[-1]) == (x_first, x_last, y_first, y_last)
    # Replicates repeat their dose; every other curve's x increases strictly.
    step = 3 if load is datasets.dose_response else 1
    assert all(a < b for a, b in zip(x[::step], x[step::step]))
    assert load.__name__ in datasets.CURVES


def test_tables_as_published():
    emf = datasets.calibration()[1]
    assert all(a < b for a, b in zip(emf, emf[1:])) and emf[2] == 0.0   # 0 mV at 0 °C
    p = datasets.normal_cdf()[1]
    assert all(abs(a + b - 1) < 1.5e-4 for a, b in zip(p, reversed(p)))  # Φ(z) + Φ(-z) = 1
    angle, radius = datasets.cam()
    assert radius[0] == radius[-1] and angle[-1] - angle[0] == 360.0    # one closed turn


def test_property_table_rises_with_pressure_and_falls_with_temperature():
    p, t, rho = datasets.property_table()
    assert (len(p), len(t), len(rho), {len(row) for row in rho}) == (6, 8, 6, {8})
    assert all(a < b for row in zip(*rho) for a, b in zip(row, row[1:]))
    assert all(a > b for row in rho for a, b in zip(row, row[1:]))


def test_dataset_values():
    x, y = datasets.akima()
    assert list(x) == [0, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15]
    assert list(y) == [10, 10, 10, 10, 10, 10, 10.5, 15, 50, 60, 85]
    x, y = datasets.fritsch_carlson()
    assert list(x) == [7.99, 8.09, 8.19, 8.7, 9.2, 10, 12, 15, 20]
    assert list(y) == [0, 2.76429e-5, 4.37498e-2, 0.169183, 0.469428, 0.943740, 0.998636,
                       0.999919, 0.999994]
    x, y = datasets.titanium()
    assert list(x) == list(range(595, 1076, 10))
    # The peak of 2.169 at 895, with its neighbours.
    assert (y.index(max(y)), y[29], y[30], y[31]) == (30, 1.881, 2.169, 2.075)
    assert sum(y) == pytest.approx(39.425, abs=5e-4)


def test_datasets_are_fresh_buffers():
    x, _ = datasets.akima()
    x[0] = -1.0
    assert datasets.akima()[0][0] == 0.0


def test_package_docstring_guides_the_choice():
    doc = velarix.__doc__
    for name in [f"{m.configuration.__name__}()" for m in RECORDS.values()] + ["EndSlopes.clamped"]:
        assert name in doc
    assert "not 0" in doc and "NaN abscissa gives NaN" in doc
    # The guide's list of the methods is their records': class, name, summary.
    listed = "\n".join(f'``{m.configuration.__name__}()``, "{m.name}"\n    {m.summary}'
                        for m in RECORDS.values())
    assert f":\n\n{listed}\n\nIn more detail:" in doc and "{method_guide}" not in doc


MODULES = {path.stem: path for path in PACKAGE.glob("*.py")}


def _underscored_imports(path):
    """The underscored names a module of the package takes from another one: imported
    by name, or read as an attribute of a package module it imported."""
    tree = ast.parse(path.read_text())
    submodules = set(MODULES) | {"_velarix"}
    modules, taken = set(), []
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            modules |= {a.asname or a.name for a in node.names if a.name == "velarix"}
        elif isinstance(node, ast.ImportFrom) and (node.module or "").split(".")[0] == "velarix":
            for alias in node.names:
                if node.module == "velarix" and alias.name in submodules:
                    modules.add(alias.asname or alias.name)
                elif alias.name.startswith("_"):
                    taken.append(f"{node.module}.{alias.name}")
    for node in ast.walk(tree):
        if (isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
                and node.value.id in modules and node.attr.startswith("_")
                and not node.attr.startswith("__") and node.attr not in submodules):
            taken.append(f"{node.value.id}.{node.attr}")
    return taken


def test_the_package_is_modules_of_at_most_400_lines_joined_by_public_names():
    lengths = {name: len(path.read_text().splitlines()) for name, path in MODULES.items()}
    assert {"interpolant", "cli", "smoothing"} <= set(lengths)
    assert {name: n for name, n in lengths.items() if n > 400} == {}
    taken = {name: _underscored_imports(path) for name, path in MODULES.items()}
    assert {name: names for name, names in taken.items() if names} == {}


def test_py_typed_marker_and_stubs_ship_with_the_package():
    for name in ("py.typed", "__init__.pyi", "_velarix.pyi", "datasets.pyi"):
        assert (PACKAGE / name).is_file(), name


# The subprocesses run in TYPED and must find the package under test.
ENV = dict(os.environ, MYPYPATH=str(PACKAGE.parent),
           PYTHONPATH=os.pathsep.join([str(PACKAGE.parent), os.environ.get("PYTHONPATH", "")]))


def mypy(*args):
    pytest.importorskip("mypy")
    config = "--mypy-config-file" if args[0] == "mypy.stubtest" else "--config-file"
    return subprocess.run(
        [sys.executable, "-m", *args, config, str(TYPED / "mypy.ini")],
        capture_output=True, text=True, env=ENV, cwd=TYPED, timeout=300,
    )


def test_typed_example_passes_strict_mypy():
    result = mypy("mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, "example.py")
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_example_runs():
    result = subprocess.run([sys.executable, "example.py"], capture_output=True, text=True,
                            env=ENV, cwd=TYPED, timeout=60)
    assert result.returncode == 0, result.stderr


def test_stubs_catch_the_marked_mistakes():
    result = mypy("mypy", "--no-incremental", "--cache-dir", os.devnull, "wrong.py")
    flagged = {int(m) for m in re.findall(r"^wrong\.py:(\d+): error", result.stdout, re.M)}
    source = (TYPED / "wrong.py").read_text().splitlines()
    marked = {i for i, line in enumerate(source, 1) if "# E:" in line}
    assert flagged == marked, result.stdout


def test_stubs_match_the_runtime_module():
    result = mypy("mypy.stubtest", "velarix", "--allowlist", "stubtest-allowlist.txt")
    assert result.returncode == 0, result.stdout + result.stderr


def test_version_is_pyprojects_in_the_package_and_the_command():
    tomllib = pytest.importorskip("tomllib")
    with open(pathlib.Path(__file__).parents[2] / "pyproject.toml", "rb") as f:
        version = tomllib.load(f)["project"]["version"]
    assert velarix.__version__ == version
    result = subprocess.run([sys.executable, "-m", "velarix", "--version"], capture_output=True,
                            text=True, env=ENV, timeout=60)
    assert result.stdout == f"velarix {version}\n"


def _public_members():
    for name in velarix.__all__:
        obj = getattr(velarix, name)
        yield name, obj
        if isinstance(obj, type):
            for member, value in vars(obj).items():
                if not member.startswith("_"):
                    yield f"{name}.{member}", value


@pytest.mark.parametrize("name, obj", list(_public_members()), ids=lambda v: v
                         if isinstance(v, str) else "")
def test_every_public_name_and_member_has_a_docstring(name, obj):
    # More than a signature: at least a sentence of its own.
    doc = inspect.getdoc(obj)
    assert doc and len(doc.split()) >= 4, name


def test_docstrings_list_every_registered_method_and_mode():
    doc = velarix.interpolate.__doc__
    default = inspect.signature(velarix.interpolate).parameters["method"].default
    assert f'default "{default}"' in doc
    for m in RECORDS.values():
        assert f'- "{m.name}": {m.summary}' in doc
    for mode in velarix.interpolant.EXTRAPOLATION_MODES:
        assert f'"{mode}"' in velarix.Interpolant.extrapolate.__doc__


def test_the_stubs_offer_the_cores_extrapolation_modes():
    stub = (pathlib.Path(velarix.__file__).parent / "interpolant.pyi").read_text()
    literal = re.search(r"^_Extrapolate: TypeAlias = Literal\[(.*)\]$", stub, re.M).group(1)
    assert tuple(re.findall(r'"(\w+)"', literal)) == velarix._velarix.extrapolations
