import re

import numpy as np
import pytest

import velarix

# Convex data that every method accepts, on uneven knots.
X = np.array([0.0, 0.4, 1.1, 1.5, 2.6, 3.0])
Y = np.exp(X)


def _snake(name):
    return re.sub(r"(?<!^)(?=[A-Z])", "_", name).lower()


# Every method, from the module's one list of classes: a configuration is the
# class whose fitted spline class is registered beside it.
METHODS = {
    _snake(name): getattr(velarix, name)
    for name in velarix.__all__
    if f"{name}Spline" in velarix.__all__
}


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
