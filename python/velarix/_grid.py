"""Tables of two and more variables: ``interpolate_grid`` fits one ``GridSurface`` per
surface of a gridded table and returns a ``GridInterpolant``, which evaluates values
and partial derivatives at points or on product grids, gradients and box integrals."""

import os
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from velarix import _velarix
from velarix._checks import index_text, number_text, real_array
from velarix._dask import is_dask
from velarix._family import restored, sealed_state
from velarix._fitting import get_workers
from velarix._grid_checks import (GRID_METHODS, GRID_MODES, HIGHEST_GRID_ORDER, first_bad,
                                  grid_axes, grid_mode, grid_workers, listed)

def interpolate_grid(points, values, *, method="shape", extrapolate=None, workers=None):
    """Interpolate a table on a rectilinear grid of 2 to 6 axes.

    Parameters
    ----------
    points : tuple of N array_like
        The grid: one strictly increasing 1-D array of at least 2 finite
        values per axis.
    values : array_like, shape (n1, ..., nN, ...)
        The table; trailing axes beyond the N of the grid are several
        surfaces on the same grid, each fitted on its own.
    method : {"shape", "cubic", "linear"}, default "shape"
        "shape": C² on the box, through every data point, monotone along an
        axis on every line through a cell whose data edges along that axis
        agree in sign, constant along it where those edges are flat (a cell
        with equal corners is constant, to the bit), and within its corner
        data in a cell monotone along every axis; the unconstrained cubic
        where nothing needs limiting. "cubic": the not-a-knot tensor cubic
        spline (it may overshoot). "linear": the multilinear interpolant.
    extrapolate : {"linear", "constant", "nan", "raise"}, optional
        Beyond the grid along each outside axis: "linear" (the default)
        continues the boundary's value and slope, "constant" its value,
        "nan" gives NaN and "raise" refuses the point. A call may choose
        another.
    workers : int, optional
        Threads of the fits of several surfaces and of long evaluations
        (None: one per core unless ``velarix.set_workers`` says otherwise);
        the results are the same bits on any number.

    Returns
    -------
    GridInterpolant

    Notes
    -----
    Memory: the cubic methods hold 3^N coefficients per data node (9 in
    2-D, 27 in 3-D, 81 in 4-D), 8 bytes each: a 30^4 table takes 520 MB,
    and the "shape" fit may need up to twice that while it limits. A table
    whose coefficients would exceed half of the machine's memory is refused
    with a message naming the size. "linear" holds the values alone.

    Raises
    ------
    ValueError
        Naming the argument and the value refused: ``points[1][3]``,
        ``values[2, 0]``, the shapes, the method or the mode.

    See Also
    --------
    GridInterpolant : What it returns.
    GridSurface : The class behind it, one surface per fit.
    interpolate : Curves of one variable.

    Examples
    --------
    >>> import numpy as np
    >>> import velarix
    >>> from velarix import datasets
    >>> pressure, temperature, density = datasets.property_table()
    >>> f = velarix.interpolate_grid((pressure, temperature), np.array(density))
    >>> f
    GridInterpolant(method='shape', nodes=6 x 8, surfaces_shape=(), extrapolate='linear')
    >>> f([3.0, 320.0]), f.is_shape_preserving
    (3.2655464990461955, True)
    >>> f.grid([1.0, 5.0], [300.0, 400.0])       # a product grid: the data at nodes
    array([[1.161 , 0.8709],
           [5.806 , 4.355 ]])
    """
    axes = grid_axes(points)
    if not isinstance(method, str) or method not in GRID_METHODS:
        raise ValueError(f"method must be one of {listed(GRID_METHODS)}, got {method!r}")
    mode = grid_mode(extrapolate, "linear")
    threads = grid_workers(workers)
    table = real_array(values, "values")
    grid_shape = tuple(x.size for x in axes)
    if table.shape[:len(axes)] != grid_shape:
        raise ValueError(f"values must have shape ({', '.join(map(str, grid_shape))}, ...) for "
                         f"points of {' x '.join(map(str, grid_shape))} values, "
                         f"got {table.shape}")
    first_bad(table, "values")
    surfaces_shape = table.shape[len(axes):]
    flat = table.reshape(grid_shape + (-1,))

    def fit(k):
        return _velarix.GridSurface.fit(method, axes, np.ascontiguousarray(flat[..., k]))

    # Several surfaces fit side by side (each fit runs without the interpreter
    # lock); the results are the same bits on any number of threads.
    side_by_side = min(threads or get_workers() or os.cpu_count() or 1, flat.shape[-1])
    if side_by_side > 1:
        with ThreadPoolExecutor(side_by_side) as pool:
            surfaces = tuple(pool.map(fit, range(flat.shape[-1])))
    else:
        surfaces = tuple(fit(k) for k in range(flat.shape[-1]))
    return GridInterpolant._from_parts(axes, surfaces, surfaces_shape, mode, threads, method)


