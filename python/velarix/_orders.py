"""The orders an interpolant evaluates, and the shift polynomials of its antiderivatives.

An interpolant is the fitted curves' derivative of some order, the curve
itself at 0, an antiderivative from the first knot below it; the classes
evaluate each order in closed form from the third derivative down to the
deepest antiderivative the core serves. An antiderivative of a derivative
is 0 at the first knot with its derivatives below the order it was taken
from: a polynomial per curve, the shift, is subtracted to make it so.
"""

import math
import operator

import numpy as np

from velarix import _velarix

# Members of the fitted splines by the order of the derivative taken, with
# -1 standing for the antiderivative from the first knot.
SCALAR_MEMBERS = {-1: "antiderivative", 0: "value", 1: "first_derivative",
                  2: "second_derivative", 3: "third_derivative"}
BATCH_MEMBERS = {kind: name + "_batch_into" for kind, name in SCALAR_MEMBERS.items()}

# The orders the classes evaluate in closed form: the antiderivatives from the
# first knot (-1 the integral, down to the deepest the core serves), the curve
# (0) and its first three derivatives.
LOWEST, HIGHEST = -_velarix.highest_antiderivative, _velarix.highest_derivative
ORDINALS = {1: "first", 2: "second", 3: "third", 4: "fourth", 5: "fifth", 6: "sixth"}


def beyond_lowest(what):
    """The refusal of an antiderivative deeper than the core serves, `what` asking for it."""
    return ValueError(f"{what}; velarix has closed forms down to the "
                      f"{ORDINALS[-LOWEST]} antiderivative")


def order_count(nu):
    """`nu` as a non-negative int, or ValueError."""
    try:
        count = None if isinstance(nu, (bool, np.bool_)) else operator.index(nu)
    except TypeError:
        count = None
    if count is None or count < 0:
        raise ValueError(f"nu must be a non-negative integer, got {nu!r}")
    return count


def resolved_order(order, nu):
    """The order of the curve that `nu` asks of an interpolant of order `order`."""
    count = order_count(nu)
    if order + count > HIGHEST:
        raise ValueError(f"nu={count} asks for derivative {order + count} of the fitted curve; "
                         f"velarix has closed forms up to the third derivative")
    return order + count


def differentiated(shift, order):
    """A shift's coefficients (rows of powers of x - x[0]) differentiated `order` times,
    or integrated once from x[0] for -1; None for no shift or one that vanishes so."""
    if shift is None:
        return None
    if order == -1:
        powers = np.arange(1, shift.shape[1] + 1)
        return np.concatenate([np.zeros((shift.shape[0], 1)), shift / powers], axis=1)
    if order >= shift.shape[1]:
        return None
    i = np.arange(order, shift.shape[1])
    falling = np.array([math.perm(int(k), order) for k in i], dtype=np.float64)
    return shift[:, order:] * falling


def polynomial_at(terms, u, curves_shape):
    """Each curve's row of `terms` (coefficients of powers of u) at u, shaped as a call's
    result: u.shape + curves_shape. u may be a Dask array, which stays lazy."""
    total = terms[:, -1]
    for i in range(terms.shape[1] - 2, -1, -1):
        total = total * u[..., None] + terms[:, i]
    return total.reshape(np.shape(u) + curves_shape)


def integrated_shift(splines, x0, shift, order, count):
    """The shift of the count-fold antiderivative, of order `order`, that is 0 at x0, the
    first knot, for curves of that `shift` (None for none).

    The order-`order` curve has the Taylor terms sum_(j < count) D^(order+j) S(x0) u^j / j!
    at the first knot (u = x - x0), of which the derivatives of the fit
    (order + j >= 0) are not 0; those and the curves' own shift integrated
    count times from x0 are subtracted. None when both are 0.
    """
    terms = np.zeros((len(splines), count))
    for j in range(max(0, -order), count):
        terms[:, j] = [getattr(s, SCALAR_MEMBERS[order + j])(x0) / math.factorial(j)
                       for s in splines]
    own = shift
    for _ in range(count):
        own = differentiated(own, -1)
    if own is not None:
        width = max(terms.shape[1], own.shape[1])
        terms = np.pad(terms, ((0, 0), (0, width - terms.shape[1])))
        terms[:, :own.shape[1]] += own
    return None if own is None and order + count - 1 < 0 else terms
