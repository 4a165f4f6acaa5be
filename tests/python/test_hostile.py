"""Every public callable against generated hostile arguments.

Each argument is judged by an independent oracle: the interpreter's own
conversion for floats and counts, and a model of the float64 buffer rules
(itemsize, format and byte order, alignment, contiguity, writability) built
from memoryview and numpy. A call must then either succeed with exactly the
result the plainly converted arguments give, or raise the documented
exception with the documented message and note, and a failed call into
`out` must leave the caller's memory as it was."""

import math
import operator
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from velarix import EndSlopes

from conftest import FITTERS, METHODS, X, Y, builders

SETTINGS = settings(max_examples=40, deadline=None, suppress_health_check=list(HealthCheck))
FAMILIES = ["value", "first_derivative", "second_derivative", "third_derivative"]
SPLINES = {name: fit(X, Y) for name, fit in FITTERS.items()}


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64)


class Raises:
    """A number-like object whose conversion hooks raise."""

    def __float__(self):
        raise ZeroDivisionError("float hook")

    def __index__(self):
        raise KeyError("index hook")


class FloatJunk:
    def __float__(self):
        return "junk"


class IndexJunk:
    def __index__(self):
        return 2.5


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Outer:
    class Inner:
        pass


scalars = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(min_value=-(2**70), max_value=2**70),
    st.sampled_from([2**64 - 1, 2**64, -1, 0, 2**2000, True, False]),
    st.floats().map(FloatOnly),
    st.integers(min_value=-(2**66), max_value=2**66).map(IndexOnly),
    st.builds(Raises),
    st.builds(FloatJunk),
    st.builds(IndexJunk),
    st.builds(Outer.Inner),
    st.sampled_from([None, "1.5", b"1", [1.0], (1.0,), 1j, Decimal("0.1"), Fraction(1, 3),
                     np.float32(0.1), np.int64(-3), np.float64("nan"), EndSlopes.estimated(),
                     EndSlopes.clamped(1.0, -2.0), object()]),
)


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - every exception is compared
        return (type(error), str(error))


def float_oracle(value):
    # ldexp(x, 0) converts its first argument exactly as a C double parameter
    # is converted, and returns it unchanged.
    return outcome(lambda: math.ldexp(value, 0))


def count_oracle(value):
    converted = outcome(lambda: operator.index(value))
    if converted[0] != "ok":
        return converted
    if converted[1] < 0:
        return (OverflowError, "can't convert negative int to unsigned")
    if converted[1] >= 2**64:
        return (OverflowError, "int too big to convert")
    return converted


def boundary_oracle(value):
    if isinstance(value, EndSlopes):
        return ("ok", value)
    if value is None:
        return (TypeError, "'None' is not an instance of 'EndSlopes'")
    return (TypeError, f"'{type(value).__qualname__}' object is not an instance of 'EndSlopes'")


def bool_oracle(value):
    if isinstance(value, bool):
        return ("ok", value)
    return (TypeError, f"expected bool, got '{type(value).__qualname__}'")


def choice_oracle(value, choices):
    # A name outside the choices is refused by the setting's own message,
    # which ends with the name given (None: any such message).
    if not isinstance(value, str):
        return (TypeError, f"expected str, got '{type(value).__qualname__}'")
    return ("ok", value) if value in choices else (ValueError, None)


ORACLES = {"float": float_oracle, "count": count_oracle, "bool": bool_oracle,
           "boundary": boundary_oracle}

# (receiver, method, parameters with their kinds, the names a "choice"
# takes): every builder of every configuration class, each parameter's kind
# found from the class itself.
SCALAR_CALLS = [
    (lambda: EndSlopes, "clamped", [("left", "float"), ("right", "float")], ()),
] + [
    (builder.cls, builder.name, list(zip(builder.parameters, builder.kinds, strict=True)),
     builder.choices)
    for cls in METHODS.values() for builder in builders(cls) if builder.parameters
] + [
    (lambda s=spline: s, family, [("x", "float")], ())
    for spline in SPLINES.values()
    for family in FAMILIES + ["__call__", "antiderivative"]
]


def oracle(kind, value, choices):
    return choice_oracle(value, choices) if kind == "choice" else ORACLES[kind](value)


def comparable(result):
    """What two results must share: the bits of a float, the text of anything else."""
    if isinstance(result, float):
        return ("float", int(bits(result)))
    return (type(result), repr(result))


def call_id(entry):
    receiver, method, *_ = entry
    return f"{type(receiver()).__name__}.{method}"


