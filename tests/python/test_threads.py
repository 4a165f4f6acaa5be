"""Fits and long batches run without the interpreter lock: threads sharing
fresh splines (whose integral tables they build at once) or fitting together
get the bits of one thread, and another thread runs during a long batch."""

import os
import pickle
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import velarix
from conftest import FITTERS


def data(n):
    x = np.cumsum(np.random.default_rng(n).uniform(0.1, 1.0, n))
    return x, np.exp(x / x[-1] * 2) + 0.01 * x


def evaluate_all(spline, xs, in_place):
    """Every batch-into evaluation of the class, into a new array or over xs."""
    out = {name: xs.copy() for name in dir(spline) if name.endswith("_batch_into")}
    for name, into in out.items():
        getattr(spline, name)(into if in_place else xs, into)
    return {name: into.view(np.uint64) for name, into in out.items()}


@pytest.mark.parametrize("name", sorted(FITTERS))
def test_threads_share_splines_and_fit_with_the_bits_of_one(name):
    fit = FITTERS[name]
    xs = np.random.default_rng(2).uniform(-1, 3000, 20_000)
    alone = evaluate_all(fit(*data(5000)), xs, False)
    with ThreadPoolExecutor(4) as pool:
        for _ in range(3):
            shared = pickle.loads(pickle.dumps(fit(*data(5000))))  # no integral table yet
            for run in pool.map(lambda k: evaluate_all(shared, xs, k % 2), range(8)):
                assert all(np.array_equal(run[batch], bits) for batch, bits in alone.items())
        together = list(pool.map(lambda n: fit(*data(n)).__reduce__(), [3, 64, 2000, 30_000] * 2))
    assert together == [fit(*data(n)).__reduce__() for n in [3, 64, 2000, 30_000]] * 2


def test_another_thread_runs_during_a_long_batch():
    """Holding the lock, the batch would stop this thread for all its length."""
    spline = FITTERS[sorted(FITTERS)[0]](*data(10**5))
    xs, out = np.random.default_rng(4).uniform(0, 5 * 10**4, 8 * 10**6), np.empty(8 * 10**6)
    began = time.perf_counter()
    spline.value_batch_into(xs, out)
    length, done = time.perf_counter() - began, threading.Event()
    turns = [time.perf_counter()]
    worker = threading.Thread(target=lambda: (spline.value_batch_into(xs, out), done.set()))
    worker.start()
    while not done.is_set():
        turns.append(time.perf_counter())
    turns.append(time.perf_counter())  # after the wait for the lock, if it was held
    worker.join()
    assert max(np.diff(turns)) < length / 2


def test_set_workers_belongs_to_its_thread_and_is_restored():
    cores = velarix.get_workers()
    with velarix.set_workers(3):
        assert velarix.get_workers() == 3
        with ThreadPoolExecutor(1) as pool:
            assert pool.submit(velarix.get_workers).result() == cores
        with pytest.raises(KeyError), velarix.set_workers(1):
            raise KeyError
        assert velarix.get_workers() == 3
        with velarix.set_workers(None):
            assert velarix.get_workers() == cores
    assert velarix.get_workers() == cores
    for bad in (0, -2, True):
        with pytest.raises(ValueError, match=f"workers must be a positive integer or None, got {bad}"):
            velarix.set_workers(bad).__enter__()


def test_workers_default_to_the_cores_the_process_may_use():
    assert velarix.get_workers() == len(os.sched_getaffinity(0))
    pinned = "import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}); " \
             "import velarix; print(velarix.get_workers())"
    run = subprocess.run([sys.executable, "-c", pinned], capture_output=True, text=True,
                         check=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert run.stdout.split() == ["1"]


def test_a_long_fit_gives_the_same_bits_on_any_number_of_threads():
    """Chunks of 2^17 knots: 400,000 noisy knots split over up to three threads."""
    rng = np.random.default_rng(9)
    x = np.cumsum(rng.uniform(0.2, 1.2, 400_000))
    y = np.stack([np.cumsum(rng.exponential(1.0, x.size)), np.sin(x / 50)], axis=1)
    fits = [velarix.interpolate(x, y, "quintic", workers=w) for w in (1, 2, 3, None)]
    states = [[s.__reduce__() for s in f.splines] for f in fits]
    assert all(state == states[0] for state in states)
    for w in (1, 3):
        with velarix.set_workers(w):
            assert velarix.Quintic().fit(x, y[:, 0]).__reduce__() == states[0][0]
