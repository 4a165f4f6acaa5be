"""The strict tension policy and limited end slopes, seen from Python."""

import pickle

import numpy as np
import pytest

from velarix import EndSlopes, Tension, datasets

from conftest import REGISTRY, accepts

STRICT = Tension().with_strict_shape()
LIMITED = EndSlopes.limited()


def test_strict_policy_text_equality_and_state():
    assert repr(STRICT) == "Tension { policy: Strict, boundary: Estimated, tol: 0.0, max_iter: 99 }"
    assert STRICT == Tension().with_strict_shape() and STRICT != Tension()
    assert STRICT.uniform_tension is None
    assert STRICT.with_uniform_tension(2.0) == Tension().with_uniform_tension(2.0)
    for config in (STRICT, STRICT.with_boundary(LIMITED), Tension().with_boundary(LIMITED)):
        assert pickle.loads(pickle.dumps(config)) == config


def extrema_data(seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(3, 30))
    return np.cumsum(rng.uniform(0.1, 1.0, n)), np.cumsum(rng.standard_normal(n))


# Every method that takes limited end slopes and fits data with extrema, and
# the strict policy.
LIMITED_FITS = [config for config in [
    *(m.configuration() for m in REGISTRY.values() if "limited" in m.end_conditions), STRICT]
    if accepts(config.with_boundary(LIMITED), *extrema_data(0))]


@pytest.mark.parametrize("config", LIMITED_FITS, ids=repr)
def test_limited_end_slopes_follow_the_end_secants(config):
    # Every fit with limited end slopes starts and ends along its end secant
    # (or flat), and beside a data extremum no steeper than 3 times it.
    for seed in range(60):
        x, y = extrema_data(seed)
        spline = config.with_boundary(LIMITED).fit(x, y)
        s = np.diff(y) / np.diff(x)
        for end, secant, neighbour in ((x[0], s[0], s[min(1, s.size - 1)]),
                                       (x[-1], s[-1], s[max(s.size - 2, 0)])):
            slope = spline.first_derivative(end)
            assert slope * secant >= -1e-12 * abs(secant) ** 2, seed
            if secant * neighbour < 0:
                assert abs(slope) <= 3 * abs(secant) * (1 + 1e-12), seed


@pytest.mark.parametrize("name", ["fritsch_carlson", "akima", "titanium"])
def test_strict_keeps_what_the_published_policy_loses(name):
    x, y = getattr(datasets, name)()
    strict, published = STRICT.fit(x, y), Tension().fit(x, y)
    assert strict.is_shape_preserving and not published.is_shape_preserving
    assert strict.iterations < published.iterations
    grid = np.linspace(x[0], x[-1], 5001)
    if name == "fritsch_carlson":  # monotone data: bounded by their ends
        values = np.asarray(strict.value_batch(grid))
        assert values.min() >= y[0] and values.max() <= y[-1]


def test_is_shape_preserving_for_every_policy_survives_pickling():
    x, y = datasets.fritsch_carlson()
    for config in (STRICT, Tension(), Tension().with_uniform_tension(0.0)):
        spline = config.fit(x, y)
        restored = pickle.loads(pickle.dumps(spline))
        assert restored.is_shape_preserving == spline.is_shape_preserving
        grid = np.linspace(x[0], x[-1], 257)
        assert bytes(restored.second_derivative_batch(grid)) == bytes(
            spline.second_derivative_batch(grid))
    line = np.array([0.0, 1, 2])
    assert Tension().with_uniform_tension(0.0).fit(line, line + 1).is_shape_preserving
