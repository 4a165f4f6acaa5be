"""velarix.interpolate_grid: accuracy against the tensor cubic, the peers' modes, the
shapes of every call, the agreement of its evaluation paths, extrapolation, saved
states and refusals."""

import pickle

import numpy as np
import pytest
from scipy.interpolate import RegularGridInterpolator
from scipy.special import ndtr

import velarix

SMOOTH = {
    "exp": lambda x, y: np.exp(x + y),
    "normal cdfs": lambda x, y: ndtr(3 * (x - 0.4)) * ndtr(3 * (y - 0.6)),
    "tanh and cube": lambda x, y: np.tanh(3 * x) + y ** 3,
}


def table(f, n):
    x, y = np.linspace(0, 1, n), np.linspace(0, 1, n)
    return (x, y), f(*np.meshgrid(x, y, indexing="ij"))


@pytest.mark.parametrize("name", SMOOTH)
def test_order_four_and_the_tensor_cubics_error_on_smooth_monotone_data(name):
    f = SMOOTH[name]
    at = np.random.default_rng(1).random((20000, 2))
    errors = {}
    for method in ("shape", "cubic"):
        errors[method] = [np.max(np.abs(velarix.interpolate_grid(*table(f, n), method=method)(at)
                                        - f(at[:, 0], at[:, 1]))) for n in (9, 17, 33, 65)]
    shape, cubic = np.array(errors["shape"]), np.array(errors["cubic"])
    assert np.log2(shape[-2] / shape[-1]) >= 3.8
    assert np.all(shape <= 1.1 * cubic)


@pytest.mark.parametrize("method", ["cubic", "linear"])
def test_cubic_and_linear_agree_with_the_peers_modes(method):
    rng = np.random.default_rng(2)
    points = (np.sort(rng.random(7)), np.cumsum(rng.random(6) + 0.1), np.arange(5.0))
    values = rng.random((7, 6, 5))
    at = np.column_stack([rng.uniform(x[0], x[-1], 500) for x in points])
    ours = velarix.interpolate_grid(points, values, method=method)(at)
    peer = RegularGridInterpolator(points, values, method=method)(at)
    np.testing.assert_allclose(ours, peer, rtol=0, atol=1e-12)


def monotone_table():
    rng = np.random.default_rng(3)
    steps = rng.exponential(size=(8, 6)) ** 2
    steps[2:4] = steps[:, 1:3] = 0  # flat stretches and flat cells
    return (np.cumsum(rng.random(8) + 0.2), np.cumsum(rng.random(6) + 0.2)), steps.cumsum(0).cumsum(1)


def test_monotone_data_flat_cells_exact_and_the_peers_cubic_turning_back():
    points, values = monotone_table()
    f = velarix.interpolate_grid(points, values)
    assert f.is_shape_preserving
    lines = f.grid(np.linspace(points[0][0], points[0][-1], 2001), points[1][1:-1] + 0.03)
    assert np.all(np.diff(lines, axis=0) >= -1e-13 * np.ptp(values))
    peer = RegularGridInterpolator(points, values, method="cubic")
    xs = np.linspace(points[0][0], points[0][-1], 2001)
    along = peer(np.column_stack([xs, np.full(xs.size, points[1][3] + 0.03)]))
    assert np.min(np.diff(along)) < 0  # what the construction prevents
    # Cells with equal corners give the corner's bits.
    x = np.linspace(points[0][2], points[0][3], 50)
    flat_cell = values[2, 0] == values[3, 0] == values[2, 1] == values[3, 1]
    assert flat_cell and np.all(f.grid(x, np.linspace(*points[1][:2], 7)) == values[2, 0])


