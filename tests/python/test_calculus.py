"""Integrals and third derivatives of every method's pieces against the
high-precision reference its own tests give (REFERENCE in test_<method>.py),
on random fits, and saved splines integrating to the same bits. Integral
errors are in units of eps times the integral of |S| over the piece; third
derivative errors, of eps times the largest |S'''| on it."""

import pickle
import struct

import mpmath as mp
import numpy as np
import pytest

from conftest import CONFIGURATIONS, FITTERS, REGISTRY, accepts, method_of, reference
from integrals import ULPS, pieces, worst_error, worst_third_error


def inflected_or_convex(name, x, y):
    """The data plus a wave, or the data as they are for a method that
    refuses inflections (the data are convex)."""
    wavy = y + np.sin(3 * x)
    return wavy if accepts(CONFIGURATIONS[name], x, wavy) else y


@pytest.mark.parametrize("name", sorted(REGISTRY))
def test_every_method_has_a_reference_for_its_piece(name):
    assert callable(reference(name))


@pytest.mark.parametrize("name", sorted(FITTERS))
@pytest.mark.parametrize("n", [2, 40, 1000])
def test_random_fits(name, n):
    mp.mp.dps = 40
    rng = np.random.default_rng(n)
    x = np.cumsum(rng.uniform(0.01, 1.0, n))
    spline = FITTERS[name](x, inflected_or_convex(name, x, np.exp(x / x[-1] * 2)))
    every = pieces(spline, reference(method_of(spline)))
    for i in sorted({0, len(every) - 1, *rng.integers(0, len(every), 3)}):
        assert worst_error(spline, every[i]) <= ULPS
        assert worst_third_error(spline, every[i]) <= ULPS


def test_saved_splines_integrate_to_the_same_bits(spline):
    xs = np.linspace(spline.domain[0] - 1, spline.domain[1] + 1, 97)
    fresh = pickle.loads(pickle.dumps(spline))
    before = np.asarray(spline.antiderivative_batch(xs)).view(np.uint64)
    for other in (fresh, pickle.loads(pickle.dumps(spline))):
        assert np.array_equal(np.asarray(other.antiderivative_batch(xs)).view(np.uint64), before)


def test_pieces_are_the_fields_a_saved_state_keeps(spline):
    state, at = spline.__reduce__()[1][1], 0
    for piece in spline.pieces:  # in knot order, each field list whole
        at = state.index(struct.pack(f"<{len(piece)}d", *piece.values()), at) + 8 * len(piece)
    assert pickle.loads(pickle.dumps(spline)).pieces == spline.pieces


@pytest.mark.parametrize("name", sorted(FITTERS))
def test_third_derivative_is_the_derivative_of_the_second(name):
    """Across each piece S''' integrates to the change of S'' (composite Gauss-Legendre,
    fine enough for layers of tension 85) and is the limit of differences of S''."""
    x = np.cumsum(np.random.default_rng(5).uniform(0.1, 1.0, 14))
    spline = FITTERS[name](x, inflected_or_convex(name, x, np.exp(x / 4) + 3 * np.maximum(x - x[6], 0)))
    nodes, weights = np.polynomial.legendre.leggauss(5)
    knots = [float(x0) for x0, _, _ in pieces(spline, reference(method_of(spline)))] + [spline.domain[1]]
    for a, b in zip(knots, knots[1:]):
        half = (b - a) / 8192
        at = (np.linspace(a + half, b - half, 4096)[:, None] + half * nodes).ravel()
        third = np.asarray(spline.third_derivative_batch(at))
        size = max(np.abs(spline.second_derivative_batch(at)).max(), (b - a) * np.abs(third).max())
        change = spline.second_derivative(np.nextafter(b, a)) - spline.second_derivative(a)
        assert (third.reshape(-1, 5) @ weights).sum() * half == pytest.approx(change, abs=1e-11 * size)
        u, d = a + np.array([0.2, 0.5, 0.8]) * (b - a), 1e-4 * (b - a)
        central = (np.asarray(spline.second_derivative_batch(u + d)) - spline.second_derivative_batch(u - d)) / (2 * d)
        assert np.asarray(spline.third_derivative_batch(u)) == pytest.approx(central, abs=1e-5 * size / (b - a))
