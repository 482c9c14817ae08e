import pytest


@pytest.fixture(scope="module")
def dask_client():
    """A two-process Dask cluster for the tests of one module; closed after them, so
    its client threads do not run during the memory tests."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    )
    with distributed.Client(cluster) as client:
        yield client
    cluster.close()
