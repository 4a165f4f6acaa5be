"""velarix.smooth: the shape on noisy data, units, the objective it solves,
continuity, several curves, what it records, and its refusals."""

import pickle

import numpy as np
import pytest
from scipy.interpolate import BSpline

import velarix
from velarix.smoothing import SmoothingInfo

SHAPES = {
    "increasing": lambda x: np.tanh(8 * (x - 0.5)),
    "decreasing": lambda x: -np.exp(2 * x),
    "convex": lambda x: (x - 0.4) ** 2,
    "concave": lambda x: -np.cosh(2 * (x - 0.6)),
    # Flat where the slope's bound sits, so that noise pulls against it.
    "increasing convex": lambda x: x ** 2,
    "increasing concave": lambda x: 1 - (1 - x) ** 2,
    "decreasing convex": lambda x: (1 - x) ** 2,
    "decreasing concave": lambda x: -(x ** 3),
}


def noisy(truth, n, noise, seed):
    rng = np.random.default_rng(seed)
    x = np.sort(rng.beta(1.2, 1.8, n))
    y = truth(x)
    return x, y + noise * np.ptp(y) * rng.standard_normal(n)


def assert_keeps(f, shape, grid):
    """The values never turn back against the direction (beyond rounding)
    and S'' keeps the curvature's sign, on a fine grid."""
    values, second = f(grid), f(grid, nu=2)
    s = 1 if "increasing" in shape else -1 if "decreasing" in shape else 0
    m = 1 if "convex" in shape else -1 if "concave" in shape else 0
    assert (s * np.diff(values)).min(initial=0) >= -1e-12 * np.ptp(values)
    assert (m * second).min(initial=0) >= -1e-12 * np.abs(second).max()


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("n, noise", [(40, 0.2), (300, 0.05), (3000, 0.01)])
def test_noisy_data_never_break_the_shape(shape, n, noise):
    x, y = noisy(SHAPES[shape], n, noise, seed=n)
    f = velarix.smooth(x, y, shape)
    assert_keeps(f, shape, np.linspace(x[0], x[-1], 20001))
    assert f.smoothing.shape == shape and f.splines[0].is_shape_preserving


@pytest.mark.parametrize("shape", ["increasing convex", "decreasing", "concave"])
def test_a_knot_at_every_point_keeps_the_shape(shape):
    x, y = noisy(SHAPES[shape], 3000, 0.05, seed=11)
    f = velarix.smooth(x, y, shape, knots=x.size)
    assert f.x.size == np.unique(x).size
    assert_keeps(f, shape, np.linspace(x[0], x[-1], 30001))
    assert f.splines[0].is_shape_preserving


def test_the_default_is_a_knot_at_every_distinct_x_and_few_knots_are_named():
    x, y = noisy(SHAPES["increasing"], 300, 0.02, seed=5)
    x = np.round(x, 2)  # ties, as rounded readings have them
    f = velarix.smooth(x, y, "increasing")
    assert f.x.tolist() == np.unique(x).tolist() and f.smoothing.knots == f.x.size
    assert f.smoothing.warning is None
    assert f(x).tobytes() == velarix.smooth(x, y, "increasing", knots=x.size)(x).tobytes()
    few = velarix.smooth(x, y + np.sin(12 * x), knots=3).smoothing
    assert few.knots == 4 and few.edf >= 0.95 * 4
    assert few.warning == (f"edf = {few.edf:.4g} is within 5 % of the 4 knots: the knots, not "
                           f"lam, limit the fit; knots=None puts a knot at every distinct x")
    assert pickle.loads(pickle.dumps(few)).warning == few.warning and len(few) == 5


@pytest.mark.parametrize("start", [0.0, 1987.25, 1.7e9])
@pytest.mark.parametrize("shape", [None, "increasing", "convex"])
def test_a_record_fits_the_same_wherever_x_starts(start, shape):
    """Weekly readings over 30 years, rounded to two decimals, shuffled,
    with repeated weeks: x from 0, in calendar years and as a timestamp."""
    rng = np.random.default_rng(21)
    weeks = np.concatenate([np.arange(1560.0), rng.integers(0, 1560, 40).astype(float)])
    t = weeks / 52.0
    y = np.round(np.exp(t / 15) + 0.3 * np.sin(2 * np.pi * t) * (shape is None)
                 + rng.normal(0, 0.05, t.size), 2)
    order = rng.permutation(t.size)
    span = 3.2e7 if start > 1e8 else 1.0  # seconds per year for the timestamp
    base = velarix.smooth(t[order], y[order], shape)
    f = velarix.smooth(start + span * t[order], y[order], shape, lam=base.smoothing.lam * span ** 3)
    grid = np.linspace(0, t.max(), 3001)
    np.testing.assert_allclose(f(start + span * grid), base(grid), rtol=0, atol=1e-6 * np.ptp(y))
    if start == 0:  # the chosen lam given as a setting: the same fit
        assert f(grid).tobytes() == base(grid).tobytes()
    assert f.smoothing.knots == np.unique(t).size == 1560
    if shape:
        values = f(start + span * grid)
        second = f(start + span * grid, nu=2)
        assert (np.diff(values) >= 0).all() if shape == "increasing" else (second >= 0).all()
        assert f.splines[0].is_shape_preserving


