"""The OpenBLAS build under haldo against numpy's, one gemm call against another.

    .venv/bin/python bench/blas_builds.py [--sizes 1000,2000] [--rounds 9]

Calls `dgemm`/`zgemm` of both libraries through ctypes on the same Fortran-
ordered matrices, in turn, each call after a 0.3 s pause (so that no worker
of the other pool still spins), with one thread and with two. This isolates
the BLAS build from everything around it (Python, haldo, allocation). The
"numpy, again" row calls numpy's gemm against itself in the same way: the
spread that a ratio of one function against itself shows here.
"""

from __future__ import annotations

import argparse
import ctypes
import statistics
import time

import numpy as np
import threadpoolctl

import haldo  # noqa: F401  (loads the OpenBLAS it links)


def _libraries() -> dict[str, str]:
    found = {}
    for pool in threadpoolctl.threadpool_info():
        if pool.get("internal_api") != "openblas":
            continue
        path = pool["filepath"]
        if "numpy.libs" in path:
            found["numpy"] = path
        elif "scipy.libs" not in path:
            found["haldo"] = path
    missing = {"numpy", "haldo"} - set(found)
    if missing:
        raise SystemExit(f"no OpenBLAS found for: {', '.join(sorted(missing))}")
    return found


def _symbol(path: str, name: str):
    """The Fortran routine `name` of the library at `path`, and its integer type."""
    lib = ctypes.CDLL(path)
    for symbol, integer in (
        (f"scipy_{name}_64_", ctypes.c_int64),
        (f"{name}_64_", ctypes.c_int64),
        (f"scipy_{name}_", ctypes.c_int),
        (f"{name}_", ctypes.c_int),
    ):
        if hasattr(lib, symbol):
            return getattr(lib, symbol), integer
    raise SystemExit(f"{path}: no {name}")


def _gemm(path: str, kind: str, n: int, a, b, c):
    """A call of `kind`gemm from the library at `path` computing c = a b."""
    function, integer = _symbol(path, f"{kind}gemm")
    size, no = integer(n), ctypes.c_char(b"N")
    one, zero = (ctypes.c_double * 2)(1, 0), (ctypes.c_double * 2)(0, 0)
    ref, pointer = ctypes.byref, ctypes.c_void_p
    args = (
        ref(no),
        ref(no),
        ref(size),
        ref(size),
        ref(size),
        one,
        pointer(a.ctypes.data),
        ref(size),
    )
    args += (pointer(b.ctypes.data), ref(size), zero, pointer(c.ctypes.data), ref(size))
    return lambda: function(*args)


def _take_turns(calls: dict, rounds: int) -> dict[str, list[float]]:
    """One untimed call each, then `rounds` rounds in an order that rotates,
    each call after a 0.3 s pause so that no worker of another pool still spins."""
    for call in calls.values():
        call()
    names = list(calls)
    times: dict[str, list[float]] = {name: [] for name in names}
    for round_no in range(rounds):
        shift = round_no % len(names)
        for name in names[shift:] + names[:shift]:
            time.sleep(0.3)
            start = time.perf_counter()
            calls[name]()
            times[name].append(time.perf_counter() - start)
    return times


def _compare(paths: dict[str, str], kind: str, n: int, rounds: int) -> dict[str, float]:
    dtype = np.float64 if kind == "d" else np.complex128
    rng = np.random.default_rng(1)
    a, b = (np.asfortranarray(rng.standard_normal((n, n)).astype(dtype)) for _ in range(2))
    c = np.zeros((n, n), dtype=dtype, order="F")
    calls = {
        "haldo": _gemm(paths["haldo"], kind, n, a, b, c),
        "numpy": _gemm(paths["numpy"], kind, n, a, b, c),
    }
    calls["numpy, again"] = calls["numpy"]
    times = _take_turns(calls, rounds)
    return {name: statistics.median(t) for name, t in times.items()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000,2000")
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()
    paths = _libraries()
    for side, path in paths.items():
        print(f"{side}: {path}")
    print("| threads | call | n | haldo's build | numpy's build | ratio | numpy against itself |")
    print("|---|---|---|---|---|---|---|")
    for threads in (1, 2):
        with threadpoolctl.threadpool_limits(threads, user_api="blas"):
            for kind in ("d", "z"):
                for n in (int(s) for s in args.sizes.split(",")):
                    m = _compare(paths, kind, n, args.rounds)
                    print(
                        f"| {threads} | {kind}gemm | {n} | {m['haldo'] * 1e3:.4g} ms "
                        f"| {m['numpy'] * 1e3:.4g} ms | {m['haldo'] / m['numpy']:.3f} "
                        f"| {m['numpy, again'] / m['numpy']:.3f} |",
                        flush=True,
                    )


if __name__ == "__main__":
    main()
