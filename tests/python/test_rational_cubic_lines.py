"""The rational cubic on data straight to their rounding."""

import math
from array import array

import numpy as np
import pytest

from velarix import RationalCubic, cli


# |S''| within 256 ulps of the values (and of the knots, times the slope) over h^2.
@pytest.mark.parametrize("rows, a, b", [(10**5, 1e6, 0.001), (10**6, 250, -0.003), (10**2, -1, 0.01),
                                        (10**4, 1e-300, 1e-302), (10**3, 0, 7.3e4)])
@pytest.mark.parametrize("start", [0, 1990])
@pytest.mark.parametrize("solver", ["sweep", "newton"])
def test_straight_lines_bend_only_within_their_rounding(rows, a, b, start, solver):
    x = np.linspace(0, 100, rows)
    y, h = a + b * x, 100 / (rows - 1)
    s = RationalCubic().with_convexity_solver(solver).fit(x + start, y)
    q = np.concatenate([x, (x[1:] + x[:-1]) / 2]) + start
    bound = 256 * (np.spacing(np.abs(y).max()) + abs(b) * np.spacing(start + 100.0)) / h**2
    assert np.abs(np.asarray(s.second_derivative_batch(q))).max() <= bound
    assert s.is_shape_preserving


# Shifted knots make the same decisions: curvature, verdict, and which
# intervals keep the margin (straight) and which take the cap (a bend).
@pytest.mark.parametrize("y", [lambda x: np.maximum(0, 3 * x - 1), lambda x: 2.5 - 0.3 * x - np.exp(x)])
def test_where_x_starts_changes_no_decision(y):
    x = 7 * np.arange(60) / 365.25
    fits = [RationalCubic().fit(x + start, y(x)) for start in (0, 1990)]
    decisions = {(f.is_concave, f.is_shape_preserving, tuple(np.asarray(f.tension_parameters) < 0.002),
                  tuple(np.asarray(f.tension_parameters) == 1e6)) for f in fits}
    assert len(decisions) == 1


# Converged in 440 sweeps before straightness was read from the rounding;
# the cap on the straight intervals beside the bend, which keeps straight
# stretches straight beside a kink, still slows it to 1960.
@pytest.mark.xfail(strict=True, reason="needs 1960 sweeps")
def test_convex_data_with_straight_arms_converge():
    lo, span, c, r, k = -2.6495955675088374, 3.7272718240594056, 0.33648178969260945, 0.00725645858038502, 0.05204449577546997; x = [lo + span*i/99 for i in range(100)]; z = [(v - lo)/span*2 - 1 - c for v in x]; y = [k*(abs(t) + r*(math.log1p(math.exp(-2*abs(t)/r)) - math.log(2))) for t in z]  # noqa: E501, E702
    assert RationalCubic().fit(array("d", x), array("d", y)).iterations <= 440


def test_the_command_does_not_warn_on_a_straight_table(tmp_path, capsys):
    x = np.linspace(0, 100, 1001)
    (tmp_path / "line.csv").write_text("x,y\n" + "".join(f"{a!r},{-1 + 0.01 * a!r}\n" for a in x))
    name = next(n for n, m in cli.REGISTRY.items() if m.configuration is RationalCubic)
    assert cli.main([str(tmp_path / "line.csv"), "-m", name]) == 0
    assert "warning" not in capsys.readouterr().err