def test_shapes_of_calls_grids_gradients_and_integrals():
    points = (np.arange(4.0), np.arange(5.0), np.arange(3.0))
    values = np.random.default_rng(4).random((4, 5, 3, 2, 3))
    f = velarix.interpolate_grid(points, values)
    assert f.surfaces_shape == (2, 3) and f.ndim == 3
    assert f(np.zeros((7, 8, 3))).shape == (7, 8, 2, 3)
    assert f((np.zeros((7, 1)), np.zeros(8), 0.5)).shape == (7, 8, 2, 3)
    assert f.grid([0, 1], [0, 1, 2], [0.5]).shape == (2, 3, 1, 2, 3)
    assert f.gradient(np.zeros((7, 3))).shape == (7, 3, 2, 3)
    assert f.integrate([0, 0, 0], np.ones((4, 3))).shape == (4, 2, 3)
    one = velarix.interpolate_grid(points, values[..., 0, 0])
    assert type(one((1.5, 2.5, 0.5))) is np.float64
    assert one.gradient((1.5, 2.5, 0.5)).shape == (3,)
    assert repr(one) == ("GridInterpolant(method='shape', nodes=4 x 5 x 3, surfaces_shape=(), "
                         "extrapolate='linear')")
    assert one.nbytes == 8 * 27 * 60


@pytest.mark.parametrize("nu", [(0, 0), (1, 0), (0, 2), (2, 1)])
@pytest.mark.parametrize("extrapolate", ["linear", "constant", "nan"])
def test_product_grid_threads_and_dask_give_the_pointwise_bits(nu, extrapolate):
    points, values = monotone_table()
    f = velarix.interpolate_grid(points, values, workers=1)
    xs, ys = np.linspace(-1, 9, 301), np.linspace(-1, 7, 200)
    on_grid = f.grid(xs, ys, nu=nu, extrapolate=extrapolate)
    mesh = np.stack(np.meshgrid(xs, ys, indexing="ij"), axis=-1)
    pointwise = velarix.interpolate_grid(points, values, workers=2)(mesh, nu, extrapolate)
    np.testing.assert_array_equal(on_grid, pointwise)
    da = pytest.importorskip("dask.array")
    lazy = f(da.from_array(mesh, chunks=(100, 50, 1)), nu, extrapolate)
    np.testing.assert_array_equal(lazy.compute(), pointwise)


def test_extrapolation_continues_each_outside_axis():
    points = (np.array([0.0, 1.0, 2.0]), np.array([0.0, 1.0]))
    values = np.add.outer(2 * points[0], 3 * points[1])  # 2x + 3y, reproduced exactly
    f = velarix.interpolate_grid(points, values, method="cubic")
    assert f((3.0, -1.0)) == pytest.approx(3.0)
    assert f((3.0, -1.0), extrapolate="constant") == pytest.approx(4.0)
    assert f((3.0, -1.0), nu=(1, 0)) == pytest.approx(2.0)
    assert f((3.0, -1.0), nu=(1, 0), extrapolate="constant") == 0
    assert np.isnan(f((3.0, 0.5), extrapolate="nan")) and not np.isnan(f((2.0, 0.5), extrapolate="nan"))
    assert f.integrate([-1, -1], [3, 2]) == pytest.approx(4 * 3 * (2 * 1 + 3 * 0.5))
    with pytest.raises(ValueError, match=r"^xi\[1, 0\] = 3 is outside the grid's axis 0, \[0, 2\]$"):
        f([[1.0, 0.5], [3.0, 0.5]], extrapolate="raise")
    with pytest.raises(ValueError, match=r"^x2\[0\] = -1 is outside the grid's axis 1, \[0, 1\]$"):
        f.grid([1.0], [-1.0], extrapolate="raise")


