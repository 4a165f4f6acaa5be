"""Level crossings of an interpolant's curves: ``solve`` and ``roots``.

Inside the knots the pieces' shape brackets every crossing (a
shape-preserving piece bends one way or changes its bend once), and a
safeguarded Newton iteration on all brackets at once takes each to a few
ulps. Past the ends, the continuations of the modes "linear" and
"constant" are polynomials in the distance from the end, solved in closed
form.
"""

import math

import numpy as np

from velarix._orders import BATCH_MEMBERS, HIGHEST, differentiated

# Each piece is cut into this many equal parts when `solve` looks for level
# crossings: a shape-preserving piece turns at most once, and the parts
# bracket any pair of crossings that a turn between two knots allows.
SOLVE_SUBDIVISIONS = 8
# Bisection reaches adjacent doubles in at most ~64 halvings on a finite
# interval away from 0; Newton steps take the rest.
SOLVE_MAX_STEPS = 200


def crossings(engine, j, level):
    """The sorted abscissae where curve j of an interpolant equals `level`.

    `engine` is the interpolant as evaluated in the extrapolation mode of the
    search: its continuation past the ends is searched in the modes that
    ``_SEARCHED_MODES`` names.
    """
    spline = engine._splines[j]
    order = engine._order
    shift = None if engine._shift is None else engine._shift[j:j + 1]
    if shift is not None and shift.shape[1] == 1:  # a constant: the level moves
        level += float(shift[0, 0])
        shift = None
    # From the curve's order to its bend (to the order's third derivative
    # for a derivative of the fit), each batch less the shift's derivative.
    kinds = [_batch_member(spline, k, differentiated(shift, k - order), engine._lo)
             for k in range(order, max(order + 3, 2) + 1)]
    inside = _level_points(engine._x, kinds, level)
    outside = [_continued_roots(engine, j, side, order, level, shift)
               for side in (0, 1)] if engine._mode in _SEARCHED_MODES else []
    return np.unique(np.concatenate([inside, *outside]))


def _into_sign_changes(into, points):
    values = _batch(into, points)
    return np.flatnonzero(np.sign(values[:-1]) * np.sign(values[1:]) < 0)


def _level_points(x, kinds, level):
    """Where the curve with the batch members `kinds` (value, slope, bend, ...) is level.

    A shape-preserving piece bends one way or changes its bend once, so the
    bend's sign at the knots brackets each piece's inflections, and between
    knots and inflections the slope is monotone: its sign changes there
    bracket every turning point, and between knots, inflections and turns the
    curve is monotone, so sign changes of curve - level bracket every
    crossing. An antiderivative of order n takes the same steps n times
    more, from the fitted curve's turns down through its antiderivatives:
    between the zeros of each order the one below it is monotone. Pieces of a
    derivative of order 2 or more have no such structure here, and a fixed
    subdivision takes its place.
    """
    f, df, ddf = kinds[:3]
    cuts = x
    if ddf is not None:
        # From the deepest order down to the slope: each order's zeros, found
        # between the cuts with the next order as its slope, are new cuts.
        for d, dd in reversed(list(zip(kinds[1:-1], kinds[2:]))):
            changes = _into_sign_changes(d, cuts)
            cuts = np.union1d(cuts, _zeros(d, dd, cuts[changes], cuts[changes + 1], 0.0))
    else:
        cuts = _subdivided(x)
        if df is not None:
            turns = _into_sign_changes(df, cuts)
            cuts = np.union1d(cuts, _zeros(df, ddf, cuts[turns], cuts[turns + 1], 0.0))
    offset = _batch(f, cuts) - level
    side = np.sign(offset)
    brackets = np.flatnonzero(side[:-1] * side[1:] < 0)
    roots = _zeros(f, df, cuts[brackets], cuts[brackets + 1], level)
    # A run at the level: the curve is monotone between cuts, so two
    # neighbouring cuts on the level hold it level between them; keep the
    # run's ends.
    on = offset == 0
    inner = on.copy()
    inner[1:-1] = on[:-2] & on[1:-1] & on[2:]
    inner[[0, -1]] = False
    return np.union1d(cuts[on & ~inner], roots)


