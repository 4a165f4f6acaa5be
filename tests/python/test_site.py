"""The documentation site's tooling: the link check finds what is broken and
nothing else, the API index places every public name, and each gallery
example runs on its own as a reader would run it."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

import velarix

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = sorted((ROOT / "examples").glob("plot_*.py"))


def load(path, name):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_link_check_reports_missing_pages_resources_and_anchors(tmp_path):
    check = load(ROOT / "docs" / "check_site.py", "check_site")
    (tmp_path / "sub").mkdir()
    (tmp_path / "a.png").write_bytes(b"")
    (tmp_path / "index.html").write_text(
        '<a href="sub/b.html#here">ok</a><img src="a.png"><a href="https://x.org/y">out</a>'
        '<a href="sub/b.html#gone">anchor</a><a href="c.html">page</a><img src="d.png">'
        '<a href="#top" id="top">self</a>')
    (tmp_path / "sub" / "b.html").write_text('<h1 id="here">b</h1><a href="../index.html">up</a>')
    pages, broken = check.broken_links(tmp_path)
    assert pages == 2
    assert sorted(target for _, target in broken) == ["c.html", "d.png", "sub/b.html#gone"]


def test_api_index_places_every_public_name():
    pytest.importorskip("sphinx_gallery")
    os.environ.setdefault("VELARIX_PACKAGE_DIR", str(pathlib.Path(velarix.__file__).parent.parent))
    conf = load(ROOT / "docs" / "conf.py", "docs_conf")
    text = conf.api_index()
    for name in velarix.__all__:
        assert f"\n   {name}\n" in text
    conf.GROUPS[0][2].remove("interpolate")
    with pytest.raises(RuntimeError, match=r"no place in the API reference: \['interpolate'\]"):
        conf.api_index()


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.stem)
def test_gallery_example_runs(example, tmp_path):
    for module in ("matplotlib", "scipy"):
        pytest.importorskip(module)
    package = str(pathlib.Path(velarix.__file__).parent.parent)
    env = dict(os.environ, MPLBACKEND="agg",
               PYTHONPATH=os.pathsep.join([package, os.environ.get("PYTHONPATH", "")]))
    result = subprocess.run([sys.executable, str(example)], capture_output=True, text=True,
                            env=env, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip()
