"""The NumPy layer beside scipy.interpolate, one test per row of the guide's
habits table (docs/guide/scipy.md), with every registered method."""

import inspect
import math
import pickle
import re

import numpy as np
import pytest
from scipy.interpolate import CubicSpline

import velarix

from conftest import REGISTRY, X, Y, accepts

WAVE = np.sin(np.linspace(0.0, 6.0, 13))
DEFAULT_METHOD = inspect.signature(velarix.interpolate).parameters["method"].default


@pytest.mark.parametrize("axis", [0, 1, 2, -1])
@pytest.mark.parametrize("points", [np.linspace(0.5, 2.5, 5), np.full((2, 3), 1.25), 1.5])
def test_axis_rule_is_scipys(axis, points, method):
    # Convex curves, which every method takes: positive multiples of Y plus lines.
    rng = np.random.default_rng(2)
    y = Y[:, None, None] * (1 + rng.random((1, 6, 6))) + X[:, None, None] * rng.random((1, 6, 6))
    y = np.moveaxis(y, 0, axis)
    f, ref = velarix.interpolate(X, y, method, axis=axis), CubicSpline(X, y, axis=axis)
    assert f(points).shape == ref(points).shape == f(points, 3).shape
    assert f.integrate(0.0, points).shape == f.antiderivative()(points).shape == ref(points).shape
    flat = np.moveaxis(y, axis, 0).reshape(6, -1)  # the same curves, knots first
    expected = velarix.interpolate(X, flat, method)(np.ravel(points)).reshape(
        np.shape(points) + np.moveaxis(y, axis, 0).shape[1:])
    got = np.moveaxis(f(points), range(axis % 3, axis % 3 + np.ndim(points)), range(np.ndim(points)))
    assert got.tobytes() == expected.tobytes()


@pytest.mark.parametrize("order", [1, 2, 3])
def test_derivative_objects_are_the_parents_orders(order, method):
    wave = WAVE[:6] if accepts(REGISTRY[method].interpolation_configuration, X, WAVE[:6]) else Y
    f = velarix.interpolate(X, wave, method)
    xs = np.linspace(-1.0, 4.0, 41)
    d = f.derivative(order)
    for g in (d, pickle.loads(pickle.dumps(d))):
        assert g(xs).tobytes() == f(xs, order).tobytes()
        assert g(xs, 3 - order).tobytes() == f(xs, 3).tobytes()
    assert np.allclose(d.integrate(0.5, 2.5), f(2.5, order - 1) - f(0.5, order - 1), rtol=0, atol=1e-14)
    back = d.antiderivative(order)  # 0 at the first knot with its derivatives below `order`
    taylor = sum(f(X[0], j) * (xs - X[0]) ** j / math.factorial(j) for j in range(order))
    assert np.allclose(back(xs), f(xs) - taylor, rtol=0, atol=1e-12)
    assert np.allclose(back(xs, order), d(xs), rtol=0, atol=1e-12)
    assert np.allclose(d.roots(extrapolate=False), f.derivative(order).solve(0.0, extrapolate=False))
    for call, text in ((lambda: d.derivative(4 - order), "third derivative"),
                       (lambda: f.antiderivative(5), "fourth antiderivative"),
                       (lambda: f.antiderivative(4).integrate(0.0, 1.0), "fourth antiderivative")):
        with pytest.raises(ValueError, match=text):
            call()


# Every method that takes the wave's curvature changes.
@pytest.mark.parametrize("method", [name for name, m in REGISTRY.items() if accepts(
    m.interpolation_configuration, np.linspace(0.0, 6.0, 13), WAVE)])
def test_every_crossing_of_a_wave(method):
    x = np.linspace(0.0, 6.0, 13)
    f = velarix.interpolate(x, WAVE, method)
    grid = f(np.linspace(0.0, 6.0, 100_001)) - 0.3
    roots = f.solve(0.3, extrapolate=False)
    assert len(roots) == np.count_nonzero(np.diff(np.sign(grid)))
    assert np.allclose(f(roots), 0.3, rtol=0, atol=1e-14)


@pytest.mark.parametrize("extrapolate, mode", [(True, "extend"), (False, "nan"), (None, "linear"),
                                                ("constant", "constant")])
def test_extrapolate_per_call(extrapolate, mode, method):
    f = velarix.interpolate(X, Y, method)
    own = velarix.interpolate(X, Y, method, extrapolate=mode)
    xs = np.array([-1.5, 0.5, 4.0])
    for nu in range(4):
        assert f(xs, nu, extrapolate).tobytes() == own(xs, nu).tobytes()
    try:
        expected = own.integrate(-1.0, xs)
    except ValueError as refusal:  # the continued end piece passes a pole before -1
        with pytest.raises(ValueError, match=re.escape(str(refusal))):
            f.integrate(-1.0, xs, extrapolate)
    else:
        assert f.integrate(-1.0, xs, extrapolate).tobytes() == expected.tobytes()
    # True continues the end piece's own formula, as the core's "extend".
    assert f(4.0, extrapolate=True) == f.splines[0].evaluate(4.0, 0, "extend")


# The default method (no method given), and every method that lists clamped ends.
CLAMPING = [None] + [name for name, m in REGISTRY.items() if "clamped" in m.end_conditions]


@pytest.mark.parametrize("bc_type, slopes", [("clamped", (0.0, 0.0)), (((1, 2.0), (1, 0.5)), (2.0, 0.5))])
@pytest.mark.parametrize("name", CLAMPING)
def test_bc_type_clamps_the_end_slopes(bc_type, slopes, name):
    method = {} if name is None else {"method": name}
    config = REGISTRY[name or DEFAULT_METHOD].interpolation_configuration
    clamped = config.with_boundary(velarix.EndSlopes.clamped(*slopes))
    xs = np.linspace(0.0, 3.0, 31)
    assert (velarix.interpolate(X, Y, bc_type=bc_type, **method)(xs).tobytes()
            == velarix.interpolate(X, Y, clamped)(xs).tobytes())


@pytest.mark.parametrize("bc_type", ["not-a-knot", ((2, 0.0), (2, 0.0)), ((1, np.nan), (1, 0.0))])
def test_bc_type_refusals_say_what_the_method_takes(bc_type, method):
    with pytest.raises(ValueError) as info:
        velarix.interpolate(X, Y, method, bc_type=bc_type)
    first = ", 'clamped'" if "clamped" in REGISTRY[method].end_conditions else ""
    assert str(info.value).startswith(f"bc_type {bc_type!r} is not supported by the method "
                                      f"'{method}', which takes bc_type None{first}")


@pytest.mark.parametrize("workers", [1, 2, None])
def test_workers_fit_the_same_bits(workers):
    y = np.random.default_rng(3).random((6, 5)) + np.arange(6.0)[:, None]
    f, g = velarix.interpolate(X, y, workers=workers), velarix.interpolate(X, y, workers=1)
    assert f(np.linspace(0.0, 3.0, 17)).tobytes() == g(np.linspace(0.0, 3.0, 17)).tobytes()
