"""Smoothing noisy data with the shape guaranteed.

``smooth(x, y, shape)`` fits a cubic smoothing spline (C²) that minimises
``sum w (y - S(x))² + lam ∫ S''(x)² dx``, held to a shape when asked, and
returns an ``Interpolant`` over it with what the fit chose as
``f.smoothing``. The numerics are the ``Smoother`` class's; this layer
converts and validates the arrays, fits one curve per column of ``y`` and
shapes the results.
"""

import operator
from typing import NamedTuple

import numpy as np

from velarix._velarix import Smoother
from velarix._checks import checked_curves, chosen_mode, index_text, number_text, real_array
from velarix._family import Interpolant
from velarix._fitting import fit_curves

__all__ = ["SmoothingInfo", "smooth"]


def _first_not_finite(array, name):
    bad = ~np.isfinite(array)
    if bad.any():
        index = np.unravel_index(int(np.flatnonzero(bad)[0]), array.shape)
        raise ValueError(
            f"{name}[{index_text(index)}] must be finite, got {number_text(array[index])}")


# A fit whose effective degrees of freedom come this close to its number of
# knots is held back by the knots rather than by lam.
_KNOT_LIMITED_SHARE = 0.95


class _Choices(NamedTuple):
    lam: float
    edf: float
    gcv: float
    shape: str
    active_constraints: int


class SmoothingInfo(_Choices):
    """What a smoothing fit chose for one curve (read-only).

    A named tuple of ``lam``, ``edf``, ``gcv``, ``shape`` and
    ``active_constraints``, with two attributes besides: ``knots``, the
    number of knots the fit used, and ``warning``, None or the text that
    says the knots, not lam, limited the fit (``edf`` within 5 % of
    ``knots``).
    """

    def __new__(cls, lam, edf, gcv, shape, active_constraints, knots=0, warning=None):
        info = super().__new__(cls, lam, edf, gcv, shape, active_constraints)
        info.__dict__.update(knots=knots, warning=warning)
        return info

    def __getnewargs__(self):
        return (*self, self.knots, self.warning)

    def __setattr__(self, name, value):
        raise AttributeError(f"SmoothingInfo is read-only: cannot set {name!r}")

    def __repr__(self):
        return f"{super().__repr__()[:-1]}, knots={self.knots!r}, warning={self.warning!r})"


def _info(spline):
    knots = len(spline.knots)
    warning = None
    if spline.edf >= _KNOT_LIMITED_SHARE * knots:
        warning = (f"edf = {spline.edf:.4g} is within 5 % of the {knots} knots: the knots, not "
                   f"lam, limit the fit; knots=None puts a knot at every distinct x")
    return SmoothingInfo(spline.lam, spline.edf, spline.gcv, spline.shape,
                         spline.active_constraints, knots, warning)


class _Smoothed(Interpolant):
    """An ``Interpolant`` over smoothing splines, with the fits' choices."""

    @property
    def smoothing(self):
        """The fit's ``SmoothingInfo``; a tuple of them, one per curve in row-major
        order of ``curves_shape``, for several curves."""
        info = tuple(_info(s) for s in self.splines)
        return info if self.curves_shape else info[0]


class _Weighted:
    """A configuration's fit with the weights bound, for the curve loop."""

    def __init__(self, config, weights):
        self._config = config
        self._weights = weights

    def fit(self, x, y):
        return self._config.fit_weighted(x, y, self._weights)


def _shape(shape):
    if shape is None:
        return "none"
    if not isinstance(shape, str):
        raise ValueError(f"shape must be None or a str such as 'increasing convex', got {shape!r}")
    return shape


def _lam(lam):
    try:
        return float(lam)
    except (TypeError, ValueError):
        raise ValueError(f"lam must be a real number or None, got {lam!r}") from None


def _weights(weights, n):
    if weights is None:
        return None
    w = real_array(weights, "weights")
    if w.ndim != 1 or len(w) != n:
        raise ValueError(f"weights must have one entry per data point "
                         f"(got shape {w.shape} for {n} points)")
    _first_not_finite(w, "weights")
    negative = np.flatnonzero(w < 0)
    if negative.size:
        i = int(negative[0])
        raise ValueError(f"weights[{i}] must be >= 0, got {number_text(w[i])}")
    return w


def _with_knots(config, knots):
    if knots is None:
        return config
    if isinstance(knots, (int, np.integer)) and not isinstance(knots, (bool, np.bool_)):
        if knots < 1:
            # The configuration's 0 is the default, a knot at every distinct x.
            raise ValueError(f"smoothing setting `knots` must be a number of segments >= 1, "
                             f"got {knots}")
        return config.with_segments(operator.index(knots))
    positions = real_array(knots, "knots")
    if positions.ndim != 1:
        raise ValueError(f"knots must be a number of segments or a one-dimensional array of "
                         f"interior knots, got {positions.ndim} dimensions")
    return config.with_knots(positions)


