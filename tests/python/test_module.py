import ast
import math
import pathlib

import pytest

import velarix
from velarix import EndSlopes, _velarix
from velarix._registry import RECORDS

# The shared classes, then each method's configuration and spline, then the
# smoother's (which does not interpolate, so is no method), then the grid's.
CLASS_NAMES = ["EndSlopes"] + [
    cls.__name__ for m in RECORDS.values() for cls in (m.configuration, m.spline)
] + ["Smoother", "SmoothingSpline", "GridSurface"]
STUBS = pathlib.Path(velarix.__file__).with_name("_velarix.pyi")


def _stub_alias(name):
    """The names an alias of the extension's stubs lists (Literal strings or union members)."""
    def names(node):
        if isinstance(node, ast.BinOp):
            return names(node.left) + names(node.right)
        if isinstance(node, ast.Subscript):
            return names(node.slice)
        if isinstance(node, ast.Tuple):
            return [n for element in node.elts for n in names(element)]
        return [node.value if isinstance(node, ast.Constant) else node.id]

    tree = ast.parse(STUBS.read_text())
    (value,) = [n.value for n in tree.body if isinstance(n, ast.AnnAssign) and n.target.id == name]
    return names(value)


def test_stub_aliases_list_the_registered_methods():
    assert _stub_alias("_MethodName") == list(RECORDS)
    assert _stub_alias("_Configuration") == [m.configuration.__name__ for m in RECORDS.values()]
    assert _stub_alias("_FittedSpline") == [m.spline.__name__ for m in RECORDS.values()]


@pytest.mark.parametrize("method", RECORDS.values(), ids=list(RECORDS))
def test_method_records_are_usable_and_read_only(method):
    record = next(r for r in _velarix.methods if r["name"] == method.name)
    with pytest.raises(TypeError):
        record["name"] = "other"
    assert isinstance(method.interpolation_configuration, method.configuration)
    assert all(callable(getattr(EndSlopes, end)) for end in method.end_conditions)
    config = method.configuration()
    for option in method.options:
        value = option.parse(option.choices[-1]) if option.choices else 3.0
        assert isinstance(option.apply(config, value), method.configuration)


def test_module_registers_its_classes_in_order():
    assert _velarix.__all__ == [n for n in CLASS_NAMES if hasattr(_velarix, n)]
    assert _velarix.__doc__ == ""
    # The package adds the NumPy layer after the module's classes.
    assert velarix.__all__ == _velarix.__all__ + [
        "Antiderivative", "Interpolant", "interpolate", "smooth", "set_workers", "get_workers",
        "set_cache_limit", "get_cache_limit", "cached_bytes", "GridInterpolant",
        "interpolate_grid"]


@pytest.mark.parametrize("name", [n for n in CLASS_NAMES if hasattr(_velarix, n)])
def test_classes_report_the_package_and_are_closed(name):
    cls = getattr(_velarix, name)
    assert cls.__module__ == "velarix"
    assert cls.__name__ == cls.__qualname__ == name
    assert getattr(velarix, name) is cls
    with pytest.raises(TypeError):

        class Sub(cls):  # noqa: F841 - subclassing must be refused
            pass

    with pytest.raises(TypeError):
        cls.extra = 1


def test_end_slopes_constructors_and_repr():
    assert repr(EndSlopes.estimated()) == "Estimated"
    assert repr(EndSlopes.clamped(1, -2)) == "Clamped { left: 1.0, right: -2.0 }"
    assert repr(EndSlopes.clamped(-0.0, 1e-10)) == "Clamped { left: -0.0, right: 1e-10 }"
    assert repr(EndSlopes.clamped(math.inf, math.nan)) == "Clamped { left: inf, right: NaN }"
    assert EndSlopes.clamped(right=3, left=1) == EndSlopes.clamped(1, 3)


def test_end_slopes_cannot_be_instantiated_or_hashed():
    with pytest.raises(TypeError):
        EndSlopes()
    with pytest.raises(TypeError):
        hash(EndSlopes.estimated())
    assert EndSlopes.__hash__ is None
    with pytest.raises(AttributeError):
        EndSlopes.estimated().left = 1