@pytest.mark.parametrize("entry", SCALAR_CALLS, ids=[call_id(e) for e in SCALAR_CALLS])
@SETTINGS
@given(data=st.data())
def test_scalar_parameters_convert_or_raise_as_documented(entry, data):
    receiver, method, parameters, choices = entry
    # A name parameter gets its own names as well as the hostile scalars.
    arguments = [data.draw(st.one_of(scalars, st.sampled_from(choices)) if kind == "choice"
                           else scalars, label=name) for name, kind in parameters]
    expected = [oracle(kind, argument, choices) for (_, kind), argument in zip(parameters, arguments)]
    before = repr(receiver())
    target = getattr(receiver(), method)
    failed = next(((name, e) for (name, _), e in zip(parameters, expected) if e[0] != "ok"), None)
    if failed is None:
        got = target(*arguments)
        plain = target(*[e[1] for e in expected])
        assert comparable(got) == comparable(plain)
    else:
        name, (kind, text) = failed
        with pytest.raises(Exception) as info:
            target(*arguments)
        assert type(info.value) is kind
        if text is None:  # a name outside the choices, refused in the setting's own words
            failed_argument = arguments[[n for n, _ in parameters].index(name)]
            assert str(info.value).endswith(f", got {failed_argument!r}")
            assert getattr(info.value, "__notes__", []) == []
        else:
            assert str(info.value) == text
            assert getattr(info.value, "__notes__", []) == [f"while processing '{name}'"]
    assert repr(receiver()) == before


# Buffers: every dtype family numpy exports, with its byte order, in up to
# three dimensions, sliced, offset off the 8-byte grid, read-only, empty.
DTYPES = ["<f8", ">f8", "=f8", "<f4", "<f2", "<i8", "<u8", "<c8", "<c16", "|i1", "|b1", "<u2"]


@st.composite
def buffers(draw, size=None, increasing=False):
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    ndim = draw(st.integers(0, 3))
    shape = tuple(draw(st.lists(st.integers(0, 4), min_size=ndim, max_size=ndim)))
    if size is not None:
        shape = (size,)
    count = int(np.prod(shape)) if shape else 1
    step = draw(st.sampled_from([1, 1, 2, -1]))
    offset = draw(st.sampled_from([0, 0, 0, 1, 4]))
    raw = np.frombuffer(bytearray((count * abs(step) + 2) * dtype.itemsize + offset), np.uint8)
    flat = raw[offset:offset + count * abs(step) * dtype.itemsize].view(dtype)
    flat[...] = draw(st.lists(st.floats(-4, 4), min_size=flat.size, max_size=flat.size)) or 0
    flat = flat[::step] if step > 0 else flat[::-1]
    array = flat.reshape(shape) if shape else flat[:1].reshape(())
    if increasing:
        # Knots increasing in row-major order, whatever the strides.
        array[...] = np.arange(array.size).reshape(array.shape) * 0.75 - 1
    if draw(st.booleans()):
        array.flags.writeable = False
    if draw(st.booleans()):
        return memoryview(array)
    return array


not_buffers = st.sampled_from([None, 1.5, 3, "abc", [0.5, 1.0], (0.5,), {0.5: 1}, object()])


def buffer_oracle(obj):
    """The refusal a data parameter gets, or None when the buffer is accepted."""
    try:
        view = memoryview(obj)
    except TypeError:
        return (TypeError, f"a bytes-like object is required, not '{type(obj).__name__}'")
    if view.ndim == 0:
        return (BufferError, "shape is null")
    native = {"little": "<d", "big": ">d"}[sys.byteorder]
    if view.itemsize != 8 or view.format not in ("d", "@d", "=d", native):
        return (BufferError, "buffer contents are not compatible with f64")
    if view.nbytes and np.asarray(obj).__array_interface__["data"][0] % 8:
        return (BufferError, "buffer contents are insufficiently aligned for f64")
    return None


def expect(call, kind, text, notes):
    with pytest.raises(Exception) as info:
        call()
    assert type(info.value) is kind and str(info.value) == text
    assert getattr(info.value, "__notes__", []) == notes


def refuse(obj, name):
    refusal = buffer_oracle(obj)
    return refusal and (refusal[0], refusal[1], [f"while processing '{name}'"])


@pytest.mark.parametrize("spline", sorted(SPLINES))
@SETTINGS
@given(xs=st.one_of(buffers(), not_buffers), family=st.sampled_from(FAMILIES + ["antiderivative"]))
def test_batch_accepts_exactly_the_float64_buffers(spline, family, xs):
    spline = SPLINES[spline]
    batch = getattr(spline, family + "_batch")
    refusal = refuse(xs, "xs")
    if refusal:
        expect(lambda: batch(xs), *refusal)
    elif not memoryview(xs).c_contiguous:
        expect(lambda: batch(xs), ValueError, "xs must be a C-contiguous float64 buffer", [])
    else:
        scalar = getattr(spline, family)
        expected = [scalar(float(v)) for v in np.asarray(xs).ravel()]
        np.testing.assert_array_equal(bits(batch(xs)), bits(expected))


