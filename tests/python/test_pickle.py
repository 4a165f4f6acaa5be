"""Pickle and copy: round trips, bit-for-bit evaluation, refusal of bad states,
and splines sent to worker processes."""

import concurrent.futures
import copy
import hashlib
import pathlib
import pickle
import random
import struct
import zlib

import numpy as np
import pytest

import velarix
from velarix import datasets

from conftest import FITTERS, METHODS, X, Y

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)

CONFIGURATIONS = {
    "estimated": velarix.EndSlopes.estimated(),
    "clamped": velarix.EndSlopes.clamped(-1.5, 2.25),
    "limited": velarix.EndSlopes.limited(),
    "rational_cubic": velarix.RationalCubic()
    .with_shape(2.0, 3.0)
    .with_boundary(velarix.EndSlopes.clamped(0.5, 4.0))
    .with_convexity_margin(0.01)
    .with_relaxation(0.25)
    .with_max_iterations(77),
    "tension": velarix.Tension(),
    "tension_uniform": velarix.Tension().with_uniform_tension(-0.0).with_tolerance(1e-3),
    "variable_degree": velarix.VariableDegree().with_max_degree(12.5).with_max_iterations(5),
    # Every method's defaults, so that a new method is covered too.
    **{f"{name}_default": cls() for name, cls in METHODS.items()},
}

FITTERS = {
    **FITTERS,
    # A small tension: the hyperbolic form of the tension piece (the selected
    # tensions give the cubic and exponential forms).
    "tension_small": lambda x, y: velarix.Tension().with_uniform_tension(0.3).fit(x, y),
}

# Concave data for the rational cubic's mirrored case, and the classic sets.
FITS = {
    **{f"{name}-convex": (name, X, Y) for name in FITTERS},
    "rational_cubic-concave": ("rational_cubic", X, -Y),
    "tension-titanium": ("tension", *datasets.titanium()),
    "tension-akima": ("tension", *datasets.akima()),
    "tension_uniform-titanium": ("tension_uniform", *datasets.titanium()),
    "tension_small-akima": ("tension_small", *datasets.akima()),
    "variable_degree-titanium": ("variable_degree", *datasets.titanium()),
}

ATTRIBUTES = [
    "domain",
    "tension_parameters",
    "iterations",
    "is_concave",
    "tensions",
    "degrees",
    "is_shape_preserving",
]


def fitted(key):
    name, x, y = FITS[key]
    return FITTERS[name](x, y)


def attributes(obj):
    return {a: getattr(obj, a) for a in ATTRIBUTES if hasattr(obj, a)}


def assert_same_spline(a, b, x):
    assert type(a) is type(b)
    assert repr(a) == repr(b)
    assert attributes(a) == attributes(b)
    lo, hi = a.domain
    xs = np.concatenate([np.linspace(lo - 1, hi + 1, 2001), np.asarray(x, dtype=float), [np.nan]])
    for method in ("value_batch", "first_derivative_batch", "second_derivative_batch"):
        got = np.asarray(getattr(b, method)(xs))
        want = np.asarray(getattr(a, method)(xs))
        # Bit for bit, NaNs included.
        assert got.tobytes() == want.tobytes(), method


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("key", sorted(CONFIGURATIONS))
def test_configuration_round_trip(key, protocol):
    original = CONFIGURATIONS[key]
    restored = pickle.loads(pickle.dumps(original, protocol=protocol))
    assert type(restored) is type(original)
    assert restored == original
    assert repr(restored) == repr(original)


def test_a_restored_configuration_keeps_a_negative_zero_tension():
    restored = pickle.loads(pickle.dumps(CONFIGURATIONS["tension_uniform"]))
    assert struct.pack("<d", restored.uniform_tension) == struct.pack("<d", -0.0)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("key", sorted(FITS))
def test_spline_round_trip_evaluates_bit_for_bit(key, protocol):
    spline = fitted(key)
    restored = pickle.loads(pickle.dumps(spline, protocol=protocol))
    assert_same_spline(spline, restored, FITS[key][1])


@pytest.mark.parametrize("key", sorted(FITS))
def test_restored_spline_pickles_to_the_same_state(key):
    spline = fitted(key)
    once = pickle.dumps(spline)
    assert pickle.dumps(pickle.loads(once)) == once


@pytest.mark.parametrize("obj", [*CONFIGURATIONS.values(), *(fitted(k) for k in FITS)], ids=repr)
def test_copies_are_the_object_itself(obj):
    # Every object is immutable, so a copy need not be a new object.
    assert copy.copy(obj) is obj
    assert copy.deepcopy(obj) is obj
    assert copy.deepcopy([obj, obj])[0] is obj


