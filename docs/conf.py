"""The documentation site's configuration: the user guide (Markdown), the API
reference from the docstrings, the gallery of examples run at build time and
the command's reference from its parser."""

import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
# The package documented is the one built into build/python (scripts/docs.sh
# builds it first), unless VELARIX_PACKAGE_DIR names another.
PACKAGE_DIR = os.environ.get("VELARIX_PACKAGE_DIR", str(ROOT / "build" / "python"))
sys.path.insert(0, PACKAGE_DIR)
# The gallery's command example runs the command in a child process.
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_DIR, os.environ.get("PYTHONPATH")]))
os.environ.setdefault("MPLBACKEND", "agg")

import velarix  # noqa: E402
from sphinx_gallery.sorting import FileNameSortKey  # noqa: E402

project = "velarix"
author = "the velarix developers"
copyright = "2026, the velarix developers"
release = velarix.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
    "sphinxarg.ext",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["guide/benchmark.md", "auto_examples/*.ipynb", "auto_examples/*.py",
                    "auto_examples/*.zip", "auto_examples/*.md5"]
templates_path = ["_templates"]
nitpicky = True
# Names the docstrings use as plain types, which have no page of their own.
nitpick_ignore_regex = [
    ("py:class", r"(array-like|array_like|ndarray|optional|callable|buffer|int|float|bool|str|"
                 r"tuple|list|dict|object|None|float64|sequence|iterable|default .*|.*\.\.\.)"),
    ("py:class", r"(numpy|np|array|collections|typing|dask)\..*"),
    ("py:obj", r"(numpy|np|array|dask)\..*"),
]

myst_heading_anchors = 4
myst_enable_extensions = ["colon_fence"]

autosummary_generate = True
autodoc_default_options = {"members": True, "undoc-members": True}
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_xref_param_type = False
numpydoc_validation_checks = set()

sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": FileNameSortKey,
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "abort_on_example_error": True,
}

html_theme = "pydata_sphinx_theme"
html_title = f"velarix {release}"
html_static_path = []
html_theme_options = {
    "navigation_depth": 2,
    "show_prev_next": True,
}
html_show_sourcelink = False
html_last_updated_fmt = None


# The API reference's index, written from the package: the methods' classes
# from their records, so that a new method has its pages with no edit here,
# and every other public name in the group it belongs to. A public name in no
# group stops the build.
GROUPS = [
    ("Interpolating arrays", "``velarix.interpolate`` fits, the interpolants evaluate.",
     ["interpolate", "Interpolant", "Antiderivative"]),
    ("Smoothing noisy data", "", ["smooth", "Smoother", "SmoothingSpline"]),
    ("Tables of two and more variables", "", ["interpolate_grid", "GridInterpolant", "GridSurface"]),
    ("Threads and the evaluation cache", "",
     ["set_workers", "get_workers", "set_cache_limit", "get_cache_limit", "cached_bytes"]),
]


def api_index():
    methods = [name for m in velarix._velarix.methods
               for name in (m["configuration"].__name__, m["spline"].__name__)]
    groups = GROUPS[:1] + [("Methods: configurations and their splines",
                            "One configuration class and one spline class a method, from "
                            "the method table; ``EndSlopes`` sets the ends of any of them.",
                            methods + ["EndSlopes"])] + GROUPS[1:]
    listed = {name for _, _, names in groups for name in names}
    if missing := sorted(set(velarix.__all__) - listed):
        raise RuntimeError(f"public names with no place in the API reference: {missing}")
    out = ["API reference", "=============", "",
           "Every public name of the package, generated from its docstring.", "",
           ".. currentmodule:: velarix", ""]
    for title, text, names in groups:
        out += [title, "-" * len(title), ""] + ([text, ""] if text else [])
        out += [".. autosummary::", "   :toctree: generated", ""]
        out += [f"   {name}" for name in names] + [""]
    out += ["Data sets", "---------", "", ".. automodule:: velarix.datasets",
            "   :members:", "   :exclude-members: CURVES", ""]
    return "\n".join(out)


_index = pathlib.Path(__file__).parent / "api" / "index.rst"
_text = api_index()
_index.parent.mkdir(exist_ok=True)
if not _index.exists() or _index.read_text() != _text:
    _index.write_text(_text)