# The modes whose continuation past the ends is searched for crossings: their
# curves there are polynomials of degree at most 2 in the distance from the
# end. A held curve is constant beyond the ends (no isolated crossing), and
# "extend" continues the end pieces' own formulas, which are not searched.
_SEARCHED_MODES = ("linear", "constant")


def _continued_roots(engine, j, side, order, level, shift=None):
    """The crossings of curve j's continuation past one end, by its polynomial in dx.

    The core's mode continues each order from its value at the end knot, or
    drops it to 0 beyond the knot (the linear mode the curvature, the
    constant mode the slope too). So the Taylor coefficients are the
    engine's own evaluations at the knot, each kept where the same order is
    not 0 one double past it: nothing here restates a mode. An
    antiderivative of order n continues as a polynomial of degree up to
    n + 1, less the Taylor terms of its shift (one curve's row) at the end.
    """
    spline = engine._splines[j]
    end = engine._lo if side == 0 else engine._hi
    past = float(np.nextafter(end, -np.inf if side == 0 else np.inf))

    def evaluated(kind, x):
        # Beyond the third derivative every continuation is 0.
        return spline.evaluate(x, kind, engine._core_mode) if kind <= HIGHEST else 0.0

    def derivative(kind):
        return evaluated(kind, end) if evaluated(kind, past) != 0 else 0.0

    terms = [evaluated(order, end)] + [derivative(order + i) / math.factorial(i)
                                       for i in range(1, max(3, HIGHEST - order + 1))]
    for i in range(len(terms)):
        change = differentiated(shift, i)
        if change is not None:
            terms[i] -= np.polyval(change[0, ::-1], end - engine._lo) / math.factorial(i)
    terms[0] -= level
    dx = _polynomial_roots(terms)
    dx = dx[(dx < 0) if side == 0 else (dx > 0)]
    crossings = end + dx
    return np.sort(crossings[np.isfinite(crossings)])


def _real_roots(terms):
    """The real roots of c0 + c1 t + c2 t² (terms = [c0, c1, c2]); none for a constant.

    The coefficients are divided by the largest of them first, so that levels
    and slopes near the largest double leave the discriminant finite; a root
    beyond the range of doubles comes out infinite and is dropped by the caller.
    """
    scale = max(abs(t) for t in terms)
    if scale == 0 or not np.isfinite(scale):
        return np.empty(0)
    c0, c1, c2 = (t / scale for t in terms)
    with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
        if c2 == 0:
            return np.array([-c0 / c1]) if c1 != 0 else np.empty(0)
        discriminant = c1 * c1 - 4 * c2 * c0
        if discriminant < 0:
            return np.empty(0)
        # q = -(c1 + sign(c1) sqrt(D)) / 2: the root without cancellation is
        # q / c2, the other c0 / q.
        q = -0.5 * (c1 + np.copysign(np.sqrt(discriminant), c1))
        roots = [q / c2] + ([c0 / q] if q != 0 else [])
    return np.unique(np.array(roots, dtype=np.float64))


def _polynomial_roots(terms):
    """The real roots of sum_i terms[i] t^i: `_real_roots` up to degree 2; beyond,
    the real eigenvalues of the companion matrix, each polished by Newton steps."""
    terms = list(terms)
    while len(terms) > 3 and terms[-1] == 0:
        terms.pop()
    if len(terms) <= 3:
        return _real_roots(terms + [0.0] * (3 - len(terms)))
    scale = max(abs(t) for t in terms)
    if not np.isfinite(scale):
        return np.empty(0)
    powers = np.array(terms[::-1]) / scale
    with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
        found = np.roots(powers)
        roots = found.real[np.abs(found.imag) <= _REAL_ROOT_IMAGINARY * np.maximum(1, np.abs(found))]
        slope = np.polyder(powers)
        for _ in range(_POLISHING_STEPS):
            step = np.polyval(powers, roots) / np.polyval(slope, roots)
            roots = np.where(np.isfinite(step), roots - step, roots)
    return np.unique(roots[np.isfinite(roots)])


