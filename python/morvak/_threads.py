"""Thread counts of every BLAS and OpenMP pool in the process, numpy's and haldo's alike.

haldo and morvak call numpy's own OpenBLAS when numpy's wheel carries one:
then one pool serves all three. With another numpy (conda, Debian, a source
build), a process that uses both holds two BLAS thread pools. After each call
a pool's
workers keep spinning for a while before they sleep; on a machine with few
cores, a loop that alternates numpy and haldo calls then runs every call
against the other pool's spinning workers. With one thread per pool no worker
runs at all, and the two libraries take turns on the calling thread.
"""

from __future__ import annotations

import importlib

from threadpoolctl import threadpool_info, threadpool_limits

__all__ = ["blas_pools", "blas_threads"]


def _load_pools() -> None:
    # A pool is visible, and can be limited, only once its library is loaded.
    for name in ("numpy", "haldo"):
        try:
            importlib.import_module(name)
        except ImportError:
            pass


def blas_threads(n: int = 1) -> threadpool_limits:
    """Limit every BLAS and OpenMP pool of the process to `n` threads.

    The limit applies at once, to numpy's, scipy's and haldo's BLAS and to the
    OpenMP runtime. Used as a context manager, the former counts come back at
    the end of the block; otherwise call `restore_original_limits()` on the
    returned object.

        with morvak.blas_threads(1):
            for step in range(steps):
                ...  # numpy and haldo calls in turn
    """
    if isinstance(n, bool) or not isinstance(n, int):
        raise TypeError(f"blas_threads: expected an int thread count, found {type(n).__name__}")
    if n < 1:
        raise ValueError(f"blas_threads: expected at least 1 thread, found {n}")
    _load_pools()
    return threadpool_limits(limits=n)


def blas_pools() -> list[dict]:
    """Every BLAS and OpenMP pool loaded in the process, as threadpoolctl reports it."""
    _load_pools()
    return threadpool_info()
