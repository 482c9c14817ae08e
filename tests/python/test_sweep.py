"""morvak.sweep and the block runner, locally and on a two-process Dask cluster."""

import os
import signal
import sys
import threading
import time

import morvak
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
