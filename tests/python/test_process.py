"""The library in a process: children forked while another thread fits, the
memory of released arrays kept for the next fit, bounded, and Ctrl-C during
long calls."""

import _thread
import os
import threading
import time
import warnings

import numpy as np
import pytest

import velarix
from velarix._registry import RECORDS

# Long enough that the fit's arrays are mapped blocks, which pass through
# the cache and its lock.
X = np.linspace(0.0, 10.0, 200_000)
Y = np.exp(X / 5)  # convex: every method fits it


def _wait(pid, seconds):
    """The child's exit status, or None if it has not ended within `seconds`."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return None


# Every child finishes a fit of its own, however the fork met the fitting
# thread (inside the cache's lock or not).
@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
def test_children_forked_while_a_thread_fits_can_fit():
    stop = threading.Event()
    # A method whose long fits run threads of their own, which the child
    # does not inherit.
    config = next(m for m in RECORDS.values() if m.threaded_fit).configuration()

    def fit_in_a_loop():
        while not stop.is_set():
            config.fit(X, Y)

    thread = threading.Thread(target=fit_in_a_loop)
    thread.start()
    statuses = []
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
            for _ in range(40):
                pid = os.fork()
                if pid == 0:
                    config.fit(X, Y)
                    os._exit(0)
                statuses.append(_wait(pid, 20.0))
    finally:
        stop.set()
        thread.join()
    assert statuses == [0] * 40


# What stays kept once every curve is dropped is within the limit, 64 MiB
# unless set; lowering the limit gives the excess back at once.
def test_released_arrays_kept_are_bounded():
    previous = velarix.set_cache_limit(1)
    kept = velarix.get_cache_limit()
    velarix.set_cache_limit(previous)
    if kept == 0:
        pytest.skip("this build takes every block from operator new and keeps none")
    assert velarix.get_cache_limit() == 64 << 20
    x = np.linspace(0.0, 1.0, 3 * 10**5)
    previous = velarix.set_cache_limit(1 << 30)
    try:
        curves = [m.configuration().fit(x, np.exp(x)) for m in RECORDS.values()]
        del curves
        assert velarix.cached_bytes() > 64 << 20
        assert velarix.set_cache_limit(64 << 20) == 1 << 30
        assert 0 < velarix.cached_bytes() <= 64 << 20
        for limit in (64 << 20, 5 << 20):
            velarix.set_cache_limit(limit)
            fit = RECORDS[min(RECORDS)].configuration().fit(x, np.exp(x))
            del fit
            assert 0 < velarix.cached_bytes() <= limit
        velarix.set_cache_limit(0)
        assert velarix.cached_bytes() == 0
    finally:
        velarix.set_cache_limit(previous)
    for bad in (-1, True):
        with pytest.raises(ValueError, match=f"^limit must be a non-negative integer of bytes, got {bad}$"):
            velarix.set_cache_limit(bad)


# Ctrl-C (an interrupt of the main thread, as a signal delivers it) stops a
# long fit, evaluation or smoothing search within half a second, with
# KeyboardInterrupt; the same call then runs again as before.
def _long_fit():  # the convexity solve's sweeps, some seconds in all
    x = np.linspace(0.0, 1.0, 10**6)
    return lambda: velarix.RationalCubic().fit(x, np.exp(x))


def _long_evaluation():
    spline = velarix.Tension().fit(X, Y)
    xs = np.random.default_rng(5).uniform(0.0, 10.0, 5 * 10**7)
    return lambda: spline.value_batch(xs)


def _long_smoothing():
    rng = np.random.default_rng(7)
    x = np.sort(rng.uniform(0, 10, 100_000))
    y = np.sin(x) + rng.normal(0, 0.3, x.size)
    return lambda: velarix.smooth(x, y, knots=x.size, robust=True)


def _long_grid_fit():  # a 4-D table whose limiter runs for seconds
    rng = np.random.default_rng(8)
    steps = rng.exponential(size=(20,) * 4) ** 2
    steps[rng.random(steps.shape) < 0.5] = 0
    values = steps.cumsum(0).cumsum(1).cumsum(2).cumsum(3)
    return lambda: velarix.interpolate_grid((np.arange(20.0),) * 4, values)


def _long_grid_evaluation():
    f = velarix.interpolate_grid((np.arange(5.0), np.arange(4.0)), np.ones((5, 4)))
    xi = np.random.default_rng(9).uniform(0.0, 4.0, (2 * 10**7, 2))
    return lambda: f(xi)


@pytest.mark.parametrize("prepare", [_long_fit, _long_evaluation, _long_smoothing,
                                     _long_grid_fit, _long_grid_evaluation])
def test_ctrl_c_stops_long_work_within_half_a_second(prepare):
    work = prepare()
    asked = []

    def interrupt():
        asked.append(time.monotonic())
        _thread.interrupt_main()

    finished = []
    timer = threading.Timer(0.3, interrupt)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            work()
            finished.append(time.monotonic())
            time.sleep(5)
        stopped = time.monotonic()
    finally:
        timer.cancel()
    assert not finished and stopped - asked[0] < 0.5