@pytest.mark.parametrize(
    "a, b, equal",
    [
        (EndSlopes.estimated(), EndSlopes.estimated(), True),
        (EndSlopes.clamped(1, -2), EndSlopes.clamped(1.0, -2.0), True),
        (EndSlopes.clamped(0.0, 1), EndSlopes.clamped(-0.0, 1), True),
        (EndSlopes.clamped(1, 2), EndSlopes.clamped(1, 3), False),
        (EndSlopes.clamped(1, 2), EndSlopes.estimated(), False),
        (EndSlopes.clamped(math.nan, 1), EndSlopes.clamped(math.nan, 1), False),
    ],
)
def test_end_slopes_compare_by_value(a, b, equal):
    assert (a == b) is equal
    assert (a != b) is (not equal)


def test_end_slopes_comparison_protocol():
    nan = EndSlopes.clamped(math.nan, 1)
    assert nan != nan
    assert (EndSlopes.estimated() == 1) is False
    assert EndSlopes.estimated() != "Estimated"
    with pytest.raises(TypeError):
        EndSlopes.estimated() < EndSlopes.estimated()


def test_end_slopes_docstrings_and_signatures():
    assert EndSlopes.__doc__ == (
        "How the end slopes `S'(x₀)` and `S'(xₙ)` are set: `EndSlopes.estimated()`\n"
        "(the default), `EndSlopes.limited()` or `EndSlopes.clamped(left, right)`;\n"
        "or the conditions that replace them: `EndSlopes.natural()` (`S″ = 0` at\n"
        "both ends) and `EndSlopes.periodic()` (a spline that continues across the\n"
        "period `xₙ − x₀`)."
    )
    assert EndSlopes.estimated.__text_signature__ == "()"
    assert EndSlopes.estimated.__doc__ == (
        "Let the fitting method estimate the end slopes from the data."
    )
    assert EndSlopes.clamped.__text_signature__ == "(left, right)"
    assert EndSlopes.clamped.__doc__ == "Use the given slopes at the two ends."


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 3


def test_float_parameters_accept_numbers_and_conversions():
    assert EndSlopes.clamped(Floaty(), Indexy()) == EndSlopes.clamped(2.5, 3.0)
    assert EndSlopes.clamped(True, 10**400 // 10**399) == EndSlopes.clamped(1, 10)


@pytest.mark.parametrize(
    "args, kwargs, fragment",
    [
        ((1,), {}, "EndSlopes.clamped() missing 1 required positional argument: 'right'"),
        ((), {}, "EndSlopes.clamped() missing 2 required positional arguments: 'left' and 'right'"),
        ((1, 2, 3), {}, "EndSlopes.clamped() takes 2 positional arguments but 3 were given"),
        ((1,), {"left": 2}, "EndSlopes.clamped() got multiple values for argument 'left'"),
        ((1, 2), {"z": 2}, "EndSlopes.clamped() got an unexpected keyword argument 'z'"),
    ],
)
def test_wrong_argument_lists_name_the_callable(args, kwargs, fragment):
    with pytest.raises(TypeError) as info:
        EndSlopes.clamped(*args, **kwargs)
    assert fragment in str(info.value)


def test_static_method_without_parameters_refuses_arguments():
    with pytest.raises(TypeError, match=r"EndSlopes\.estimated\(\)"):
        EndSlopes.estimated(1)


@pytest.mark.parametrize("bad, parameter", [("a", "left"), (None, "left"), ([1], "left")])
def test_conversion_failures_carry_a_note(bad, parameter):
    with pytest.raises(TypeError) as info:
        EndSlopes.clamped(bad, 1)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]


def test_conversion_errors_pass_through_unchanged():
    class Broken:
        def __float__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="boom") as info:
        EndSlopes.clamped(1, Broken())
    assert info.value.__notes__ == ["while processing 'right'"]
