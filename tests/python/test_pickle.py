"""Pickle and copy: round trips, bit-for-bit evaluation, refusal of bad states,
and splines sent to worker processes."""

import concurrent.futures
import copy
import hashlib
import pathlib
import pickle
import random
import struct

import numpy as np
import pytest

import velarix
from velarix import datasets

from conftest import CONFIGURATIONS, FITTERS, METHODS, REGISTRY, X, Y, accepts, builders, sample, seal

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def configured(cls):
    """The configuration with every builder applied, each with settings other than its defaults."""
    config = cls()
    for builder in builders(cls):
        config = builder(config, *sample(builder))
    return config


CONFIGURATIONS = {
    "estimated": velarix.EndSlopes.estimated(),
    "clamped": velarix.EndSlopes.clamped(-1.5, 2.25),
    "limited": velarix.EndSlopes.limited(),
    # Every method's defaults and variants, the configuration interpolate
    # uses, and every builder applied.
    **CONFIGURATIONS,
    **{f"{name}_interpolate": m.interpolation_configuration for name, m in REGISTRY.items()},
    **{f"{name}_configured": configured(cls) for name, cls in METHODS.items()},
}

# Convex data, concave data (a convex fit's mirrored case) and the
# classic sets, fitted by every method and variant that accepts them.
DATA = {"convex": (X, Y), "concave": (X, -Y), "titanium": datasets.titanium(),
        "akima": datasets.akima()}
FITS = {f"{name}-{data}": (name, *DATA[data]) for name in FITTERS for data in DATA
        if accepts(CONFIGURATIONS[name], *DATA[data])}


def fitted(key):
    name, x, y = FITS[key]
    return FITTERS[name](np.asarray(x, float), np.asarray(y, float))


def attributes(obj):
    """Every property of the object."""
    return {a: getattr(obj, a) for a in dir(type(obj))
            if type(getattr(type(obj), a)).__name__ == "getset_descriptor"}


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


# Every float setting of every configuration, set to -0.0.
NEGATIVE_ZEROS = [(cls, b) for cls in METHODS.values() for b in builders(cls) if "float" in b.kinds]


@pytest.mark.parametrize("cls, builder", NEGATIVE_ZEROS,
                         ids=[f"{cls.__name__}.{b.name}" for cls, b in NEGATIVE_ZEROS])
def test_a_restored_configuration_keeps_a_negative_zero(cls, builder):
    arguments = [-0.0 if kind == "float" else value
                 for kind, value in zip(builder.kinds, sample(builder))]
    restored = pickle.loads(pickle.dumps(builder(cls(), *arguments)))
    setting = getattr(restored, builder.name.removeprefix("with_"))
    settings = setting if isinstance(setting, tuple) else (setting,)
    assert [struct.pack("<d", v) for v, k in zip(settings, builder.kinds) if k == "float"] == [
        struct.pack("<d", -0.0)] * builder.kinds.count("float")


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


# Every class, every method's spline on uneven convex data.
EVERY_CLASS = [velarix.EndSlopes.clamped(-1.5, 2.25), *CONFIGURATIONS.values(),
               *(fitted(f"{name}-convex") for name in REGISTRY)]


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


@pytest.mark.parametrize("obj", EVERY_CLASS, ids=lambda obj: type(obj).__name__)
def test_reduce_names_the_package_reconstructor(obj):
    restore, (name, state) = obj.__reduce__()
    assert restore is velarix._restore
    assert (name, type(state)) == (type(obj).__name__, bytes)


# Every method's spline on convex data and on the Akima data where it fits them.
SMALL = [key for name in REGISTRY for key in (f"{name}-convex", f"{name}-akima") if key in FITS]


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
    "name, state, error",
    [("Nope", b"", ValueError), (3, b"", ValueError)] + [
        (name, state, TypeError) for name in velarix._velarix.__all__
        for state in ("not bytes", bytearray(b"\x01\x04"))
    ],
)
def test_restore_refuses_foreign_input(name, state, error):
    with pytest.raises(error):
        velarix._restore(name, state)


@pytest.mark.parametrize("obj", EVERY_CLASS, ids=lambda obj: type(obj).__name__)
def test_a_state_of_another_class_is_refused(obj):
    _, (_, state) = obj.__reduce__()
    for name in velarix._velarix.__all__:
        if name != type(obj).__name__:
            with pytest.raises(ValueError, match="^invalid saved state: state of another class at byte 1$"):
                getattr(velarix, name)._from_state(state)


def evaluate_chunk(spline, chunk):
    return np.asarray(spline.value_batch(chunk))


@pytest.mark.parametrize("key", [f"{name}-titanium" for name in REGISTRY if f"{name}-titanium" in FITS])
def test_process_pool_evaluates_chunks_like_the_parent(key):
    spline = fitted(key)
    xs = np.linspace(590.0, 1080.0, 200_000)
    chunks = np.array_split(xs, 8)
    with concurrent.futures.ProcessPoolExecutor(max_workers=2) as pool:
        parts = list(pool.map(evaluate_chunk, [spline] * len(chunks), chunks))
    assert np.concatenate(parts).tobytes() == np.asarray(spline.value_batch(xs)).tobytes()


@pytest.mark.parametrize("key", [f"{name}-titanium" for name in REGISTRY if f"{name}-titanium" in FITS])
def test_dask_map_blocks_on_processes_matches_direct_evaluation(key):
    da = pytest.importorskip("dask.array")
    import dask

    spline = fitted(key)
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
    objects.append(velarix.GridSurface.fit("shape", (X, X), np.outer(Y, Y).ravel()))
    kinds = {obj.__reduce__()[1][1][1]: type(obj).__name__ for obj in objects}
    assert sorted(kinds.values()) == sorted(velarix._velarix.__all__)


@pytest.mark.parametrize("make", [
    lambda: velarix.interpolate([0.0, 1, 3], [[0.0, 1], [1, 0], [4, 2]], axis=0),
    lambda: velarix.smooth(np.arange(6.0), np.arange(6.0) ** 2, lam=1.0),
], ids=["interpolant", "smoothed"])
def test_every_bit_flip_of_a_pickled_interpolant_is_refused_or_loads_it_equal(make):
    f = make()
    state = pickle.dumps(f, protocol=5)
    grid = np.linspace(-1, 7, 33)
    loaded = 0
    for bit in range(8 * len(state)):
        flipped = bytearray(state)
        flipped[bit // 8] ^= 1 << (bit % 8)
        try:
            g = pickle.loads(bytes(flipped))
        except Exception:  # noqa: BLE001 - any refusal will do, only a different object fails
            continue
        # A flip in pickle's own framing may load the bytes or the tuple around
        # the state instead (so it does for the splines): never an interpolant.
        if isinstance(g, velarix.Interpolant):
            loaded += 1
            assert type(g) is type(f) and pickle.dumps(g, protocol=5) == state, bit
            np.testing.assert_array_equal(g(grid), f(grid))
    assert loaded < 8 * len(state) // 50
