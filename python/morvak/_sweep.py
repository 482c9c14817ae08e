"""Independent solves spread over a Dask cluster, or run here when no client is given.

The work of a long call is cut into blocks (parameter values, k-point blocks,
random-vector blocks). Locally the blocks run one after the other; with a
``dask.distributed.Client`` each block is a task on the cluster's workers.
Results are gathered in block order, so both routes return the same values.
Whatever every task needs (a model, say) is scattered once to every worker,
not shipped with each task.
"""

from __future__ import annotations

import sys
import time
from collections.abc import Callable, Iterable, Sequence
from typing import Any, TypeVar

R = TypeVar("R")

_EXTRA_HINT = "client= needs Dask's distributed scheduler: pip install 'morvak[dask]'"


def _distributed():
    """The ``distributed`` package, or an ImportError naming the extra."""
    try:
        import distributed
    except ImportError as exc:
        raise ImportError(_EXTRA_HINT) from exc
    return distributed


def check_client(client: Any) -> None:
    """Refuse anything that is not a ``dask.distributed.Client``."""
    distributed = _distributed()
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed.Client, got {type(client).__name__}")


class _Progress:
    """One status line on stderr, shown once a run has lasted ``after`` seconds."""

    def __init__(self, label: str, total: int, show: bool | None, after: float = 2.0):
        self.label, self.total = label, total
        self.show, self.after = show, after
        self.start = time.monotonic()
        self.shown = False

    def update(self, done: int) -> None:
        if self.show is False:
            return
        elapsed = time.monotonic() - self.start
        if self.show is None and elapsed < self.after and done < self.total:
            return
        if self.show is None and not self.shown and done == self.total:
            return
        self.shown = True
        end = "\n" if done == self.total else ""
        sys.stderr.write(f"\r{self.label}: {done}/{self.total} tasks, {elapsed:.1f} s{end}")
        sys.stderr.flush()


def run_blocks(
    function: Callable[..., R],
    blocks: Sequence[Any],
    *,
    shared: Any = None,
    client: Any = None,
    label: str = "morvak",
    progress: bool | None = None,
) -> list[R]:
    """``[function(shared, block) for block in blocks]``, here or on a cluster.

    With a client, ``shared`` goes to every worker once (``client.scatter`` with
    ``broadcast=True``) and each block is one task. A task lost with its worker
    is rerun by the scheduler; an exception raised in a task reaches the caller
    with its own type and message.
    """
    if client is None:
        bar = _Progress(label, len(blocks), progress)
        results = []
        for count, block in enumerate(blocks, 1):
            results.append(function(shared, block))
            bar.update(count)
        return results
    check_client(client)
    distributed = _distributed()
    if not blocks:
        return []
    shared_future = client.scatter(shared, broadcast=True, hash=False)
    futures = [client.submit(function, shared_future, block, pure=False) for block in blocks]
    bar = _Progress(label, len(futures), progress)
    done = 0
    try:
        for future in distributed.as_completed(futures):
            if future.status == "error":
                future.result()  # raises the task's own exception
            done += 1
            bar.update(done)
        return client.gather(futures)
    finally:
        client.cancel(futures + [shared_future])


def _call(function: Callable[[Any], R], parameter: Any) -> R:
    return function(parameter)


def sweep(
    function: Callable[[Any], R],
    parameters: Iterable[Any],
    client: Any = None,
    *,
    progress: bool | None = None,
) -> list[R]:
    """Evaluate ``function(p)`` for every ``p`` in ``parameters``, in order.

    Parameters
    ----------
    function : callable
        Called once per parameter value. With a client it must pickle
        (a module-level function, or a closure that cloudpickle can ship).
    parameters : iterable
        The values to sweep over, for example fields or hopping strengths.
    client : dask.distributed.Client, optional
        Run each value as one task on this cluster. Without one, the values
        run here, one after another.
    progress : bool, optional
        Show a status line on stderr: always (True), never (False), or once
        the run has lasted two seconds (None, the default).

    Returns
    -------
    list
        ``[function(p) for p in parameters]``, in the order of ``parameters``.
    """
    values = list(parameters)
    return run_blocks(
        _call, values, shared=function, client=client, label="sweep", progress=progress
    )
