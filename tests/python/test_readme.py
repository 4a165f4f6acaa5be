"""The README's Python examples and its figure, so that neither can rot."""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

import velarix

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
    for figure in ("methods.png", "strict.png"):
        assert f"](docs/{figure})" in README
        assert (ROOT / "docs" / figure).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    if missing := missing_modules("import matplotlib\nimport scipy"):
        pytest.skip(f"needs {', '.join(missing)}")
    out = tmp_path / "methods.png"
    result = subprocess.run([sys.executable, str(ROOT / "docs" / "make_figures.py"), str(out)],
                            capture_output=True, text=True, env=ENV, timeout=300)
    assert result.returncode == 0, result.stderr
    assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert (tmp_path / "strict.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