def test_units_scale_the_curve_and_lam_by_their_dimensions():
    x, y = noisy(SHAPES["increasing concave"], 400, 0.05, seed=1)
    base = velarix.smooth(x, y, "increasing concave")
    grid = np.linspace(x[0], x[-1], 500)
    for cx, cy in [(3.0, 1.0), (1.0, 7.0), (1e-4, 1e5), (250.0, 0.01)]:
        # At a given lam the units move the fit by rounding only. The score
        # is flat at its minimum (lam 1 % off raises it by 3e-4 of itself)
        # and the rounding of the hat matrix's trace, a sum over every knot,
        # moves its argument by up to 1e-3 of lam, and the curve by 1e-5.
        fixed = velarix.smooth(cx * x, cy * y, "increasing concave",
                               lam=base.smoothing.lam * cx ** 3)
        np.testing.assert_allclose(fixed(cx * grid) / cy, base(grid), rtol=0, atol=1e-9)
        f = velarix.smooth(cx * x, cy * y, "increasing concave")
        assert f.smoothing.lam == pytest.approx(base.smoothing.lam * cx ** 3, rel=2e-3)
        assert f.smoothing.edf == pytest.approx(base.smoothing.edf, rel=5e-4)
        np.testing.assert_allclose(f(cx * grid) / cy, base(grid), rtol=0, atol=3e-5)


def dense_solution(x, y, w, knots, lam):
    """The same objective solved as one dense linear system: the B-spline
    basis on the knots and the penalty integrated by two-point Gauss rules
    (exact for the squared linear S''); with the fit's degrees of freedom
    and GCV score."""
    t = np.r_[[knots[0]] * 3, knots, [knots[-1]] * 3]
    k = len(t) - 4
    design = BSpline.design_matrix(x, t, 3).toarray()
    mid, half = (knots[:-1] + knots[1:]) / 2, np.diff(knots) / 2
    nodes = (mid[:, None] + half[:, None] * np.array([-1, 1]) / np.sqrt(3)).ravel()
    curvature = np.array([BSpline(t, np.eye(k)[j], 3)(nodes, nu=2) for j in range(k)])
    penalty = (curvature * np.repeat(half, 2)) @ curvature.T
    gram = design.T @ (w[:, None] * design)
    c = np.linalg.solve(gram + lam * penalty, design.T @ (w * y))
    edf = np.trace(np.linalg.solve(gram + lam * penalty, gram))
    gcv = x.size * np.sum(w * (y - design @ c) ** 2) / (x.size - edf) ** 2
    return BSpline(t, c, 3), edf, gcv


@pytest.mark.parametrize("segments, lam", [(8, 1e-5), (30, 3e-3), (100, 0.2), (149, 1e-4)])
def test_given_lam_solves_the_weighted_objective(segments, lam):
    rng = np.random.default_rng(segments)
    x = np.sort(rng.uniform(-3.0, 5.0, 150))
    y = np.sin(x) + 0.2 * rng.standard_normal(x.size)
    w = rng.uniform(0.2, 3.0, x.size)
    f = velarix.smooth(x, y, lam=lam, weights=w, knots=segments)
    assert f.smoothing.lam == lam and f.smoothing.active_constraints == 0
    reference, edf, gcv = dense_solution(x, y, w, f.x, lam)
    grid = np.linspace(x[0], x[-1], 1001)
    # Both solves carry the rounding of their own normal equations.
    np.testing.assert_allclose(f(grid), reference(grid), rtol=0, atol=1e-9)
    # The trace of the hat matrix and n RSS / (n - edf)^2, from the data.
    assert f.smoothing.edf == pytest.approx(edf, rel=1e-9)
    assert f.smoothing.gcv == pytest.approx(gcv, rel=1e-8)


