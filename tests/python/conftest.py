import pytest


@pytest.fixture(scope="session")
def dask_client():
    """One two-process Dask cluster for every test that runs work on it."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None
    )
    with distributed.Client(cluster) as client:
        yield client
    cluster.close()
