"""No NaN as success: a non-finite y value, floating-point setting (found
through each configuration's `with_*` builders) or clamped end slope is
refused at fit naming it and its value, or the fit is finite everywhere (an
infinite `max_degree`, "no cap", fits)."""

import math
import re

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velarix
from velarix import EndSlopes

from conftest import METHODS, REGISTRY, X, Y, builders, method_of

NON_FINITE = st.sampled_from([math.nan, math.inf, -math.inf])
SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))
TEXT = {"nan": "NaN", "inf": "inf", "-inf": "-inf"}


def _float_builders(cls):
    """(builder, parameter names, defaults) of the builders of cls that take
    floats, and the clamped end slopes where the method's record lists them."""
    for builder in builders(cls):
        if builder.kinds and set(builder.kinds) == {"float"}:
            current = getattr(cls(), builder.name.removeprefix("with_"), None)
            defaults = list(current) if isinstance(current, tuple) else [
                current if isinstance(current, float) else 1.0] * len(builder.parameters)
            yield builder.name, list(builder.parameters), defaults
    if "clamped" in REGISTRY[method_of(cls())].end_conditions:
        yield None, ["left", "right"], [1, 2]


CASES = [(cls, name, params, defaults, i) for cls in METHODS.values()
         for name, params, defaults in _float_builders(cls) for i in range(len(params))]


def test_every_float_setting_is_under_test():
    # A builder takes 1.5 for every parameter exactly when the kinds its
    # properties give are all float: none is missed.
    for cls in METHODS.values():
        for builder in builders(cls):
            try:
                builder(cls(), *[1.5] * len(builder.parameters))
                takes_floats = bool(builder.parameters)
            except TypeError:
                takes_floats = False
            assert takes_floats == (set(builder.kinds) == {"float"}), builder
    assert CASES


@SETTINGS
@given(case=st.sampled_from(CASES), value=NON_FINITE, through_interpolate=st.booleans())
def test_a_non_finite_setting_is_refused_or_fits_finite(case, value, through_interpolate):
    cls, name, params, defaults, i = case
    args = [value if j == i else d for j, d in enumerate(defaults)]
    config = getattr(cls(), name)(*args) if name else cls().with_boundary(EndSlopes.clamped(*args))
    try:
        if through_interpolate:
            velarix.interpolate(X, Y, method=config)
        spline = config.fit(X, Y)
    except ValueError as error:
        found = re.fullmatch(r"shape parameter `(\w+)` must be .+, got (\S+)", str(error))
        assert found and found.groups() == (params[i], TEXT[repr(value)]), str(error)
    else:
        grid = np.linspace(X[0] - 0.5, X[-1] + 0.5, 41)
        for batch in ("value", "first_derivative", "second_derivative", "antiderivative"):
            assert np.isfinite(getattr(spline, batch + "_batch")(grid)).all(), (params[i], value)


@SETTINGS
@given(method=st.sampled_from(sorted(METHODS)), index=st.integers(0, X.size - 1), value=NON_FINITE)
def test_a_non_finite_value_is_refused_naming_its_index(method, index, value):
    y = Y.copy()
    y[index] = value
    try:
        METHODS[method]().fit(X, y)
    except ValueError as error:
        assert str(error) == f"y[{index}] must be finite, got {TEXT[repr(value)]}"
    else:
        raise AssertionError(f"{method} fitted y[{index}] = {value}")