def test_on_a_long_record_the_score_is_smooth_in_lam():
    """5 x 10^4 points, a knot at each: lam steps of 1e-3 decade around GCV's
    choice lower edf every time and move the score smoothly (the normal
    equations with the penalty's matrix gave edf jumping both ways there)."""
    rng = np.random.default_rng(8)
    x = np.sort(rng.uniform(0, 20, 50000))
    y = np.sin(2 * np.pi * x) + 0.4 * x + 0.1 * rng.standard_normal(x.size)
    chosen = velarix.smooth(x, y).smoothing
    sweep = [velarix.smooth(x, y, lam=chosen.lam * 10 ** (k * 1e-3)).smoothing
             for k in range(-6, 7)]
    edf = np.array([info.edf for info in sweep])
    gcv = np.array([info.gcv for info in sweep])
    assert (np.diff(edf) < 0).all()
    assert np.abs(np.diff(gcv, 2)).max() <= 1e-6 * gcv.min()
    assert gcv.min() >= chosen.gcv * (1 - 1e-9)


def test_second_derivative_is_shared_at_every_knot():
    x, y = noisy(SHAPES["concave"], 500, 0.05, seed=3)
    spline = velarix.smooth(x, y, "concave").splines[0]
    knots = np.array(spline.knots)[1:-1]
    left = np.nextafter(knots, -np.inf)
    right_side = np.asarray(spline.second_derivative_batch(knots))
    # At a knot S'' is that knot's value in both pieces: moving one ulp left
    # changes it by rounding only.
    np.testing.assert_allclose(np.asarray(spline.second_derivative_batch(left)), right_side,
                               rtol=1e-12, atol=1e-12 * np.abs(right_side).max())
    np.testing.assert_allclose(np.asarray(spline.first_derivative_batch(left)),
                               np.asarray(spline.first_derivative_batch(knots)), rtol=1e-10)


def test_several_curves_are_smoothed_each_on_its_own():
    x, y = noisy(SHAPES["increasing convex"], 200, 0.05, seed=4)
    ys = np.stack([y, -y, 2 * y], axis=1)
    f = velarix.smooth(x, ys, "auto")
    assert f.curves_shape == (3,)
    assert [info.shape for info in f.smoothing] == [
        "increasing convex", "decreasing concave", "increasing convex"]
    for j in range(3):
        single = velarix.smooth(x, ys[:, j], "auto")
        assert f.smoothing[j] == single.smoothing
        assert f(0.3)[j] == single(0.3)


def test_record_is_read_only_and_survives_pickling():
    x, y = noisy(SHAPES["decreasing"], 120, 0.1, seed=5)
    f = velarix.smooth(x, y, "decreasing", robust=True, extrapolate="constant")
    assert isinstance(f, velarix.Interpolant) and isinstance(f.smoothing, SmoothingInfo)
    with pytest.raises(AttributeError):
        f.smoothing = None
    with pytest.raises(AttributeError):
        f.smoothing.lam = 1.0
    g = pickle.loads(pickle.dumps(f))
    assert g.smoothing == f.smoothing and g.extrapolate == "constant"
    grid = np.linspace(-0.5, 1.5, 101)
    assert g(grid).tobytes() == f(grid).tobytes()
    assert f.integrate(0.1, 0.9) == f.antiderivative()(0.9) - f.antiderivative()(0.1)


@pytest.mark.parametrize("args, kwargs, message", [
    (([0, 1], [1, 2]), {}, "smoothing needs at least 3 distinct x with positive weight, got 2"),
    (([0, 1, 2], [1, 2, 3], "rising"), {}, "shape must be 'none', 'increasing', 'decreasing', "
     "'convex', 'concave', a direction and a curvature such as 'increasing convex', or 'auto'; "
     "got 'rising'"),
    (([0, 1, 2], [1, 2, 3], 1), {}, "shape must be None or a str such as 'increasing convex', "
     "got 1"),
    (([0, 1, 2], [1, 2, 3]), {"lam": 0}, "smoothing setting `lam` must be finite and > 0, got 0"),
    (([0, 1, 2], [1, 2, 3]), {"lam": "big"}, "lam must be a real number or None, got 'big'"),
    (([0, 1, 2], [1, 2, 3]), {"weights": [1, -1, 1]}, "weights[1] must be >= 0, got -1"),
    (([0, 1, 2], [1, 2, 3]), {"weights": [1, 1]},
     "weights must have one entry per data point (got shape (2,) for 3 points)"),
    (([0, 1, 2], [1, np.nan, 3]), {}, "y[1] must be finite, got NaN"),
    (([0, 1, 2], [1, 2, 3]), {"knots": 0},
     "smoothing setting `knots` must be a number of segments >= 1, got 0"),
    (([0, 1, 2], [1, 2, 3]), {"knots": -3},
     "smoothing setting `knots` must be a number of segments >= 1, got -3"),
    (([0, 1, 2], [1, 2, 3]), {"knots": [0.5, 2.0]}, "knots[1] must be strictly inside the range of "
     "x and apart from its neighbours by more than 1e-10 of that range, got 2"),
    (([0, 1, 2], [1, 2, 3]), {"robust": "yes"}, "robust must be True or False, got 'yes'"),
    (([0, 1, 2], [1, 2, 3]), {"extrapolate": "zero"}, "extrapolate must be one of 'linear', "
     "'constant', 'hold', 'nan', 'raise', 'extend', 'periodic', True, False or None, got 'zero'"),
])
def test_refusals_name_the_argument_and_value(args, kwargs, message):
    with pytest.raises(ValueError) as info:
        velarix.smooth(*args, **kwargs)
    assert str(info.value) == message


