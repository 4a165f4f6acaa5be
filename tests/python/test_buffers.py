"""Buffers in and out of every fitted spline: acceptance, refusals, and
agreement of the batch forms with scalar evaluation, bit for bit."""

import ctypes
import math
import sys
from array import array

import numpy as np
import pytest

from conftest import X, Y

pytestmark = pytest.mark.skipif(not X.size, reason="no data")

PROBES = np.array([-1.0, 0.0, 0.2, 0.4, 1.3, 2.999, 3.0, 7.0, math.nan, -math.inf, math.inf])
FAMILIES = ["value", "first_derivative", "second_derivative", "third_derivative"]
# Every family with batch forms: the derivatives and the antiderivative.
BATCHES = FAMILIES + ["antiderivative"]


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize("family", BATCHES)
def test_batch_forms_match_scalar_bit_for_bit(spline, family):
    scalar = getattr(spline, family)
    expected = np.array([scalar(float(x)) for x in PROBES])
    batch = getattr(spline, family + "_batch")(PROBES)
    assert isinstance(batch, array) and batch.typecode == "d"
    np.testing.assert_array_equal(bits(batch), bits(expected))

    out = np.full_like(PROBES, 123.0)
    assert getattr(spline, family + "_batch_into")(PROBES, out) is None
    np.testing.assert_array_equal(bits(out), bits(expected))

    in_place = PROBES.copy()
    getattr(spline, family + "_batch_into")(in_place, in_place)
    np.testing.assert_array_equal(bits(in_place), bits(expected))


def test_two_dimensional_buffers_are_flat_in_row_major_order(spline):
    grid = np.linspace(-0.5, 3.5, 6).reshape(2, 3)
    flat = spline.value_batch(grid)
    assert len(flat) == 6
    np.testing.assert_array_equal(bits(flat), bits([spline(v) for v in grid.ravel()]))
    out = np.empty((3, 2))
    spline.second_derivative_batch_into(grid, out)
    np.testing.assert_array_equal(
        bits(out.ravel()), bits([spline.second_derivative(v) for v in grid.ravel()])
    )


def test_call_and_keyword(spline):
    assert spline(x=0.5) == spline.value(0.5) == spline(0.5)
    assert math.isnan(spline(math.nan))
    assert spline.domain == (X[0], X[-1])
    assert isinstance(spline.domain, tuple)


def test_knots_are_interpolated(spline):
    for x, y in zip(X[:-1], Y[:-1]):
        assert spline(x) == pytest.approx(y, rel=1e-14, abs=1e-14)
    assert spline(X[-1]) == pytest.approx(Y[-1], rel=1e-12)


def test_empty_buffers(spline):
    empty = array("d")
    assert len(spline.value_batch(empty)) == 0
    assert spline.value_batch_into(empty, array("d")) is None
    assert len(spline.first_derivative_batch(np.empty(0))) == 0


def test_array_module_is_accepted_as_input(spline):
    xs = array("d", [0.1, 2.0])
    assert list(spline.value_batch(xs)) == [spline(0.1), spline(2.0)]


def notes(info):
    return getattr(info.value, "__notes__", [])


@pytest.mark.parametrize(
    "bad, exc, message",
    [
        ([0.5, 1.0], TypeError, None),
        (np.zeros(3, dtype=np.float32), BufferError, "buffer contents are not compatible with f64"),
        (np.zeros(3, dtype=np.int64), BufferError, "buffer contents are not compatible with f64"),
        (np.zeros(3, dtype=">f8" if sys.byteorder == "little" else "<f8"), BufferError,
         "buffer contents are not compatible with f64"),
        (b"12345678", BufferError, "buffer contents are not compatible with f64"),
        (np.frombuffer(bytearray(17), dtype=np.uint8)[1:9].view(np.float64), BufferError,
         "buffer contents are insufficiently aligned for f64"),
        (3.0, TypeError, None),
    ],
)
@pytest.mark.parametrize("family", BATCHES)
def test_refused_buffers_carry_the_note(spline, family, bad, exc, message):
    with pytest.raises(exc) as info:
        getattr(spline, family + "_batch")(bad)
    if message:
        assert str(info.value) == message
    assert notes(info) == ["while processing 'xs'"]


def test_exporters_without_strides_are_refused(spline):
    # ctypes arrays export no strides when asked for them.
    values = (ctypes.c_double * 2)(0.5, 1.5)
    with pytest.raises(BufferError) as info:
        spline.value_batch(values)
    assert str(info.value) == "strides is null"
    assert notes(info) == ["while processing 'xs'"]


