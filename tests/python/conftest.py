import numpy as np
import pytest

import velarix
from velarix._registry import METHODS as REGISTRY

# Convex data that every method accepts, on uneven knots.
X = np.array([0.0, 0.4, 1.1, 1.5, 2.6, 3.0])
Y = np.exp(X)


# Every method's configuration class, from the extension's method records.
METHODS = {name: method.configuration for name, method in REGISTRY.items()}


def _fitters():
    fitters = {name: cls().fit for name, cls in METHODS.items()}
    if "tension" in METHODS:
        fitters["tension_uniform"] = (
            lambda x, y: velarix.Tension().with_uniform_tension(2.0).fit(x, y)
        )
    return dict(sorted(fitters.items()))


FITTERS = _fitters()


@pytest.fixture(params=sorted(FITTERS))
def fitter(request):
    return FITTERS[request.param]


@pytest.fixture
def spline(fitter):
    return fitter(X, Y)