def test_pickles_are_exact_and_checked():
    points, values = monotone_table()
    f = velarix.interpolate_grid(points, np.stack([values, -values], axis=-1), extrapolate="nan")
    g = pickle.loads(pickle.dumps(f))
    assert g == f and g.extrapolate == "nan" and g != velarix.interpolate_grid(points, values)
    at = np.random.default_rng(5).random((100, 2)) * 5
    np.testing.assert_array_equal(g(at, nu=(1, 1)), f(at, nu=(1, 1)))
    state = bytearray(pickle.dumps(f))
    state[len(state) // 2] ^= 1
    with pytest.raises((ValueError, pickle.UnpicklingError)):
        pickle.loads(bytes(state))


@pytest.mark.parametrize("points, values, kwargs, message", [
    ((np.arange(3.0),), np.zeros(3), {}, "points must be a tuple of 2 to 6 one-dimensional arrays, got 1"),
    (np.zeros((2, 3)), np.zeros((2, 3)), {}, "points must be a tuple of 2 to 6 one-dimensional arrays, got ndarray"),
    (([0, 1], [[0, 1]]), np.zeros((2, 2)), {}, r"points[1] must be one-dimensional, got shape (1, 2)"),
    (([0, 1], [0, 1]), np.zeros((2, 3)), {}, "values must have shape (2, 2, ...) for points of 2 x 2 values, got (2, 3)"),
    (([0, 1], [0, 1]), [[0, 1], [np.inf, 0]], {}, "values[1, 0] must be finite, got inf"),
    (([0, 1], [1, 0]), np.zeros((2, 2)), {}, "points[1] must be strictly increasing; points[1][0] = 1 is not < points[1][1] = 0"),
    (([0, 1], [0, 1]), np.zeros((2, 2)), {"method": "pchip"}, "method must be one of 'shape', 'cubic', 'linear', got 'pchip'"),
    (([0, 1], [0, 1]), np.zeros((2, 2)), {"extrapolate": "hold"}, "extrapolate must be one of 'linear', 'constant', 'nan', 'raise', got 'hold'"),
    (([0, 1], [0, 1]), np.zeros((2, 2)), {"workers": 0}, "workers must be a positive integer or None, got 0"),
])
def test_refusals_name_the_argument_and_value(points, values, kwargs, message):
    with pytest.raises(ValueError) as caught:
        velarix.interpolate_grid(points, values, **kwargs)
    assert str(caught.value) == message


def test_call_refusals():
    f = velarix.interpolate_grid(([0, 1], [0, 1]), np.zeros((2, 2)))
    for call, message in [(lambda: f(np.zeros((4, 3))), "xi must have shape (..., 2) or be a tuple of 2 arrays, got shape (4, 3)"),
                          (lambda: f((0, 0), nu=(3, 0)), "nu must be 2 orders of 0 to 2, one per axis, got (3, 0)"),
                          (lambda: f.grid([0]), "grid takes 2 arrays, one per axis, got 1")]:
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == message


def test_command_resamples_matrix_and_long_tables(tmp_path, capsys):
    from velarix import cli
    matrix = tmp_path / "m.csv"
    matrix.write_text("T\\p,1,2,5,10\n0,1,1.5,2,3\n10,2,2.5,3.5,5\n20,2,2.6,4,7\n")
    assert cli.main([str(matrix), "--grid", "matrix", "-n", "3"]) == 0
    rows = capsys.readouterr().out.splitlines()
    f = velarix.interpolate_grid(([0, 10, 20], [1, 2, 5, 10]), [[1, 1.5, 2, 3], [2, 2.5, 3.5, 5],
                                                               [2, 2.6, 4, 7]])
    assert rows[0] == "T,p,value" and len(rows) == 10
    assert rows[5] == f"10.0,5.5,{f((10.0, 5.5))!r}"
    long = tmp_path / "l.csv"
    long.write_text("p,T,rho\n" + "".join(f"{p},{t},{p * t}\n" for t in (0, 1, 3) for p in (0, 2)
                                           if (p, t) != (2, 3)))
    assert cli.main([str(long), "--grid", "long"]) == 2
    assert capsys.readouterr().err.endswith(
        "the table has no row for the grid point (2, 3); --grid long needs one row per point of "
        "the product of its columns\n")


def test_gradient_stacks_the_partials_and_integrals_refuse_outside_boxes():
    points, values = monotone_table()
    f = velarix.interpolate_grid(points, np.stack([values, 2 * values], axis=-1))
    xi = np.random.default_rng(6).random((5, 4, 2)) * 4
    gradient = f.gradient(xi)
    assert gradient.shape == (5, 4, 2, 2)
    np.testing.assert_array_equal(gradient[:, :, 1], f(xi, nu=(0, 1)))
    np.testing.assert_array_equal(gradient[..., 1], 2 * gradient[..., 0])
    # A box split in two integrates to the sum of its halves.
    lo, mid, hi = np.array([1.5, 1.0]), np.array([2.5, 1.0]), np.array([4.0, 3.0])
    whole = f.integrate(lo, hi)
    halves = f.integrate(lo, [mid[0], hi[1]]) + f.integrate(mid, hi)
    np.testing.assert_allclose(whole, halves, rtol=1e-13)
    with pytest.raises(ValueError, match=r"^upper\[1\] = 99 is outside the grid's axis 1, "):
        f.integrate(lo, [4.0, 99.0], extrapolate="raise")
