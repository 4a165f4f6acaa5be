import numpy as np
import pytest

import velarix

# Convex data that every method accepts, on uneven knots.
X = np.array([0.0, 0.4, 1.1, 1.5, 2.6, 3.0])
Y = np.exp(X)


def _fitters():
    fitters = {}
    if hasattr(velarix, "RationalCubic"):
        fitters["rational_cubic"] = lambda x, y: velarix.RationalCubic().fit(x, y)
    if hasattr(velarix, "Tension"):
        fitters["tension"] = lambda x, y: velarix.Tension().fit(x, y)
        fitters["tension_uniform"] = (
            lambda x, y: velarix.Tension().with_uniform_tension(2.0).fit(x, y)
        )
    if hasattr(velarix, "VariableDegree"):
        fitters["variable_degree"] = lambda x, y: velarix.VariableDegree().fit(x, y)
    return fitters


FITTERS = _fitters()


@pytest.fixture(params=sorted(FITTERS))
def fitter(request):
    return FITTERS[request.param]


@pytest.fixture
def spline(fitter):
    return fitter(X, Y)
