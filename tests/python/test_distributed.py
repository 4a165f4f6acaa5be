"""A two-worker dask.distributed cluster on loopback: interpolants and splines travel pickled."""

import numpy as np
import pytest

import velarix

from conftest import X, Y

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")


def _fit_group(values):
    return velarix.interpolate(X, values)(1.25)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None, processes=True) as cluster, \
            distributed.Client(cluster) as c:
        yield c


@pytest.mark.parametrize("nu", [0, 3])
def test_cluster_evaluates_chunks_and_fits_groups(client, nu):
    f = velarix.interpolate(X, np.stack([Y, 2 * Y], axis=1))
    points = np.linspace(-1.0, 4.0, 40_000).reshape(200, 200)
    lazy = f(da.from_array(points, chunks=(50, 100)), nu)
    assert client.compute(lazy).result().tobytes() == f(points, nu).tobytes()
    groups = np.random.default_rng(5).random((4, 6)) + np.arange(6.0)
    fitted = client.gather(client.map(_fit_group, list(groups)))
    assert fitted == [velarix.interpolate(X, g)(1.25) for g in groups]