CANDIDATES = ["none", *SHAPES]


@pytest.mark.parametrize("truth, noise", [("increasing convex", 0.05), ("concave", 0.2),
                                          ("decreasing", 0.02)])
def test_auto_keeps_the_most_constrained_shape_within_one_percent(truth, noise):
    # The candidates are scored at the unconstrained fit's lam; the shape kept
    # is then fitted with its own search.
    x, y = noisy(SHAPES[truth], 300, noise, seed=6)
    lam = velarix.smooth(x, y).smoothing.lam
    scores = {s: velarix.smooth(x, y, s, lam=lam).smoothing.gcv for s in CANDIDATES}
    within = [s for s in CANDIDATES if scores[s] <= 1.01 * min(scores.values())]
    expected = max(within, key=lambda s: (len(s.split()) - (s == "none"), -scores[s]))
    f = velarix.smooth(x, y, "auto")
    assert f.smoothing.shape == expected
    assert f.smoothing == velarix.smooth(x, y, expected).smoothing


def test_smoother_builders_replace_one_setting_each():
    config = velarix.Smoother().with_shape("convex  decreasing").with_lam(0.5).with_robust(True)
    assert (config.shape, config.lam, config.robust) == ("decreasing convex", 0.5, True)
    assert repr(config) == ('Smoother { shape: "decreasing convex", lam: 0.5, segments: all, '
                            'robust: true }')
    with_knots = config.with_knots(np.array([0.2, 0.4]))
    assert (with_knots.knots, with_knots.with_segments(7).knots) == ([0.2, 0.4], None)
    assert config.with_gcv().lam is None and config.with_gcv() != config
    assert config.with_gcv().with_lam(0.5) == config


def test_dask_evaluates_a_smoothed_curve_block_by_block():
    da = pytest.importorskip("dask.array")
    x, y = noisy(SHAPES["increasing"], 200, 0.1, seed=7)
    f = velarix.smooth(x, y, "increasing")
    grid = np.linspace(-0.2, 1.2, 1000)
    assert f(da.from_array(grid, chunks=128), nu=1).compute().tobytes() == f(grid, nu=1).tobytes()


@pytest.mark.parametrize("shape", [None, "increasing", "convex", "decreasing concave"])
def test_third_derivative_is_the_slope_of_the_second_on_each_piece(shape):
    x, y = noisy(SHAPES[shape or "increasing concave"], 300, 0.05, seed=3)
    f = velarix.smooth(x, y, shape, extrapolate="extend")
    knots, h = f.x, np.diff(f.x)
    a, b = knots[:-1] + 0.2 * h, knots[:-1] + 0.8 * h
    # S'' is linear on a piece: its difference quotient inside the piece is
    # S''' up to the rounding of the two values it divides.
    slope = (f(b, nu=2) - f(a, nu=2)) / (b - a)
    third = f(a, nu=3)
    assert np.all(np.abs(third - slope) <= 8e-16 * np.abs(f(knots, nu=2)).max() / (0.6 * h))
    assert third.tobytes() == f(b, nu=3).tobytes()  # constant on each piece
    # Beyond the data: the end pieces continued, or a line (no third derivative).
    outside = [knots[0] - 1.0, knots[-1] + 1.0]
    assert f(outside, nu=3).tolist() == [third[0], third[-1]]
    assert velarix.smooth(x, y, shape)(outside, nu=3).tolist() == [0.0, 0.0]


@pytest.mark.parametrize("shape", ["increasing", "decreasing", "increasing convex"])
@pytest.mark.parametrize("robust", [True, False])
def test_a_direction_holds_exactly_between_the_knots(shape, robust):
    rng = np.random.default_rng(128)
    x = rng.uniform(0, 10, 30)
    y = rng.normal(size=30).round()
    f = velarix.smooth(x, y if "increasing" in shape else -y, shape, robust=robust)
    s = 1 if "increasing" in shape else -1
    assert (s * np.diff(f(np.linspace(x.min(), x.max(), 400001)))).min() >= 0
    assert f.is_shape_preserving
