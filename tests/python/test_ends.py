"""Natural and periodic ends through the classes, for every method that lists
them among its end conditions: values, saved states and refusals."""

import pickle
import re

import numpy as np
import pytest

import velarix
from conftest import CONFIGURATIONS, method_of
from velarix import EndSlopes, Tension
from velarix._registry import RECORDS

# A closed profile on uneven knots (the last value repeats the first), and
# convex data, which every method accepts with natural ends.
X = np.array([0.0, 0.7, 1.1, 2.0, 2.9, 3.4, 4.5, 5.2, 2 * np.pi])
Y = np.r_[np.sin(X[:-1]) + 0.25 * np.cos(2 * X[:-1]), 0.25]
CONVEX = np.exp(X / 2)
CASES = [(name, end) for name, method in RECORDS.items()
         for end in ("natural", "periodic") if end in method.end_conditions]


@pytest.mark.parametrize("end, tag", [("estimated", 0), ("limited", 2), ("natural", 3), ("periodic", 4)])
def test_values_print_compare_and_keep_their_tags(end, tag):
    slopes = getattr(EndSlopes, end)()
    assert repr(slopes) == end.capitalize() and slopes.__reduce__()[1][1][2] == tag
    assert [slopes == EndSlopes.natural(), slopes == EndSlopes.periodic()] == [
        end == "natural", end == "periodic"]
    assert pickle.loads(pickle.dumps(slopes)) == slopes


@pytest.mark.parametrize("name, end", CASES)
def test_fits_round_trip_bit_for_bit_and_periodic_ones_close_up(name, end):
    y = Y if end == "periodic" else CONVEX
    config = RECORDS[name].configuration().with_boundary(getattr(EndSlopes, end)())
    assert f"boundary: {end.capitalize()}" in repr(config)
    assert pickle.loads(pickle.dumps(config)) == config
    spline = config.fit(X, y)
    copy = pickle.loads(pickle.dumps(spline))
    grid = np.linspace(X[0], X[-1], 257)
    for d in ("value", "first_derivative", "second_derivative"):
        assert getattr(copy, d + "_batch")(grid).tobytes() == getattr(spline, d + "_batch")(grid).tobytes()
        scale = np.max(np.abs(getattr(spline, d + "_batch")(X)))
        gap = abs(getattr(spline, d)(X[0]) - getattr(spline, d)(X[-1]))
        assert end == "natural" or gap <= 1e-12 * scale
    assert getattr(copy, "is_shape_preserving", None) == getattr(spline, "is_shape_preserving", None)


# Every method that takes end conditions at all.
@pytest.mark.parametrize("name", [n for n, m in RECORDS.items() if m.end_conditions])
def test_periodic_ends_refuse_open_data_or_the_method(name):
    y = np.r_[CONVEX[:-1], 0.5]
    message = (re.escape("periodic end conditions need equal first and last values; "
                         f"y[0] = 1 and y[{len(y) - 1}] = 0.5 differ")
               if "periodic" in RECORDS[name].end_conditions else r"the .* cannot have periodic ends: ")
    with pytest.raises(ValueError, match=f"^{message}"):
        RECORDS[name].configuration().with_boundary(EndSlopes.periodic()).fit(X, y)


# Rounded samples of a line (10^5 rows, in several units and offsets) are
# straight to their rounding, also where the ends are free.
@pytest.mark.parametrize("offset, slope, unit", [(-1, 0.01, 1), (1e6, 3.7, 1), (0.3, 1e5, 1e150)])
@pytest.mark.parametrize("name", [n for n, m in RECORDS.items() if "natural" in m.end_conditions])
def test_rounded_lines_fit_straight_with_natural_ends(name, offset, slope, unit):
    x = np.linspace(0, 100, 10**5) * unit
    line = lambda t: offset + slope * (t / unit)
    spline = RECORDS[name].configuration().with_boundary(EndSlopes.natural()).fit(x, line(x))
    t = np.linspace(x[0], x[-1], 1001)
    assert np.max(np.abs(spline.value_batch(t) - line(t))) <= 1e-14 * np.max(np.abs(line(x)))


# A periodic interpolant continues by its period, exactly, however far away;
# its integral over whole periods is that many times one period's.
@pytest.mark.parametrize("name", [n for n, m in RECORDS.items() if "periodic" in m.end_conditions])
def test_periodic_interpolants_repeat_their_period(name):
    x = np.linspace(0.0, 2.0 * np.pi, 17)
    f = velarix.interpolate(x, np.round(np.sin(x), 15), name, bc_type="periodic")
    assert f.extrapolate == "periodic"
    t = np.linspace(0.0, 2.0 * np.pi, 7)
    period = x[-1] - x[0]
    # t + k P is itself rounded: the curve agrees to that rounding.
    assert np.allclose(f(t + 3 * period), f(t), rtol=0, atol=1e-14)
    assert np.allclose(f(t - period, 2), f(t, 2), rtol=0, atol=1e-13)
    assert np.isclose(f.integrate(x[0], x[0] + 5 * period), 5 * f.integrate(x[0], x[-1]),
                      rtol=0, atol=1e-13)


# The classes themselves repeat a periodic fit outside its knots: values,
# every derivative, batches, antiderivatives and integrals (whole periods
# summed exactly), the same after a pickle; the Interpolant's periodic mode
# agrees bit for bit.
PERIODIC = [(n, c.with_boundary(EndSlopes.periodic())) for n, c in CONFIGURATIONS.items()
            if "periodic" in RECORDS[method_of(c)].end_conditions]
PERIODIC += [("tension_strict", Tension().with_strict_shape().with_boundary(EndSlopes.periodic()))]


@pytest.mark.parametrize("name, config", PERIODIC)
def test_periodic_splines_repeat_at_class_level(name, config):
    s = config.fit(np.array([0, .5, 1.25, 2, 3]), np.array([0, 1, -.75, .5, 0]))
    assert s.value(3.5) == s.value(0.5) and s.integral(0, 6) == 2 * s.integral(0, 3)
    inside = np.arange(1, 48) / 16  # t + 3 k exact, and never the knot 3 itself
    copy = pickle.loads(pickle.dumps(s))
    for k in (-7, -1, 1, 4):
        outside = inside + 3 * k
        for d in ("value", "first_derivative", "second_derivative", "third_derivative"):
            expected = getattr(s, d + "_batch")(inside).tolist()
            assert [getattr(s, d)(t) for t in outside] == expected
            assert getattr(copy, d + "_batch")(outside).tolist() == expected
        whole = s.antiderivative(3.0)
        for t, u in zip(inside, outside):
            assert s.antiderivative(u) == k * whole + s.antiderivative(t)
            assert s.integral(t, u) == pytest.approx(k * whole, abs=1e-14)
        assert s.antiderivative_batch(outside).tolist() == [s.antiderivative(u) for u in outside]
        assert s.antiderivative_batch(outside).tolist() == [s.evaluate(u, -1, "periodic") for u in outside]
    assert s.integral(1, 1 + 3 * 5) == 5 * s.integral(0, 3) and s.integral(7, 7) == 0
    assert np.isnan([s.value(np.inf), s.antiderivative(-np.inf), s.third_derivative(np.nan)]).all()