def test_strided_xs_is_refused_for_evaluation(spline):
    strided = np.linspace(0, 3, 10)[::2]
    with pytest.raises(ValueError) as info:
        spline.value_batch(strided)
    assert str(info.value) == "xs must be a C-contiguous float64 buffer"
    assert notes(info) == []
    with pytest.raises(ValueError, match="xs must be a C-contiguous float64 buffer"):
        spline.value_batch_into(strided, np.empty(5))


@pytest.mark.parametrize("family", BATCHES)
def test_out_refusals_write_nothing(spline, family):
    into = getattr(spline, family + "_batch_into")
    xs = np.array([0.1, 0.2, 0.3, 0.4])

    short = np.full(3, 9.0)
    with pytest.raises(ValueError) as info:
        into(xs, short)
    assert str(info.value) == "out holds 3 values but xs holds 4"
    assert (short == 9.0).all()

    target = np.full(4, 9.0)
    readonly = memoryview(target).toreadonly()
    with pytest.raises(ValueError) as info:
        into(xs, readonly)
    assert str(info.value) == "out must be a writable, C-contiguous float64 buffer"
    frozen = np.full(4, 9.0)
    frozen.flags.writeable = False
    with pytest.raises(ValueError, match="writable, C-contiguous"):
        into(xs, frozen)
    strided = np.full(8, 9.0)
    with pytest.raises(ValueError, match="writable, C-contiguous"):
        into(xs, strided[::2])
    assert (target == 9.0).all() and (strided == 9.0).all()

    with pytest.raises(BufferError) as info:
        into(xs, np.zeros(4, dtype=np.float32))
    assert notes(info) == ["while processing 'out'"]
    with pytest.raises(TypeError) as info:
        into([0.1], target)
    assert notes(info) == ["while processing 'xs'"]


def test_fit_accepts_strided_and_multidimensional_data(fitter):
    wide_x = np.repeat(X, 2)[::2]
    wide_y = np.repeat(Y, 2)[::2]
    a = fitter(wide_x, wide_y)
    b = fitter(X.copy(), Y.copy())
    np.testing.assert_array_equal(bits(a.value_batch(PROBES)), bits(b.value_batch(PROBES)))
    c = fitter(X.reshape(2, 3), array("d", Y))
    assert c.domain == b.domain


@pytest.mark.parametrize(
    "x, y, exc, note",
    [
        ([0.0, 1.0], Y[:2], TypeError, "while processing 'x'"),
        (X, list(Y), TypeError, "while processing 'y'"),
        (X.astype(np.float32), Y, BufferError, "while processing 'x'"),
    ],
)
def test_fit_refusals_name_the_argument(fitter, x, y, exc, note):
    with pytest.raises(exc) as info:
        fitter(x, y)
    assert notes(info) == [note]


def test_fit_on_empty_buffers_reports_the_count(fitter):
    with pytest.raises(ValueError) as info:
        fitter(array("d"), array("d"))
    assert str(info.value) == "need at least 2 data points, got 0"


@pytest.mark.parametrize(
    "x, y, message",
    [
        ([0, 1], [5], "x and y must have the same length (got 2 and 1)"),
        ([1], [2], "need at least 2 data points, got 1"),
        ([0, 1, 1, 2], [0, 1, 2, 3], "x must be strictly increasing; x[1] = 1 is not < x[2] = 1"),
        ([0, math.nan, 2], [0, 1, 4], "x must be strictly increasing; x[0] = 0 is not < x[1] = NaN"),
    ],
)
def test_data_errors_are_value_errors(fitter, x, y, message):
    with pytest.raises(ValueError) as info:
        fitter(np.array(x, dtype=float), np.array(y, dtype=float))
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_spline_objects_are_hashable_by_identity_and_closed(spline):
    assert hash(spline) == hash(spline)
    assert spline == spline
    with pytest.raises(TypeError):
        type(spline)()
    with pytest.raises(AttributeError):
        spline.domain = (0, 1)
    with pytest.raises(TypeError):
        spline.value(x=1.0, y=2.0)
    with pytest.raises(TypeError) as info:
        spline.value("a")
    assert notes(info) == ["while processing 'x'"]


def test_method_signatures(spline):
    cls = type(spline)
    for family in FAMILIES:
        assert getattr(cls, family).__text_signature__ == "($self, x)"
        assert getattr(cls, family + "_batch").__text_signature__ == "($self, xs)"
        assert getattr(cls, family + "_batch_into").__text_signature__ == "($self, xs, out)"
        assert getattr(cls, family).__doc__.startswith("The spline's ")
    assert cls.antiderivative.__text_signature__ == "($self, x)"
    assert cls.antiderivative_batch.__text_signature__ == "($self, xs)"
    assert cls.antiderivative_batch_into.__text_signature__ == "($self, xs, out)"
    assert cls.integral.__text_signature__ == "($self, a, b)"
