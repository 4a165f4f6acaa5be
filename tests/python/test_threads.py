"""Fits and batch evaluations run without the interpreter lock: threads
sharing splines (their integral tables built by concurrent first calls) and
fitting at once get the bits of one thread alone, and another thread runs
while a long batch computes."""

import pickle
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from conftest import FITTERS

THREADS = 4


def knots_and_data(n, seed):
    rng = np.random.default_rng(seed)
    x = np.cumsum(rng.uniform(0.1, 1.0, n))
    return x, np.exp(x / x[-1] * 2) + 0.01 * x


def batches(spline):
    """Every batch-into evaluation the class has, by name."""
    return sorted(name for name in dir(spline) if name.endswith("_batch_into"))


def evaluate_all(spline, xs, in_place):
    results = {}
    for name in batches(spline):
        out = xs.copy() if in_place else np.empty_like(xs)
        getattr(spline, name)(out if in_place else xs, out)
        results[name] = out.view(np.uint64)
    return results


@pytest.mark.parametrize("name", sorted(FITTERS))
def test_shared_splines_evaluate_as_one_thread_does(name):
    x, y = knots_and_data(5000, 1)
    xs = np.random.default_rng(2).uniform(x[0] - 1, x[-1] + 1, 20_000)
    alone = evaluate_all(FITTERS[name](x, y), xs, False)
    for _ in range(3):  # a fresh copy each round: its integral table is built by the threads
        shared = pickle.loads(pickle.dumps(FITTERS[name](x, y)))
        with ThreadPoolExecutor(THREADS) as pool:
            runs = list(pool.map(lambda k: evaluate_all(shared, xs, k % 2 == 1), range(2 * THREADS)))
        for run in runs:
            for batch, bits in alone.items():
                np.testing.assert_array_equal(run[batch], bits, err_msg=batch)


@pytest.mark.parametrize("name", sorted(FITTERS))
def test_concurrent_fits_give_the_states_of_single_fits(name):
    data = [knots_and_data(n, seed) for seed, n in enumerate([3, 64, 2000, 30_000, 30_000])]
    alone = [FITTERS[name](x, y).__reduce__() for x, y in data]
    with ThreadPoolExecutor(THREADS) as pool:
        together = list(pool.map(lambda d: FITTERS[name](*d).__reduce__(), data * 2))
    assert together == alone * 2


def test_another_thread_runs_during_a_long_batch():
    """Holding the lock, the batch would stop this thread for all its length."""
    x, y = knots_and_data(10**5, 3)
    spline = FITTERS[sorted(FITTERS)[0]](x, y)
    xs = np.random.default_rng(4).uniform(x[0], x[-1], 8 * 10**6)
    out = np.empty_like(xs)
    began = time.perf_counter()
    spline.value_batch_into(xs, out)
    length = time.perf_counter() - began
    done = threading.Event()
    worker = threading.Thread(target=lambda: (spline.value_batch_into(xs, out), done.set()))
    turns = [time.perf_counter()]
    worker.start()
    while not done.is_set():
        turns.append(time.perf_counter())
    turns.append(time.perf_counter())  # after the wait for the lock, if it was held
    worker.join()
    assert max(np.diff(turns)) < length / 2
