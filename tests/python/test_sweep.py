"""morvak.sweep and the block runner, locally and on a two-process Dask cluster."""

import os
import pickle
import signal
import sys
import threading
import time

import morvak
import numpy as np
import pytest
from morvak import _sweep

distributed = pytest.importorskip("distributed")
cloudpickle = pytest.importorskip("cloudpickle")

# Workers cannot import this test module; ship its functions by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])


def square(x):
    return x * x


def slow_pid(shared, block):
    time.sleep(shared)
    return block, os.getpid()


class Odd(Exception):
    pass


def refuse_odd(x):
    if x % 2:
        raise Odd(f"odd value {x}")
    return x


def test_sweep_local_and_cluster_agree(dask_client):
    values = list(range(23))
    assert morvak.sweep(square, values) == [v * v for v in values]
    assert morvak.sweep(square, values, client=dask_client) == [v * v for v in values]
    assert morvak.sweep(square, [], client=dask_client) == []


def test_task_exception_reaches_caller(dask_client):
    with pytest.raises(Odd, match="odd value 1"):
        morvak.sweep(refuse_odd, [0, 1, 2], client=dask_client)


def test_killed_worker_gives_complete_result(dask_client):
    victim = next(iter(dask_client.run(os.getpid).values()))
    killed_at = []

    def kill_soon():
        time.sleep(0.6)
        os.kill(victim, signal.SIGKILL)
        killed_at.append(time.monotonic())

    killer = threading.Thread(target=kill_soon)
    killer.start()
    blocks = list(range(16))
    results = _sweep.run_blocks(slow_pid, blocks, shared=0.2, client=dask_client)
    finished_at = time.monotonic()
    killer.join()
    assert killed_at and killed_at[0] < finished_at, "the worker died after the run"
    assert [b for b, _ in results] == blocks
    assert victim not in {pid for _, pid in results}
    dask_client.wait_for_workers(2, timeout=60)


@pytest.mark.parametrize("bad", [object(), "tcp://127.0.0.1:1"])
def test_client_must_be_a_client(bad):
    with pytest.raises(TypeError, match="dask.distributed.Client"):
        morvak.sweep(square, [1], client=bad)


def test_missing_dask_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "distributed", None)
    with pytest.raises(ImportError, match=r"morvak\[dask\]"):
        morvak.sweep(square, [1], client=object())


def test_progress_line(capsys):
    morvak.sweep(square, [1, 2], progress=True)
    assert "sweep: 2/2 tasks" in capsys.readouterr().err
    morvak.sweep(square, [1, 2], progress=False)
    assert capsys.readouterr().err == ""


def disordered_sheet(n=12, seed=3):
    """An n x n square lattice with random onsite energies and a Peierls-like phase."""
    pelmar = pytest.importorskip("pelmar")
    x, y = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
    positions = np.column_stack([x.ravel(), y.ravel(), np.zeros(x.size)]).astype(float)
    crystal = pelmar.Crystal(
        np.array([[n, 0, 0], [0, n, 0], [0, 0, 10.0]]),
        ["H"] * x.size,
        positions,
        pbc=(True, True, False),
    )
    model = morvak.Model(crystal)
    model.onsite(lambda r, s: np.random.default_rng(seed).uniform(-0.5, 0.5, len(r)))
    model.hopping(lambda d, i, j: -np.exp(0.1j * d[:, 0]), cutoff=1.1)
    return model


PATH = [("G", (0, 0, 0)), ("X", (0.5, 0, 0)), ("M", (0.5, 0.5, 0)), ("G", (0, 0, 0))]


def test_bands_and_kpm_on_the_cluster_equal_the_local_run(dask_client):
    model = disordered_sheet()
    local = model.bands(PATH, n=40)
    remote = model.bands(PATH, n=40, client=dask_client)
    assert np.array_equal(local.energies, remote.energies)
    assert np.array_equal(local.k, remote.k) and local.ticks == remote.ticks
    grid = np.linspace(-4, 4, 101)
    args = {"moments": 64, "vectors": 6, "seed": 11}
    dos = model.dos(grid, **args)
    assert np.array_equal(dos, model.dos(grid, client=dask_client, **args))
    assert not np.array_equal(dos, model.dos(grid, moments=64, vectors=6, seed=12))


def test_tasks_share_out_the_workers_threads(dask_client):
    # A task runs its block on one native thread: the worker's own threads
    # already run as many tasks as it has cores. Blocks: four per worker thread.
    from morvak import _model

    assert dask_client.submit(_model._task_threads, pure=False).result() == 1
    assert _model._task_threads() == 0
    assert _model._block_count(dask_client, 1000) == 4 * 2


def test_model_pickles_compactly():
    model = disordered_sheet()
    payload = pickle.dumps(model)
    # Arrays of numbers: at most 64 bytes per ordered bond (4 per site) and
    # 32 per site, where Python objects per term would take several times that.
    assert len(payload) < 64 * 4 * model.natom + 32 * model.natom + 8192
    assert np.array_equal(
        pickle.loads(payload).hamiltonian(format="dense"), model.hamiltonian(format="dense")
    )