def spline_state(key):
    _, (name, state) = fitted(key).__reduce__()
    assert name == type(fitted(key)).__name__
    return type(fitted(key)), state


def seal(fields):
    """A state of these fields with its checksum (CRC-32, little-endian): a
    tampered state sealed again reaches the checks behind the checksum."""
    return fields + struct.pack("<I", zlib.crc32(fields))


# Every class, the three splines on uneven convex data.
EVERY_CLASS = [velarix.EndSlopes.clamped(-1.5, 2.25), *CONFIGURATIONS.values(),
               *(fitted(f"{name}-convex") for name in ("rational_cubic", "tension", "variable_degree"))]


@pytest.mark.parametrize("obj", EVERY_CLASS, ids=lambda obj: type(obj).__name__)
def test_every_bit_flip_and_every_truncation_is_refused_as_damage(obj):
    state = obj.__reduce__()[1][1]
    assert state[0] == 2 and seal(state[:-4]) == state
    damaged = [bytes(state[:length]) for length in range(1, len(state))]
    for bit in range(8 * len(state)):
        flipped = bytearray(state)
        flipped[bit // 8] ^= 1 << (bit % 8)
        damaged.append(bytes(flipped))
    for tampered in damaged:
        with pytest.raises(ValueError, match=r"^invalid saved state: damaged: "):
            type(obj)._from_state(tampered)


def test_reduce_names_the_package_reconstructor():
    restore, (name, state) = velarix.Tension().__reduce__()
    assert restore is velarix._restore
    assert (name, type(state)) == ("Tension", bytes)


SMALL = ["rational_cubic-convex", "tension-akima", "variable_degree-convex"]


@pytest.mark.parametrize("key", SMALL)
def test_every_truncation_is_refused(key):
    cls, state = spline_state(key)
    for length in range(len(state)):
        with pytest.raises(ValueError, match=r"^invalid saved state: "):
            cls._from_state(state[:length])


@pytest.mark.parametrize("key", SMALL)
def test_a_trailing_byte_is_refused(key):
    cls, state = spline_state(key)
    fields = state[:-4]
    with pytest.raises(ValueError, match=f"^invalid saved state: trailing bytes at byte {len(fields)}$"):
        cls._from_state(seal(fields + b"\0"))


@pytest.mark.parametrize("key", SMALL)
def test_random_byte_flips_never_crash(key):
    # Behind the checksum, a flip in a piece field gives another spline; a
    # flip anywhere else must be refused. Either way the result evaluates
    # without reading astray.
    cls, state = spline_state(key)
    rng = random.Random(6)
    xs = np.linspace(-5.0, 25.0, 301)
    for _ in range(400):
        tampered = bytearray(state)
        for _ in range(rng.randint(1, 3)):
            tampered[rng.randrange(len(tampered))] ^= 1 << rng.randrange(8)
        try:
            spline = cls._from_state(seal(bytes(tampered[:-4])))
        except ValueError as e:
            assert str(e).startswith("invalid saved state: ")
            continue
        spline.value_batch(xs)
        spline.second_derivative_batch(xs)


def put_f64(state, offset, value):
    return state[:offset] + struct.pack("<d", value) + state[offset + 8 :]


def put_u64(state, offset, value):
    return state[:offset] + struct.pack("<Q", value) + state[offset + 8 :]


# The knot count is at byte 2, the first knot at byte 10.
@pytest.mark.parametrize(
    "tamper, message",
    [
        (lambda s: bytes([9]) + s[1:], "unknown layout version at byte 0"),
        (lambda s: s[:1] + bytes([1]) + s[2:], "state of another class at byte 1"),
        (lambda s: put_u64(s, 2, 1), "fewer than 2 knots at byte 2"),
        (lambda s: put_u64(s, 2, 0), "fewer than 2 knots at byte 2"),
        (lambda s: put_u64(s, 2, 2**62), "truncated at byte 10"),
        (lambda s: put_f64(s, 18, float("nan")), "knots not strictly increasing at byte 18"),
        (lambda s: put_f64(s, 18, 0.0), "knots not strictly increasing at byte 18"),
        (lambda s: put_f64(s, 26, 0.3), "knots not strictly increasing at byte 26"),
    ],
    ids=["version", "kind", "one-knot", "no-knot", "huge-count", "nan-knot",
         "repeated-knot", "decreasing-knot"],
)
@pytest.mark.parametrize("key", SMALL)
def test_tampered_header_and_knots(key, tamper, message):
    cls, state = spline_state(key)
    with pytest.raises(ValueError, match=f"^invalid saved state: {message}"):
        cls._from_state(seal(tamper(state[:-4])))


@pytest.mark.parametrize(
    "key, offset",
    [
        # After the count, the knots and each interval's tension: the form tag.
        ("tension-akima", 2 + 8 + 11 * 8 + 8),
        # The concave flag, last byte.
        ("rational_cubic-convex", -1),
    ],
)
def test_tag_out_of_range(key, offset):
    cls, state = spline_state(key)
    state = state[:-4]
    offset %= len(state)
    tampered = state[:offset] + bytes([4]) + state[offset + 1 :]
    with pytest.raises(ValueError, match=f"^invalid saved state: tag out of range at byte {offset}$"):
        cls._from_state(seal(tampered))


@pytest.mark.parametrize(
    "name, state, error",
    [
        ("Nope", b"", ValueError),
        (3, b"", ValueError),
        ("Tension", "not bytes", TypeError),
        ("Tension", bytearray(b"\x01\x04"), TypeError),
    ],
)
def test_restore_refuses_foreign_input(name, state, error):
    with pytest.raises(error):
        velarix._restore(name, state)


def test_a_state_of_another_class_is_refused():
    _, (_, state) = velarix.Tension().__reduce__()
    with pytest.raises(ValueError, match="^invalid saved state: state of another class at byte 1$"):
        velarix.VariableDegree._from_state(state)


def evaluate_chunk(spline, chunk):
    return np.asarray(spline.value_batch(chunk))


@pytest.mark.parametrize("key", ["tension-titanium", "variable_degree-titanium"])
def test_process_pool_evaluates_chunks_like_the_parent(key):
    spline = fitted(key)
    xs = np.linspace(590.0, 1080.0, 200_000)
    chunks = np.array_split(xs, 8)
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        parts = list(pool.map(evaluate_chunk, [spline] * len(chunks), chunks))
    assert np.concatenate(parts).tobytes() == np.asarray(spline.value_batch(xs)).tobytes()


def test_dask_map_blocks_on_processes_matches_direct_evaluation():
    da = pytest.importorskip("dask.array")
    import dask

    spline = velarix.Tension().fit(*datasets.titanium())
    xs = np.linspace(590.0, 1080.0, 100_000)
    lazy = da.from_array(xs, chunks=25_000).map_blocks(
        lambda block: np.asarray(spline.value_batch(block)), dtype=float
    )
    with dask.config.set(scheduler="processes", num_workers=2):
        got = lazy.compute()
    assert got.tobytes() == np.asarray(spline.value_batch(xs)).tobytes()


def saved_states():
    path = pathlib.Path(__file__).parent / "fixtures" / "states.txt"
    lines = path.read_text().splitlines()
    return [line.split() for line in lines if not line.startswith("#")]


def evaluation_digest(spline):
    lo, hi = spline.domain
    xs = np.concatenate([np.linspace(lo - 1, hi + 1, 401), [np.nan]])
    h = hashlib.sha256()
    for method in ("value_batch", "first_derivative_batch", "second_derivative_batch"):
        h.update(np.asarray(getattr(spline, method)(xs)).tobytes())
    return h.hexdigest()


@pytest.mark.parametrize("key, name, state, digest", saved_states(), ids=lambda v: v[:40])
def test_states_of_an_earlier_release_load_and_evaluate_bit_for_bit(key, name, state, digest):
    restored = velarix._restore(name, bytes.fromhex(state))
    assert type(restored).__name__ == name
    # The same fields, saved again in the checksummed layout.
    assert restored.__reduce__()[1][1] == seal(bytes([2]) + bytes.fromhex(state)[1:])
    if digest != "-":
        assert evaluation_digest(restored) == digest


def test_every_class_saves_under_a_kind_of_its_own():
    # A kind shared by two classes would let the state of one load as the
    # other; the kinds are one enum in src/state.hpp.
    objects = [velarix.EndSlopes.estimated()]
    for cls in METHODS.values():
        objects += [cls(), cls().fit(X, Y)]
    objects += [velarix.Smoother(), velarix.Smoother().fit(X, Y)]
    kinds = {obj.__reduce__()[1][1][1]: type(obj).__name__ for obj in objects}
    assert sorted(kinds.values()) == sorted(velarix._velarix.__all__)
