"""No NaN as success: a non-finite y value, floating-point setting (found
through each configuration's `with_*` builders) or clamped end slope is
refused at fit naming it and its value, or the fit is finite everywhere (an
infinite `max_degree`, "no cap", fits)."""

import inspect
import math
import re

import numpy as np
import pytest
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


# NaN in, NaN out: every evaluating method of every fitted spline (each
# configuration's, and the smoother's), found by its parameters, at every
# order and extrapolation mode, for scalars and batches.
def _nan_splines():
    from conftest import CONFIGURATIONS
    periodic = np.r_[Y[:-1], Y[0]]
    for name, config in CONFIGURATIONS.items():
        yield name, config.fit(X, Y)
        if "periodic" in REGISTRY[method_of(config)].end_conditions:
            yield name + "_periodic", config.with_boundary(EndSlopes.periodic()).fit(X, periodic)
    yield "smoother", velarix.Smoother().fit(X, Y)
    # Cubic pieces, whose third derivative does not read x.
    yield "tension_cubic", velarix.Tension().with_uniform_tension(0.0).fit(
        np.array([0, 1, 2.5, 3, 4.5]), np.array([0, 1, .5, 2, 1.]))
    yield "variable_degree_3", velarix.VariableDegree().with_max_degree(3.0).fit(X, Y)


def _nan_calls(spline):
    modes = [m for m in velarix.interpolant.EXTRAPOLATION_MODES if m != "raise"]
    nan = float("nan")
    for name in dir(type(spline)):
        member = getattr(spline, name)
        if name.startswith("_") or not callable(member):
            continue
        parameters = list(inspect.signature(member).parameters)
        options = [{}]
        if "nu" in parameters:
            options = [{"nu": nu, "extrapolate": m} for nu in range(-1, 4) for m in modes]
        for option in options:
            if parameters[:1] == ["x"]:
                yield name, option, member(nan, **option)
            elif parameters[:2] == ["a", "b"]:
                yield name, option, member(nan, 1.0)
                yield name, option, member(0.5, nan)
            elif parameters[:1] == ["xs"]:
                xs = np.array([nan, 0.5, nan])
                out = np.zeros(3)
                result = member(xs, out, **option) if "out" in parameters else member(xs, **option)
                result = out if result is None else result
                yield name, option, result[0]
                yield name, option, result[2]


@pytest.mark.parametrize("name, spline", list(_nan_splines()))
def test_nan_in_gives_nan_out_for_every_evaluation(name, spline):
    calls = list(_nan_calls(spline))
    assert len(calls) > 100
    assert [(n, o) for n, o, value in calls if value == value] == []


# Clamped end slopes whose rise over their end interval is far beyond the
# data's largest |y| are refused at fit, naming the slope and interval;
# slopes within reach fit, finite, through every knot.
def _clamped_cases():
    from conftest import scale
    lose = "its rise over that interval exceeds 2^26 times the largest |y|: the curve would lose the data's bits"
    tiny = np.array([1e-300, 2e-300, 3e-300])
    square = np.arange(10.0) ** 2
    yield velarix.Tension().with_strict_shape(), [0, 1, 2], tiny, (1, 1), scale("left", 1, 0, 1, lose)
    for method in REGISTRY.values():
        if "clamped" in method.end_conditions:
            yield (method.configuration(), np.arange(10.0), square, (1e308, 1e308),
                   scale("left", 1e308, 0, 1, lose))
    near = np.array([1.0, 3.1, 2.2, 6.0, 8.12]) * 1e-101
    yield velarix.VariableDegree(), np.arange(5.0), near, (0.5, -0.5), scale("left", 0.5, 0, 1, lose)
    yield (velarix.VariableDegree(), np.arange(5.0) / 4, np.array([0, .3, .2, .9, 1]), (9e15, 0),
           scale("left", 9e15, 0, 0.25, lose))


@pytest.mark.parametrize("config, x, y, slopes, message", list(_clamped_cases()), ids=str)
def test_clamped_slopes_out_of_scale_with_the_data_are_refused(config, x, y, slopes, message):
    x, y = np.asarray(x, float), np.asarray(y, float)
    with pytest.raises(ValueError) as info:
        config.with_boundary(EndSlopes.clamped(*slopes)).fit(x, y)
    assert str(info.value) == message
    within = [np.sign(s) * 2.0**25 * np.max(np.abs(y)) / w for s, w in zip(slopes, (x[1] - x[0], x[-1] - x[-2]))]
    try:
        spline = config.with_boundary(EndSlopes.clamped(*within)).fit(x, y)
    except ValueError as error:  # the method's own refusal of such slopes, not this one
        assert "out of scale" not in str(error)
        return
    assert np.isfinite(spline.value_batch(np.linspace(x[0], x[-1], 65))).all()
    assert np.max(np.abs(np.array(spline.value_batch(x)) - y)) <= 2.0**-18 * np.max(np.abs(y))
