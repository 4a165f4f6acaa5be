"""Messages a person can read: numbers in their shortest form, and the library's
own one-line refusals where a generic error of NumPy or of the interpreter
would otherwise surface."""

import re
import resource
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import velarix
from velarix import EndSlopes, RationalCubic, Smoother, Tension

from conftest import METHODS, REGISTRY, text

X = np.arange(5.0)
# A number as a message writes it: digits, a point, an exponent.
NUMBER = re.compile(r"-?\d[\d.]*(?:e-?\d+)?")
EXTREMES = [1e-300, 5e-324, 2.2250738585072014e-308, 1e300, 1.7976931348623157e308,
            1.2345678901234567e-200, 6.02214076e23, 1e-5, 123456.789]


def _refusal(call):
    with pytest.raises(ValueError) as info:
        call()
    return str(info.value)


def _message(call):
    """The refusal's message, or "" where the call is served."""
    try:
        call()
    except ValueError as error:
        return str(error)
    return ""


def _generated_refusals(rng):
    """Refusals of every kind that carries a number, at values drawn over every binade."""
    values = EXTREMES + list(np.ldexp(rng.uniform(1, 2, 40), rng.integers(-1070, 1020, 40)))
    for v in map(float, values):
        for name in METHODS:
            ends = REGISTRY[name].end_conditions
            if "periodic" in ends:
                yield _message(lambda: velarix.interpolate(
                    [0, 1, 2], [v, 1, -v], name, bc_type="periodic"))
            if "clamped" in ends and v > 1e200:
                yield _message(lambda: velarix.interpolate(
                    np.ldexp(X, 600), X, name, bc_type=((1, v), (1, v))))
        yield _message(lambda: velarix.interpolate([0, v, 3 * v], [0, 1, 2], "tension",
                                                   extrapolate="raise")(-v))
        yield _message(lambda: velarix.smooth(X, X, lam=-v))
        yield _message(lambda: velarix.interpolate(X * 1e-5, X, Tension().with_uniform_tension(v)))
        yield _message(lambda: velarix.interpolate([0, 1, 2], [0, v, np.inf]))
        yield _message(lambda: velarix.interpolate([-v, v, 0], [0, 1, 2]))
        yield _message(lambda: velarix.interpolate(
            [0, 1, 2, 3], [0, 1, 1 + 4 * v, 1 + 5 * v], RationalCubic().with_shape(v, 1)))


def test_no_number_in_a_generated_message_is_longer_than_25_characters():
    messages = [m for m in _generated_refusals(np.random.default_rng(35)) if m]
    assert len(messages) > 300
    for message in messages:
        assert all(len(n) <= 25 for n in NUMBER.findall(message)), message


@pytest.mark.parametrize("value", EXTREMES)
def test_a_number_reads_back_to_the_same_double(value):
    message = _refusal(lambda: velarix.interpolate([0, 1, 2], [value, 1, -value],
                                                   "tension", bc_type="periodic"))
    first, last = re.search(r"y\[0\] = (\S+) and y\[2\] = (\S+) differ", message).groups()
    assert (first, last) == (text(value), text(-value))
    assert float(first) == value and float(last) == -value


@pytest.mark.parametrize("call, message", [
    (lambda: velarix.interpolate([0, 1, 2], [1e-300, 1, 2e-300], "tension", bc_type="periodic"),
     "periodic end conditions need equal first and last values; y[0] = 1e-300 and y[2] = "
     "2e-300 differ"),
    (lambda: velarix.smooth(X, X, lam=-1e-300),
     "smoothing setting `lam` must be finite and > 0, got -1e-300"),
    (lambda: velarix.interpolate(X, X, extrapolate="raise")(1e300),
     "x = 1e300 is outside the domain [0, 4]"),
    (lambda: velarix.interpolate([-1e308, 1e308, 1.5e308], X[:3]),
     "x[0] = -1e308 and x[1] = 1e308 are too far apart: their difference overflows"),
    (lambda: velarix.interpolate([0, 1, 2, 3], [0, 1, 4, 2], "rational_cubic"),
     "data change curvature at knot 2 (x = 2): secant slopes 3 then -2 turn against the "
     "earlier knots; this method needs data that is concave throughout or convex throughout"),
])
def test_refusals_write_numbers_in_the_shortest_form(call, message):
    assert _refusal(call) == message


