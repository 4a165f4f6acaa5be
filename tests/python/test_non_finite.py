"""No NaN reported as success: a non-finite value in y, a non-finite
floating-point setting of any configuration (found through its `with_*`
builders) or a non-finite clamped end slope is refused at fit with the
setting's name and value, or the fit evaluates to finite numbers everywhere
(an infinite `max_degree`, "no cap", is the one such setting that fits)."""

import inspect
import math
import re

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velarix
from velarix import EndSlopes

from conftest import METHODS, X, Y

NON_FINITE = st.sampled_from([math.nan, math.inf, -math.inf])
GRID = np.linspace(X[0] - 0.5, X[-1] + 0.5, 41)
SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))


def _text(value):
    return "NaN" if math.isnan(value) else ("inf" if value > 0 else "-inf")


def _float_settings(cls):
    """(builder, its parameter names, their defaults) for every builder of cls that takes floats."""
    found = []
    for name in dir(cls):
        if not name.startswith("with_"):
            continue
        params = list(inspect.signature(getattr(cls, name)).parameters)[1:]
        current = getattr(cls(), name.removeprefix("with_"), None)
        defaults = (list(current) if isinstance(current, tuple)
                    else [current if isinstance(current, float) else 1.0] * len(params))
        try:
            getattr(cls(), name)(*defaults)
        except (TypeError, ValueError):
            continue  # counts, strings and objects
        if params:
            found.append((name, params, defaults))
    return found


# Every (configuration class, builder, parameter) of the module's methods,
# and the clamped end slopes of each.
SETTINGS_UNDER_TEST = [
    (cls, name, params, defaults, i)
    for cls in METHODS.values()
    for name, params, defaults in
    _float_settings(cls) + [("with_boundary", ["left", "right"], [0.5, 2.0])]
    for i in range(len(params))
]


def _configure(cls, name, params, defaults, i, value):
    args = list(defaults)
    args[i] = value
    if params == ["left", "right"]:
        return cls().with_boundary(EndSlopes.clamped(*args))
    return getattr(cls(), name)(*args)


def _finite_everywhere(spline):
    batches = [spline.value_batch, spline.first_derivative_batch, spline.second_derivative_batch,
               spline.antiderivative_batch]
    return all(np.isfinite(np.asarray(batch(GRID))).all() for batch in batches)


def test_every_method_has_float_settings_under_test():
    assert {cls for cls, *_ in SETTINGS_UNDER_TEST} == set(METHODS.values())
    assert len(SETTINGS_UNDER_TEST) > 2 * len(METHODS)


@SETTINGS
@given(case=st.sampled_from(SETTINGS_UNDER_TEST), value=NON_FINITE,
       through_interpolate=st.booleans())
def test_a_non_finite_setting_is_refused_or_fits_finite(case, value, through_interpolate):
    cls, name, params, defaults, i = case
    config = _configure(cls, name, params, defaults, i, value)
    try:
        if through_interpolate:
            velarix.interpolate(X, Y, method=config)
        spline = config.fit(X, Y)
    except ValueError as error:
        match = re.fullmatch(r"shape parameter `(\w+)` must be .+, got (\S+)", str(error))
        assert match is not None, str(error)
        assert match.groups() == (params[i], _text(value))
    else:
        assert _finite_everywhere(spline), (cls.__name__, params[i], value)


@SETTINGS
@given(method=st.sampled_from(sorted(METHODS)), index=st.integers(0, X.size - 1),
       value=NON_FINITE)
def test_a_non_finite_value_is_refused_naming_its_index(method, index, value):
    y = Y.copy()
    y[index] = value
    try:
        METHODS[method]().fit(X, y)
    except ValueError as error:
        assert str(error) == f"y[{index}] must be finite, got {_text(value)}"
    else:
        raise AssertionError(f"{method} fitted y[{index}] = {value}")
