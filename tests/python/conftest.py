"""What the shared suites run over: every method the extension registers (its
record in `velarix._registry.RECORDS`), data every method accepts, and what
the shared suites learn from the classes themselves (their builders and the
kind of each builder's parameters).

A method's own test module, test_<name>.py, may add to the shared suites:
`VARIANTS`, configurations of the method that every shared suite fits beside
its defaults (named `<name>_<key>`), and `REFERENCE`, the high-precision
form of its piece that the integrals are checked against.
"""

import dataclasses
import importlib
import struct
import zlib
from decimal import Decimal

import numpy as np
import pytest

from velarix import EndSlopes
from velarix._registry import RECORDS as REGISTRY

# Convex data that every method accepts, on uneven knots.
X = np.array([0.0, 0.4, 1.1, 1.5, 2.6, 3.0])
Y = np.exp(X)

# Every method's configuration class, from the extension's method records.
METHODS = {name: method.configuration for name, method in REGISTRY.items()}


def accepts(config, x, y):
    """Whether the configuration fits these data (a method may refuse data
    outside its promise, such as data that change curvature)."""
    try:
        config.fit(np.asarray(x, float), np.asarray(y, float))
    except ValueError:
        return False
    return True


def method_of(obj):
    """The name of the method whose configuration or spline `obj` is."""
    return next(name for name, m in REGISTRY.items() if type(obj) in (m.configuration, m.spline))


def seal(fields):
    """A state of these fields with its checksum (CRC-32, little-endian): a
    tampered state sealed again reaches the checks behind the checksum."""
    return fields + struct.pack("<I", zlib.crc32(fields))


def text(value):
    """A number as messages write it: its shortest digits, positional from 1e-4 to
    1e16, otherwise with an exponent (no "+", no leading zeros) where that is shorter."""
    plain = format(Decimal(repr(value)), "f").removesuffix(".0")
    if value == 0 or 1e-4 <= abs(value) < 1e16:
        return plain
    digits, exponent = repr(value).split("e")  # repr has an exponent out there
    return min(plain, f"{digits}e{int(exponent)}", key=len)


def scale(name, value, interval, width, effect="the solve would have no usable pivot"):
    """The refusal of a shape parameter out of scale with an interval."""
    value, width = (text(v) for v in (value, width))
    return (f"shape parameter `{name}` = {value} is out of scale with interval {interval} of width "
            f"{width}: {effect}")


# Builders
# --------
# The kind of a parameter, from the value its property returns: a float, a
# count (an unsigned 64-bit integer), a bool, an end condition, or one of the
# names the method's record lists for the option of that builder.

@dataclasses.dataclass(frozen=True)
class Builder:
    """A `with_*` builder of a configuration class."""

    cls: type
    name: str
    parameters: tuple  # names, from the builder's text signature
    kinds: tuple  # "float", "count", "bool", "boundary" or "choice", one per parameter
    choices: tuple  # the values its option in the method's record offers, if it has one

    def __call__(self, config, *arguments):
        return getattr(config, self.name)(*arguments)


def _kind(value):
    if isinstance(value, EndSlopes):
        return "boundary"
    if isinstance(value, str):
        return "choice"
    if isinstance(value, bool):
        return "bool"
    if isinstance(value, float):
        return "float"
    if isinstance(value, int):
        return "count"
    raise TypeError(f"no kind of parameter for a value of {type(value).__name__}")


def _builder(cls, name):
    # "($self, u, v)": the parameters after the receiver.
    parameters = tuple(p.strip() for p in getattr(cls, name).__text_signature__[1:-1].split(","))[1:]
    option = next((o for m in REGISTRY.values() if m.configuration is cls for o in m.options
                   if o.builder == name), None)
    value = getattr(cls(), name.removeprefix("with_"), None)
    if value is None and option is not None:
        # A setting unset by default, or one without a property: its option
        # says what it takes (names, or else a number).
        kinds = ("choice" if option.choices else "float",) * len(parameters)
    elif value is None:
        kinds = ()
    else:
        kinds = tuple(map(_kind, value if isinstance(value, tuple) else (value,)))
    assert len(kinds) == len(parameters), f"{cls.__name__}.{name}: no kind for {parameters}"
    choices = tuple(map(option.parse, option.choices)) if option is not None else ()
    if "choice" in kinds and not choices:
        raise AssertionError(f"{cls.__name__}.{name} takes a name but no record lists them")
    return Builder(cls, name, parameters, kinds, choices)


def builders(cls):
    """Every builder of a configuration class, in name order."""
    return [_builder(cls, name) for name in sorted(dir(cls)) if name.startswith("with_")]


def sample(builder):
    """Arguments the builder takes that differ from the defaults: one of its
    choices that changes the setting where it has choices, else distinct
    floats, a count, the other bool, clamped end slopes."""
    default = builder.cls()
    changes = [c for c in builder.choices if builder(default, c) != default]
    if changes and len(builder.kinds) == 1:
        return changes[:1]

    def other(kind, i):
        if kind == "float":
            return 0.375 + i
        if kind == "bool":  # the one that is not the default
            return builder(default, True) == default
        return {"count": 77, "boundary": EndSlopes.clamped(0.5, 4.0)}[kind]

    return [other(kind, i) for i, kind in enumerate(builder.kinds)]


# The methods' own tests
# ----------------------

def own_tests(name):
    """The method's own test module (None if it has none)."""
    try:
        return importlib.import_module(f"test_{name}")
    except ModuleNotFoundError as error:
        if error.name != f"test_{name}":
            raise
        return None


def reference(name):
    """The high-precision piece of a method: (x0, h, S(t)) from its piece's fields."""
    found = getattr(own_tests(name), "REFERENCE", None)
    assert found is not None, f"tests/python/test_{name}.py defines no REFERENCE for its piece"
    return found


# Defined last: the methods' own test modules may import everything above.
def _configurations():
    configurations = {name: cls() for name, cls in METHODS.items()}
    for name in REGISTRY:
        for key, config in getattr(own_tests(name), "VARIANTS", {}).items():
            configurations[f"{name}_{key}"] = config
    return dict(sorted(configurations.items()))


# Every method's defaults and the variants its own tests add, by name.
CONFIGURATIONS = _configurations()
FITTERS = {name: config.fit for name, config in CONFIGURATIONS.items()}


@pytest.fixture(params=sorted(FITTERS))
def fitter(request):
    return FITTERS[request.param]


@pytest.fixture
def spline(fitter):
    return fitter(X, Y)


@pytest.fixture(params=list(REGISTRY))
def method(request):
    """Each registered method, by the name velarix.interpolate takes."""
    return request.param