@pytest.mark.parametrize("spline", sorted(SPLINES))
@SETTINGS
@given(xs=st.one_of(buffers(), not_buffers), out=st.one_of(buffers(), not_buffers))
def test_batch_into_refuses_or_writes_and_never_half_writes(spline, xs, out):
    spline = SPLINES[spline]
    into = spline.first_derivative_batch_into
    snapshot = bytes(memoryview(out).tobytes()) if buffer_oracle(out) is None else None
    refusal = refuse(xs, "xs") or refuse(out, "out")
    if refusal is None:
        xs_view, out_view = memoryview(xs), memoryview(out)
        if not xs_view.c_contiguous:
            refusal = (ValueError, "xs must be a C-contiguous float64 buffer", [])
        elif out_view.readonly or not out_view.c_contiguous:
            refusal = (ValueError, "out must be a writable, C-contiguous float64 buffer", [])
        elif out_view.nbytes != xs_view.nbytes:
            refusal = (ValueError,
                       f"out holds {out_view.nbytes // 8} values but xs holds {xs_view.nbytes // 8}",
                       [])
    if refusal:
        expect(lambda: into(xs, out), *refusal)
        if snapshot is not None:
            assert memoryview(out).tobytes() == snapshot
    else:
        expected = [spline.first_derivative(float(v)) for v in np.asarray(xs).ravel()]
        assert into(xs, out) is None
        np.testing.assert_array_equal(bits(np.asarray(out).ravel()), bits(expected))


@pytest.mark.parametrize("spline", sorted(SPLINES))
@SETTINGS
@given(
    values=st.lists(st.floats(allow_nan=True, allow_infinity=True), min_size=1, max_size=12),
    start=st.integers(0, 11),
    shift=st.integers(-11, 11),
    length=st.integers(0, 12),
)
def test_partially_overlapping_out_is_written_in_index_order(spline, values, start, shift, length):
    spline = SPLINES[spline]
    base = np.array(values)
    assume(start + length <= base.size and 0 <= start + shift and start + shift + length <= base.size)
    # Element i is read before element i is written, so an `out` that starts
    # later than `xs` sees earlier results: the plain loop is the reference.
    reference = base.copy()
    for i in range(length):
        reference[start + shift + i] = spline.value(float(reference[start + i]))
    spline.value_batch_into(base[start:start + length], base[start + shift:start + shift + length])
    np.testing.assert_array_equal(bits(base), bits(reference))


def fit_outcome(fit, x, y):
    result = outcome(lambda: fit(x, y))
    if result[0] != "ok":
        return result
    spline = result[1]
    return ("ok", repr(spline), tuple(bits(spline.value_batch(np.asarray(x, float).ravel()))))


@pytest.mark.parametrize("method", sorted(FITTERS))
@SETTINGS
@given(size=st.integers(0, 6), data=st.data())
def test_fit_copies_any_accepted_buffer_like_its_contiguous_copy(method, size, data):
    fit = FITTERS[method]
    x = data.draw(st.one_of(buffers(size, increasing=True), not_buffers), label="x")
    y = data.draw(st.one_of(buffers(size), not_buffers), label="y")
    refusal = refuse(x, "x") or refuse(y, "y")
    if refusal:
        expect(lambda: fit(x, y), *refusal)
        return
    plain_x = np.asarray(x).ravel().astype(np.float64)
    plain_y = np.asarray(y).ravel().astype(np.float64)
    assert fit_outcome(fit, x, y) == fit_outcome(fit, plain_x, plain_y)


def test_huge_counts_fail_cleanly():
    strided = np.lib.stride_tricks.as_strided
    huge = strided(np.zeros(1), shape=(10**12,), strides=(0,))
    spline = next(iter(SPLINES.values()))
    # The output array of 8 TB cannot be made: MemoryError, nothing written.
    with pytest.raises(MemoryError):
        spline.value_batch(huge)
    with pytest.raises(ValueError, match="xs must be a C-contiguous float64 buffer"):
        spline.value_batch_into(huge, huge)
    for fit in FITTERS.values():
        with pytest.raises(MemoryError):
            fit(huge, np.zeros(3))
    counts = [(cls, b.name) for cls in METHODS.values() for b in builders(cls) if b.kinds == ("count",)]
    assert counts
    for cls, name in counts:
        configured = getattr(cls(), name)(2**64 - 1)
        assert getattr(configured, name.removeprefix("with_")) == 2**64 - 1, (cls, name)
    # The interpreter and the spline are intact afterwards.
    assert spline.value(X[1]) == Y[1]
