"""Batch evaluation of ascending and shuffled points, which take different
lookups, against scalar calls bit for bit, on many uneven knots."""

import math

import numpy as np
import pytest

from conftest import FITTERS

pytestmark = pytest.mark.skipif(not FITTERS, reason="no methods")


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


def points(x, rng):
    """Random points over and beyond the domain, every knot and its
    neighbours, with NaN and both infinities."""
    inside = rng.uniform(x[0] - 1.0, x[-1] + 1.0, 3000)
    near = np.concatenate((x, np.nextafter(x, -np.inf), np.nextafter(x, np.inf)))
    return np.concatenate((inside, near, [-math.inf, math.inf]))


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(5)
    x = np.concatenate(([0.0], np.cumsum(rng.uniform(0.05, 1.0, 400))))
    return x, np.exp(x / x[-1] * 3.0), rng


@pytest.mark.parametrize("name", sorted(FITTERS))
@pytest.mark.parametrize("order", ["ascending", "ascending with nan", "sparse", "shuffled"])
@pytest.mark.parametrize(
    "family",
    ["value", "first_derivative", "second_derivative", "third_derivative", "antiderivative"],
)
def test_batch_matches_scalar_calls(data, name, order, family):
    x, y, rng = data
    spline = FITTERS[name](x, y)
    xs = np.sort(points(x, rng))
    if order == "ascending with nan":
        xs = np.insert(xs, [0, xs.size // 2, xs.size], math.nan)
    elif order == "sparse":
        xs = xs[::41].copy()
    elif order == "shuffled":
        rng.shuffle(xs)
    scalar = spline if family == "value" else getattr(spline, family)
    expected = [scalar(float(v)) for v in xs]
    out = np.empty_like(xs)
    getattr(spline, family + "_batch_into")(xs, out)
    np.testing.assert_array_equal(bits(out), bits(expected))