def _evaluate_block(block, interpolant, nu, mode):
    return interpolant._evaluate(block, nu, mode)


class GridInterpolant:
    """A table of N variables interpolated on its grid (see ``interpolate_grid``).

    ``f(xi, nu=(0, ..., 0))``: the value, or the partial derivative of
    orders ``nu`` (0 to 2 per axis), at ``xi`` of shape ``(..., N)`` or a
    tuple of N broadcastable arrays; an ndarray of shape
    ``batch + surfaces_shape``, or a NumPy float for one point and one
    surface. ``f.grid(x1, ..., xN)`` evaluates on their product (shape
    ``(len(x1), ..., len(xN)) + surfaces_shape``) with the same bits as the
    points one by one, faster. ``f.gradient(xi)`` stacks the N first
    partials on an axis after the batch; ``f.integrate(lower, upper)``
    integrates over boxes in closed form. A Dask array ``xi`` gives a lazy
    Dask array. Immutable; it pickles with a checksum, and compares by value.
    """

    @classmethod
    def _from_parts(cls, axes, surfaces, surfaces_shape, mode, workers, method):
        self = cls.__new__(cls)
        self._axes = tuple(np.array(x, dtype=np.float64) for x in axes)
        for x in self._axes:
            x.flags.writeable = False
        self._surfaces = tuple(surfaces)
        self._surfaces_shape = tuple(surfaces_shape)
        self._mode = mode
        self._workers = workers
        self._method = method
        return self

    def _parts(self):
        return (self._axes, self._surfaces, self._surfaces_shape, self._mode, self._workers,
                self._method)

    def __reduce__(self):
        return (restored, (sealed_state(GridInterpolant, self._parts()),))

    @property
    def ndim(self):
        """N, the number of axes."""
        return len(self._axes)

    @property
    def points(self):
        """The grid, one read-only array per axis."""
        return self._axes

    @property
    def method(self):
        """"shape", "cubic" or "linear"."""
        return self._method

    @property
    def extrapolate(self):
        """The extrapolation mode calls use unless they choose another."""
        return self._mode

    @property
    def surfaces_shape(self):
        """The trailing shape of the values (several surfaces); () for one."""
        return self._surfaces_shape

    @property
    def nbytes(self):
        """The bytes of the coefficients held."""
        return sum(8 * s.coefficient_count for s in self._surfaces)

    @property
    def is_shape_preserving(self):
        """Whether every surface keeps the guarantee in floating point: each coefficient
        difference has the sign its cells' data ask (exactly 0 where they are flat) and the
        data are interpolated to rounding. A bool, or an array over ``surfaces_shape``.
        "cubic" says whether it happens to hold; "linear" always does."""
        verdicts = np.array([s.is_shape_preserving for s in self._surfaces], dtype=bool)
        return bool(verdicts[0]) if not self._surfaces_shape else verdicts.reshape(
            self._surfaces_shape)

    def _orders(self, nu):
        n = len(self._axes)
        if nu is None:
            return (0,) * n
        try:
            orders = tuple(nu)
        except TypeError:
            orders = None
        if (orders is None or len(orders) != n or not all(
                isinstance(o, (int, np.integer)) and not isinstance(o, bool)
                and 0 <= o <= HIGHEST_GRID_ORDER for o in orders)):
            raise ValueError(f"nu must be {n} orders of 0 to {HIGHEST_GRID_ORDER}, one per axis, "
                             f"got {nu!r}")
        return tuple(int(o) for o in orders)

    def _points(self, xi):
        """xi as a float64 array of shape batch + (N,)."""
        n = len(self._axes)
        if isinstance(xi, tuple):
            if len(xi) != n:
                raise ValueError(f"xi must be a tuple of {n} arrays, one per axis, got {len(xi)}")
            parts = [real_array(x, f"xi[{a}]") for a, x in enumerate(xi)]
            return np.stack(np.broadcast_arrays(*parts), axis=-1)
        points = real_array(xi, "xi")
        if points.ndim == 0 or points.shape[-1] != n:
            raise ValueError(f"xi must have shape (..., {n}) or be a tuple of {n} arrays, "
                             f"got shape {points.shape}")
        return points

    def _refuse_outside(self, coordinates, shape, name):
        for a, x in enumerate(self._axes):
            column = coordinates[:, a]
            beyond = np.flatnonzero((column < x[0]) | (column > x[-1]))
            if beyond.size:
                index = np.unravel_index(int(beyond[0]), shape) if shape else ()
                raise ValueError(f"{name}[{index_text(tuple(index) + (a,))}] = "
                                 f"{number_text(column[beyond[0]])} is outside the "
                                 f"grid's axis {a}, [{number_text(x[0])}, {number_text(x[-1])}]")

    def _evaluate(self, points, orders, mode):
        batch = points.shape[:-1]
        flat = np.ascontiguousarray(points.reshape(-1, len(self._axes)))
        if mode == "raise":
            self._refuse_outside(flat, batch, "xi")
        core = "linear" if mode == "raise" else mode
        out = np.empty((len(self._surfaces), flat.shape[0]))
        for k, surface in enumerate(self._surfaces):
            surface.evaluate_into(flat, orders, core, self._workers, out[k])
        return self._shaped(out, batch)

    def _shaped(self, out, batch):
        if not self._surfaces_shape:
            return out.reshape(batch)
        return np.ascontiguousarray(out.T).reshape(batch + self._surfaces_shape)

    def __call__(self, xi, nu=None, extrapolate=None):
        """The surface, or its partial derivative of orders ``nu``, at points.

        Parameters
        ----------
        xi : array-like of shape (..., N), or a tuple of N broadcastable arrays
            The points, one coordinate per axis of the grid.
        nu : sequence of N ints, optional
            The order of the partial derivative along each axis, 0 to 2
            (default: the value).
        extrapolate : str, optional
            The mode for this call outside the grid ("linear", "constant",
            "nan" or "raise"); default: the interpolant's.

        Returns
        -------
        ndarray or numpy.float64
            Of shape ``batch + surfaces_shape``; a NumPy float for one point
            and one surface; a Dask array for a Dask ``xi``.
        """
        orders = self._orders(nu)
        mode = grid_mode(extrapolate, self._mode)
        if is_dask(xi):
            return self._lazy(xi, orders, mode)
        result = self._evaluate(self._points(xi), orders, mode)
        return result[()] if result.ndim == 0 else result

    def _lazy(self, xi, orders, mode):
        n, shape = len(self._axes), self._surfaces_shape
        if xi.ndim == 0 or xi.shape[-1] != n:
            raise ValueError(f"xi must have shape (..., {n}), got shape {xi.shape}")
        xi = xi.rechunk({xi.ndim - 1: -1})
        batch_axes = xi.ndim - 1
        return xi.map_blocks(
            _evaluate_block, interpolant=self, nu=orders, mode=mode, dtype=np.float64,
            drop_axis=batch_axes,
            new_axis=list(range(batch_axes, batch_axes + len(shape))) or None,
            chunks=xi.chunks[:-1] + tuple((c,) for c in shape),
            meta=np.empty((0,) * (batch_axes + len(shape))))

    def grid(self, *xs, nu=None, extrapolate=None):
        """The values (or partials of orders ``nu``) on the product of ``xs``, one 1-D array
        per axis: shape ``(len(x1), ..., len(xN)) + surfaces_shape``, the same bits as
        ``f(xi)`` at each point."""
        n = len(self._axes)
        if len(xs) != n:
            raise ValueError(f"grid takes {n} arrays, one per axis, got {len(xs)}")
        orders = self._orders(nu)
        mode = grid_mode(extrapolate, self._mode)
        axes = []
        for a, x in enumerate(xs):
            array = real_array(x, f"x{a + 1}")
            if array.ndim != 1:
                raise ValueError(f"x{a + 1} must be one-dimensional, got shape {array.shape}")
            lo, hi = self._axes[a][0], self._axes[a][-1]
            beyond = np.flatnonzero((array < lo) | (array > hi)) if mode == "raise" else ()
            if len(beyond):
                raise ValueError(f"x{a + 1}[{int(beyond[0])}] = {number_text(array[beyond[0]])} "
                                 f"is outside the grid's axis {a}, [{number_text(lo)}, "
                                 f"{number_text(hi)}]")
            axes.append(array)
        core = "linear" if mode == "raise" else mode
        shape = tuple(x.size for x in axes)
        out = np.empty((len(self._surfaces), int(np.prod(shape))))
        for k, surface in enumerate(self._surfaces):
            surface.grid_into(axes, orders, core, self._workers, out[k])
        return self._shaped(out, shape)

    def gradient(self, xi, extrapolate=None):
        """The N first partial derivatives at ``xi``: shape ``batch + (N,) + surfaces_shape``."""
        n = len(self._axes)
        partials = [self(xi, nu=tuple(int(a == b) for b in range(n)), extrapolate=extrapolate)
                    for a in range(n)]
        return np.stack(partials, axis=np.ndim(partials[0]) - len(self._surfaces_shape))

    def integrate(self, lower, upper, extrapolate=None):
        """The integral over the boxes from ``lower`` to ``upper`` (broadcastable, shape
        ``(..., N)``), in closed form: shape ``batch + surfaces_shape``; a reversed bound
        counts negatively."""
        n = len(self._axes)
        mode = grid_mode(extrapolate, self._mode)
        lo, hi = real_array(lower, "lower"), real_array(upper, "upper")
        for name, bound in (("lower", lo), ("upper", hi)):
            if bound.ndim == 0 or bound.shape[-1] != n:
                raise ValueError(f"{name} must have shape (..., {n}), got shape {bound.shape}")
        lo, hi = np.broadcast_arrays(lo, hi)
        batch = lo.shape[:-1]
        lo, hi = lo.reshape(-1, n), hi.reshape(-1, n)
        if mode == "raise":
            self._refuse_outside(lo, batch, "lower")
            self._refuse_outside(hi, batch, "upper")
        core = "linear" if mode == "raise" else mode
        out = np.array([[s.integral(np.ascontiguousarray(a), np.ascontiguousarray(b), core)
                         for a, b in zip(lo, hi)] for s in self._surfaces]).reshape(
                             len(self._surfaces), -1)
        result = self._shaped(out, batch)
        return result[()] if result.ndim == 0 else result

    def __eq__(self, other):
        if not isinstance(other, GridInterpolant):
            return NotImplemented
        return (self._surfaces == other._surfaces and self._mode == other._mode
                and self._surfaces_shape == other._surfaces_shape)

    __hash__ = None

    def __repr__(self):
        nodes = " x ".join(str(x.size) for x in self._axes)
        return (f"GridInterpolant(method={self._method!r}, nodes={nodes}, "
                f"surfaces_shape={self._surfaces_shape}, extrapolate={self._mode!r})")

    def __copy__(self):
        return self

    def __deepcopy__(self, memo):
        return self