def smooth(x, y, shape=None, *, lam=None, weights=None, knots=None, robust=False, axis=0,
           extrapolate="linear"):
    """Fit a C² smoothing spline to noisy (x, y), held to a shape, and return an ``Interpolant``.

    The curve minimises ``sum_i w_i (y_i - S(x_i))² + lam ∫ S''(x)² dx`` over
    cubic splines with knots at the data (or at quantiles of them). Scaling
    ``y`` scales the curve and leaves ``lam`` unchanged; scaling ``x`` by c
    gives the same curve in the new units with ``lam`` scaled by c³.

    Parameters
    ----------
    x : array-like of real numbers, one-dimensional
        The abscissae: finite, in any order, ties allowed; at least 3
        distinct values with positive weight.
    y : array-like of real numbers
        The noisy values, finite, with ``len(x)`` entries along ``axis``;
        other axes hold several curves, each smoothed on its own.
    shape : str or None, default None
        None (unconstrained), "increasing", "decreasing", "convex",
        "concave", a direction and a curvature together ("increasing
        convex", "decreasing concave", ...), or "auto": every one of these is
        fitted and the most constrained whose cross-validation score is
        within 1 % of the best is kept (``f.smoothing.shape`` says which).
        A direction holds exactly (the values never turn back); a curvature
        holds to rounding.
    lam : float, optional
        The smoothing parameter, > 0, used as given. By default it is
        chosen by generalised cross-validation over a logarithmic range
        scaled to the data.
    weights : array-like, optional
        One weight >= 0 per point (all 1 by default), as in the objective.
    knots : int or array-like, optional
        By default a knot at every distinct x: the smoothing spline itself,
        at full resolution (with a shape, at most 2000 segments, at
        quantiles of the distinct x beyond: the shape's bounds cost more
        than linearly past that, and the shaped solves lose precision on
        tens of thousands of knots). Or a number of segments (at least 1): knots at
        every distinct x when there are at most that many segments between
        them, at quantiles of the distinct x otherwise; or the interior knots
        themselves, strictly increasing and inside the range of x. The
        normal equations are banded, so the work grows linearly with the
        number of points and of knots.
    robust : bool, default False
        Reweight the points by Huber's rule to resist outliers.
    axis : int, default 0
        The axis of ``y`` that runs along ``x``.
    extrapolate : str, bool or None, default "linear"
        Beyond the data, as for ``interpolate``: "linear", "constant",
        "hold", "nan", "raise", "extend", True or False; None is the
        default, "linear".

    Returns
    -------
    Interpolant
        With ``f.smoothing``: the ``SmoothingInfo`` (``lam``, ``edf``,
        ``gcv``, ``shape``, ``active_constraints``, and the attributes
        ``knots`` and ``warning``) of the fit, or a tuple of them, one per
        curve, for several curves. ``f.x`` holds the knots
        (the first and last x among them), not the data. ``gcv`` is in the
        units of ``w y²`` (with ``robust=True``, of Huber's capped squares)
        and may overflow to inf for y beyond about 1e150.

    Raises
    ------
    ValueError
        For data that are not finite real numbers or of the wrong shape,
        negative weights, too few distinct x, an unknown shape, a ``lam``
        that is not positive, or unusable knots (the message names the
        argument, and the index and value where there is one).

    See Also
    --------
    interpolate : Through every point, for data without scatter.
    Smoother : The configuration class behind it.

    Examples
    --------
    Three replicates at each of nine doses, held to an increasing curve:

    >>> import numpy as np
    >>> import velarix
    >>> from velarix import datasets
    >>> dose, response = datasets.dose_response()
    >>> f = velarix.smooth(np.log10(dose), response, "increasing")
    >>> f.smoothing.shape, f.smoothing.knots, round(f.smoothing.edf, 2)
    ('increasing', 9, 5.89)
    >>> round(float(f(0.0)), 3), f.is_shape_preserving
    (37.788, True)
    """
    config = Smoother().with_shape(_shape(shape))
    if lam is not None:
        config = config.with_lam(_lam(lam))
    config = _with_knots(config, knots)
    if not isinstance(robust, (bool, np.bool_)):
        raise ValueError(f"robust must be True or False, got {robust!r}")
    config = config.with_robust(bool(robust))
    mode = chosen_mode(extrapolate, "linear")
    points = real_array(x, "x")
    if points.ndim != 1:
        raise ValueError(f"x must be one-dimensional, got {points.ndim} dimensions")
    _first_not_finite(points, "x")
    values, axis = checked_curves(y, axis, len(points))
    _first_not_finite(values, "y")
    w = _weights(weights, len(points))
    fitter = config if w is None else _Weighted(config, w)
    splines, curves_shape = fit_curves(fitter, points, values, axis)
    knot_positions = np.asarray(splines[0].knots) if splines else points
    return _Smoothed._from_parts(knot_positions, splines, curves_shape, mode, config, axis)