@pytest.mark.parametrize("call, message", [
    (lambda: velarix.smooth([], []),
     "smoothing needs at least 3 distinct x with positive weight, got 0"),
    (lambda: velarix.interpolate(X, X, Tension),
     "method must be a configuration object, not the class itself: pass Tension() instead "
     "of Tension"),
    (lambda: velarix.interpolate(X, X, Smoother()),
     "method Smoother() smooths instead of interpolating, and its curve misses the data: use "
     "velarix.smooth(x, y, ...) for smoothing"),
    (lambda: velarix.set_workers(2**64).__enter__(),
     "workers must be at most 65536 threads, got 18446744073709551616"),
    (lambda: velarix.interpolate(X, X).integrate([0, 1], [0, 1, 2]),
     "a and b must broadcast together, got shapes (2,) and (3,)"),
    (lambda: velarix.interpolate(X, X).solve([0.5, np.nan]), "y[1] must be finite, got NaN"),
])
def test_generic_errors_become_the_librarys_messages(call, message):
    assert _refusal(call) == message


def test_smooth_takes_none_as_its_default_extrapolation():
    x = np.linspace(0, 4, 20)
    default, none = velarix.smooth(x, x * x), velarix.smooth(x, x * x, extrapolate=None)
    assert none.extrapolate == default.extrapolate == "linear"
    assert none(6.0) == default(6.0)


def test_solve_takes_levels_far_beyond_the_curve_and_arrays_of_levels():
    f = velarix.interpolate(X, X)
    assert f.solve(1e308).tolist() == [1e308]  # the linear continuation reaches it
    levels = f.solve(np.array([[0.5, 1.0], [2.5, -1.0]]))
    assert levels.shape == (2, 2)
    assert [r.tolist() for r in levels.ravel()] == [[0.5], [1.0], [2.5], [-1.0]]
    curves = velarix.interpolate(X, np.stack([X, -X], axis=1)).solve([1.0, 2.0])
    assert curves.shape == (2, 2) and curves[1, 1].tolist() == [-2.0]


@pytest.mark.parametrize("name", [n for n in METHODS if "_" in n])
def test_both_spellings_of_a_method_name_fit_the_same_curve(name):
    grid = np.linspace(-1, 5, 41)
    y = np.array([0.0, 1, 4, 9, 16])
    assert (velarix.interpolate(X, y, name.replace("_", "-"))(grid)
            == velarix.interpolate(X, y, name)(grid)).all()


def test_a_batch_without_memory_for_its_result_says_what_size(tmp_path):
    # The address space allows the input but not a second array as large.
    script = textwrap.dedent(f"""
        import resource, numpy as np, velarix
        s = velarix.Tension().fit(np.arange(5.0), np.arange(5.0))
        xs = np.zeros(200_000_000)
        used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 2**29, {resource.RLIM_INFINITY}))
        try:
            s.value_batch(xs)
        except MemoryError as error:
            print(error)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True, timeout=120).stdout.strip()
    assert out == "no memory for a result of 200000000 doubles (1600000000 bytes)"


def test_smooth_puts_the_points_where_interpolate_does():
    y = np.arange(15.0).reshape(3, 5) ** 2
    f = velarix.smooth(X, y, axis=1)
    assert f.axis == 1
    assert f([1.0, 2.0]).shape == velarix.interpolate(X, y, axis=1)([1.0, 2.0]).shape == (3, 2)
    assert f(np.zeros((4, 2))).shape == (3, 4, 2)