# A companion eigenvalue counts as real below this share of imaginary part
# (a double root splits into a pair about sqrt(eps) apart); Newton steps
# then bring each to a few ulps.
_REAL_ROOT_IMAGINARY = 1e-6
_POLISHING_STEPS = 4


def _batch_member(spline, kind, shift, x0):
    """Spline's batch evaluation of order `kind` into out (None beyond the third
    derivative), less the one-row shift polynomial in x - x0 where one is given."""
    if kind > HIGHEST:
        return None
    if kind in BATCH_MEMBERS:
        into = getattr(spline, BATCH_MEMBERS[kind])
    else:
        def into(xs, out):
            spline.evaluate_into(xs, out, kind, "hold")
    if shift is None:
        return into

    def shifted(xs, out):
        into(xs, out)
        out -= np.polyval(shift[0, ::-1], xs - x0)

    return shifted


def _batch(into, xs):
    xs = np.ascontiguousarray(xs, dtype=np.float64)
    out = np.empty_like(xs)
    if xs.size:
        into(xs, out)
    return out


def _subdivided(x):
    """The knots with SOLVE_SUBDIVISIONS - 1 equally spaced points inside every interval."""
    fractions = np.arange(SOLVE_SUBDIVISIONS) / SOLVE_SUBDIVISIONS
    inner = x[:-1, None] + np.diff(x)[:, None] * fractions
    return np.append(inner.reshape(-1), x[-1])


def _zeros(f_into, df_into, a, b, level):
    """Where f = level in each bracket [a[i], b[i]] whose ends lie on opposite sides.

    Safeguarded Newton, all brackets at once: each step keeps a bracket
    [neg, pos] (f - level < 0 at neg, > 0 at pos) and takes the Newton point
    when it lies strictly inside and the previous step at least halved the
    bracket, the midpoint otherwise. The iteration stops when f - level is 0,
    the Newton point repeats, or the bracket spans two ulps; the bracket end
    nearer the level in f is the zero.
    """
    if not a.size:
        return a
    fa = _batch(f_into, a) - level
    neg, pos = np.where(fa < 0, a, b), np.where(fa < 0, b, a)
    f_neg, f_pos = np.full(a.shape, -np.inf), np.full(a.shape, np.inf)
    x = neg + 0.5 * (pos - neg)
    width = np.abs(pos - neg)
    done = np.zeros(a.shape, dtype=bool)
    for _ in range(SOLVE_MAX_STEPS):
        f = _batch(f_into, x) - level
        slope = _batch(df_into, x) if df_into is not None else np.full(x.shape, np.nan)
        below = (f < 0) & ~done
        above = (f > 0) & ~done
        neg, f_neg = np.where(below, x, neg), np.where(below, f, f_neg)
        pos, f_pos = np.where(above, x, pos), np.where(above, f, f_pos)
        lo, hi = np.minimum(neg, pos), np.maximum(neg, pos)
        with np.errstate(divide="ignore", invalid="ignore"):
            newton = x - f / slope
        halved = (hi - lo) <= 0.5 * width
        inside = (newton > lo) & (newton < hi) & halved
        step = np.where(inside, newton, lo + 0.5 * (hi - lo))
        exact = (f == 0) & ~done
        done |= exact | (inside & (newton == x)) | (hi - lo <= 2 * np.spacing(np.abs(x)))
        neg = np.where(exact, x, neg)
        f_neg = np.where(exact, 0.0, f_neg)
        if done.all():
            break
        width = np.where(halved, hi - lo, width)
        x = np.where(done, x, step)
    return np.where(np.abs(f_neg) <= np.abs(f_pos), neg, pos)
