"""numpy's product in turn with another OpenBLAS build's, against the two loops alone.

    .venv/bin/python bench/interleave_builds.py [--other PATH ...] [--rounds 5]

Calls `dgemm` (n = 200) of each other library through ctypes, alternating with
numpy's `@` for 100 iterations, and compares that loop with the two loops run
alone, after a 0.3 s pause each, with the default threads. The ratio shows how
much each build's spinning workers slow numpy's calls and the other way round.
By default the other libraries are haldo's (the scipy-openblas32 wheel) and,
where installed, Debian's OpenBLAS.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import statistics
import time

import numpy as np
from blas_builds import _libraries, _symbol

import haldo  # noqa: F401  (loads the OpenBLAS it links)

DEBIAN = "/usr/lib/x86_64-linux-gnu/openblas-pthread/libopenblasp-r0.3.21.so"
N, ITERATIONS = 200, 100


def _gemm(path: str, a: np.ndarray, c: np.ndarray):
    function, integer = _symbol(path, "dgemm")
    size, no = integer(N), ctypes.c_char(b"N")
    one, zero = ctypes.c_double(1.0), ctypes.c_double(0.0)
    ref, data = ctypes.byref, lambda x: ctypes.c_void_p(x.ctypes.data)
    args = (ref(no), ref(no), ref(size), ref(size), ref(size), ref(one), data(a), ref(size))
    args += (data(a), ref(size), ref(zero), data(c), ref(size))
    return lambda: function(*args)


def _loop(calls) -> float:
    time.sleep(0.3)
    start = time.perf_counter()
    for _ in range(ITERATIONS):
        for call in calls:
            call()
    return (time.perf_counter() - start) / ITERATIONS


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--other", action="append", help="another OpenBLAS library's path")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    others = args.other or [_libraries()["haldo"]] + ([DEBIAN] if os.path.exists(DEBIAN) else [])
    a = np.asfortranarray(np.random.default_rng(0).standard_normal((N, N)))
    c = np.zeros((N, N), order="F")
    ours = lambda: a @ a
    for path in others:
        theirs = _gemm(path, a, c)
        theirs(), ours()
        ratios = []
        for _ in range(args.rounds):
            alone = _loop([theirs]) + _loop([ours])
            ratios.append(_loop([theirs, ours]) / alone)
        shown = ", ".join(f"{r:.2f}" for r in ratios)
        print(f"{path}: in turn / alone, median {statistics.median(ratios):.2f} ({shown})")


if __name__ == "__main__":
    main()
