"""The rational cubic's opt-in Newton solve from Python."""

import pickle

import numpy as np
import pytest

from velarix import RationalCubic

# The saved state of RationalCubic() from before the solver existed.
DEFAULT_STATE = bytes.fromhex(
    "0102000000000000f03f000000000000f03f00fca9f1d24d62503f000000000000e03f"
    "bbbdd7d9df7cdb3de8030000000000000000000080842e41"
)
NEWTON = RationalCubic().with_convexity_solver("newton")


def test_default_solver_keeps_the_state():
    assert RationalCubic().convexity_solver == "sweep"
    state = RationalCubic().__reduce__()[1][1]  # the same fields, now with a checksum
    assert (state[0], state[1:-4]) == (2, DEFAULT_STATE[1:])
    assert RationalCubic._from_state(DEFAULT_STATE) == RationalCubic()


def test_newton_configuration_shows_compares_pickles_and_fits():
    assert NEWTON.convexity_solver == "newton"
    assert repr(NEWTON) == repr(RationalCubic())[:-2] + ", solver: Newton }"
    assert NEWTON != RationalCubic()
    assert NEWTON.with_convexity_solver("sweep") == RationalCubic()
    assert NEWTON.with_relaxation(0.25).with_shape(2, 1).convexity_solver == "newton"
    # Secants rising by log-normal steps: the sweeps crawl, Newton does not.
    steps = np.exp(2 * np.random.default_rng(1).standard_normal(298))
    x, y = np.arange(300.0), np.cumsum(np.concatenate(([0.0, 0.0], np.cumsum(steps))))
    with pytest.raises(ValueError, match="did not converge in 1000 iterations"):
        RationalCubic().fit(x, y)
    assert NEWTON.fit(x, y).iterations <= 25
    assert pickle.loads(pickle.dumps(NEWTON)) == NEWTON
    state = NEWTON.__reduce__()[1][1]
    assert (state[0], state[1:-4]) == (2, DEFAULT_STATE[1:] + b"\x01")
    for tail, error in ((b"\x00", "tag out of range at byte 59"),
                        (b"\x02", "tag out of range at byte 59"),
                        (b"\x01\x00", "trailing bytes at byte 60")):
        with pytest.raises(ValueError, match=f"^invalid saved state: {error}"):
            RationalCubic._from_state(DEFAULT_STATE + tail)


@pytest.mark.parametrize("name, error", [("Newton", ValueError), ("sweep ", ValueError),
                                         (None, TypeError), (b"newton", TypeError)])
def test_other_solvers_are_refused(name, error):
    with pytest.raises(error) as raised:
        RationalCubic().with_convexity_solver(name)
    if error is ValueError:
        assert str(raised.value) == f'convexity solver must be "sweep" or "newton", got {name!r}'
