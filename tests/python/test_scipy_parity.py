"""The NumPy layer beside scipy.interpolate, one test per row of README's table."""

import pickle

import numpy as np
import pytest
from scipy.interpolate import CubicSpline

import velarix

from conftest import X, Y

TENSION = velarix.Tension()
WAVE = np.sin(np.linspace(0.0, 6.0, 13))


@pytest.mark.parametrize("axis", [0, 1, 2, -1])
@pytest.mark.parametrize("points", [np.linspace(0.5, 2.5, 5), np.full((2, 3), 1.25), 1.5])
def test_axis_rule_is_scipys(axis, points):
    y = np.random.default_rng(2).random((6, 6, 6)) + np.arange(6.0)[:, None, None]
    f, ref = velarix.interpolate(X, y, TENSION, axis=axis), CubicSpline(X, y, axis=axis)
    assert f(points).shape == ref(points).shape == f(points, 3).shape
    assert f.integrate(0.0, points).shape == f.antiderivative()(points).shape == ref(points).shape
    flat = np.moveaxis(y, axis, 0).reshape(6, -1)  # the same curves, knots first
    expected = velarix.interpolate(X, flat, TENSION)(np.ravel(points)).reshape(
        np.shape(points) + np.moveaxis(y, axis, 0).shape[1:])
    got = np.moveaxis(f(points), range(axis % 3, axis % 3 + np.ndim(points)), range(np.ndim(points)))
    assert got.tobytes() == expected.tobytes()


@pytest.mark.parametrize("order", [1, 2, 3])
def test_derivative_objects_are_the_parents_orders(order):
    f = velarix.interpolate(X, WAVE[:6], TENSION)
    xs = np.linspace(-1.0, 4.0, 41)
    d = f.derivative(order)
    for g in (d, pickle.loads(pickle.dumps(d))):
        assert g(xs).tobytes() == f(xs, order).tobytes()
        assert g(xs, 3 - order).tobytes() == f(xs, 3).tobytes()
    assert np.allclose(d.integrate(0.5, 2.5), f(2.5, order - 1) - f(0.5, order - 1), rtol=0, atol=1e-14)
    back = d.antiderivative(order)  # 0 at the first knot, so f - f(x[0])
    assert np.allclose(back(xs), f(xs) - f(X[0]), rtol=0, atol=1e-12)
    assert np.allclose(d.roots(extrapolate=False), f.derivative(order).solve(0.0, extrapolate=False))
    for call, text in ((lambda: d.derivative(4 - order), "third derivative"),
                       (lambda: f.antiderivative(2), "first antiderivative"),
                       (lambda: f.antiderivative().integrate(0.0, 1.0), "first antiderivative")):
        with pytest.raises(ValueError, match=text):
            call()


@pytest.mark.parametrize("y, level, expected", [
    ([1.0, 0.0, 1.0, 2.0], 0.0, [1.0]),                    # a touch at a knot, once
    ([1.0, 0.0, 0.0, 0.0, 1.0], 0.0, [1.0, 3.0]),          # a run, by its ends
    ([2.0, 1.0, 1.0, 3.0, 3.0], 3.0, [-2 / 3, 3.0, 4.0]),  # a run at the last knot; the left end slope -3/2
    ([0.0, 1.0, 2.0, 3.0], -1.0, [-1.0]),                  # the linear continuation
])
def test_roots_touches_and_runs(y, level, expected):
    f = velarix.interpolate(np.arange(float(len(y))), y, "quintic")  # level where the data are
    assert np.allclose(f.solve(level), expected, rtol=0, atol=1e-12)
    assert np.array_equal(f.solve(level, extrapolate=False), [e for e in expected if e >= 0.0])


@pytest.mark.parametrize("method", sorted(velarix.interpolant.METHODS))
def test_every_crossing_of_a_wave(method):
    x = np.linspace(0.0, 6.0, 13)
    try:
        f = velarix.interpolate(x, WAVE, method)
    except ValueError:
        pytest.skip(f"{method} refuses a curvature change")
    grid = f(np.linspace(0.0, 6.0, 100_001)) - 0.3
    roots = f.solve(0.3, extrapolate=False)
    assert len(roots) == np.count_nonzero(np.diff(np.sign(grid)))
    assert np.allclose(f(roots), 0.3, rtol=0, atol=1e-14)


@pytest.mark.parametrize("extrapolate, mode", [(True, "extend"), (False, "nan"), (None, "linear"),
                                                ("constant", "constant")])
def test_extrapolate_per_call(extrapolate, mode):
    f = velarix.interpolate(X, Y, TENSION)
    own = velarix.interpolate(X, Y, TENSION, extrapolate=mode)
    xs = np.array([-1.5, 0.5, 4.0])
    for nu in range(4):
        assert f(xs, nu, extrapolate).tobytes() == own(xs, nu).tobytes()
    assert f.integrate(-1.0, xs, extrapolate).tobytes() == own.integrate(-1.0, xs).tobytes()
    s = f.splines[0]
    taylor = sum(getattr(s, m)(3.0) * 1.0 ** k / (1, 1, 2, 6)[k] for k, m in
                 enumerate(("value", "first_derivative", "second_derivative", "third_derivative")))
    assert np.isclose(f(4.0, extrapolate=True), taylor, rtol=1e-15)


@pytest.mark.parametrize("bc_type, slopes", [("clamped", (0.0, 0.0)), (((1, 2.0), (1, 0.5)), (2.0, 0.5))])
def test_bc_type_clamps_the_end_slopes(bc_type, slopes):
    clamped = velarix.interpolant.METHODS["tension"]().with_boundary(velarix.EndSlopes.clamped(*slopes))
    xs = np.linspace(0.0, 3.0, 31)
    assert velarix.interpolate(X, Y, bc_type=bc_type)(xs).tobytes() == velarix.interpolate(X, Y, clamped)(xs).tobytes()


@pytest.mark.parametrize("bc_type", ["not-a-knot", ((2, 0.0), (2, 0.0)), ((1, np.nan), (1, 0.0))])
def test_bc_type_refusals_say_what_the_method_takes(bc_type):
    with pytest.raises(ValueError) as info:
        velarix.interpolate(X, Y, bc_type=bc_type)
    assert str(info.value).startswith(f"bc_type {bc_type!r} is not supported by the method 'tension', "
                                      "which takes bc_type None, 'clamped'")


@pytest.mark.parametrize("workers", [1, 2, None])
def test_workers_fit_the_same_bits(workers):
    y = np.random.default_rng(3).random((6, 5)) + np.arange(6.0)[:, None]
    f, g = velarix.interpolate(X, y, workers=workers), velarix.interpolate(X, y, workers=1)
    assert f(np.linspace(0.0, 3.0, 17)).tobytes() == g(np.linspace(0.0, 3.0, 17)).tobytes()
