"""Dask arrays in the NumPy layer: an interpolant called at one evaluates it lazily,
block by block where the blocks live, with the same bits as a NumPy call."""

import numpy as np


def is_dask(x):
    """Whether x is a Dask array (told apart without importing Dask)."""
    return type(x).__module__.startswith("dask.") and hasattr(x, "map_blocks")


def _evaluate_block(block, curves, kind):
    return curves._evaluate(block, kind)


def map_blocks(curves, x, kind):
    """The order-`kind` curves at the Dask array x, a lazy array of shape
    x.shape + curves_shape chunked as x along its own axes."""
    shape = curves.curves_shape
    new_axes = list(range(x.ndim, x.ndim + len(shape)))
    return x.map_blocks(
        _evaluate_block, curves=curves, kind=kind, dtype=np.float64,
        new_axis=new_axes or None, chunks=x.chunks + tuple((c,) for c in shape),
        meta=np.empty((0,) * (x.ndim + len(shape))),
    )
