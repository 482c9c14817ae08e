"""Where an eigen-decomposition's time goes: the call, its LAPACK routine, the build.

    .venv/bin/python bench/lapack_builds.py [--sizes 1000] [--rounds 7] [--threads 1,2]

For one matrix per row, five or six contenders run in turn, each after a
0.3 s pause, in an order that rotates from round to round:

- haldo's `eigen()` and numpy's `eig`/`eigh` on that matrix;
- the LAPACK routine both of them call (`dgeev`/`zgeev` with right vectors,
  `dsyevd`/`zheevd` with vectors) through ctypes, once from haldo's OpenBLAS
  with the workspace Armadillo gives it, once from numpy's with the workspace
  LAPACK asks for; for `geev` also haldo's with the workspace LAPACK asks for;
- numpy's call a second time, as the spread of one call against itself.

Each ratio is the median over rounds of the ratio within a round, with the
range across rounds. "call/routine" is what a wrapper adds to its routine,
"build" is one OpenBLAS build against the other for the same routine.
"""

from __future__ import annotations

import argparse
import ctypes
import statistics

import morvak
import numpy as np
import threadpoolctl
from blas_builds import _libraries, _symbol, _take_turns

import haldo

_REF, _PTR = ctypes.byref, lambda array: ctypes.c_void_p(array.ctypes.data)


def _routine(path: str, a0: np.ndarray, hermitian: bool, lwork_fixed: int | None):
    """A call of the routine on a fresh copy of `a0`, from the library at `path`.

    The workspace is LAPACK's own answer to a query, or `lwork_fixed` elements.
    """
    complex_ = np.iscomplexobj(a0)
    n = a0.shape[0]
    name = ("zheevd" if complex_ else "dsyevd") if hermitian else ("zgeev" if complex_ else "dgeev")
    function, integer = _symbol(path, name)
    a = np.empty_like(a0, order="F")
    size, info = integer(n), integer(0)
    if hermitian:
        jobz, uplo, w = ctypes.c_char(b"V"), ctypes.c_char(b"L"), np.zeros(n)

        def invoke(work, rwork, iwork, lengths):
            lw, lr, li = (integer(v) for v in lengths)
            args = [_REF(jobz), _REF(uplo), _REF(size), _PTR(a), _REF(size), _PTR(w)]
            args += [_PTR(work), _REF(lw)] + ([_PTR(rwork), _REF(lr)] if complex_ else [])
            function(*args, _PTR(iwork), _REF(li), _REF(info))

        probe = (np.zeros(1, a0.dtype), np.zeros(1), np.zeros(1, integer))
        invoke(*probe, (-1, -1, -1))
        sizes = (int(probe[0][0].real), max(int(probe[1][0]), 1), int(probe[2][0]))
        work = (np.zeros(sizes[0], a0.dtype), np.zeros(sizes[1]), np.zeros(sizes[2], integer))
        args = (*work, sizes)
    else:
        jobvl, jobvr, one = ctypes.c_char(b"N"), ctypes.c_char(b"V"), integer(1)
        vl, vr = np.zeros(1, a0.dtype), np.zeros((n, n), a0.dtype, order="F")
        values = (np.zeros(n, a0.dtype),) if complex_ else (np.zeros(n), np.zeros(n))
        rwork = np.zeros(2 * n)

        def invoke(work, length):
            lw = integer(length)
            args = [_REF(jobvl), _REF(jobvr), _REF(size), _PTR(a), _REF(size)]
            args += [_PTR(v) for v in values] + [_PTR(vl), _REF(one), _PTR(vr), _REF(size)]
            args += [_PTR(work), _REF(lw)] + ([_PTR(rwork)] if complex_ else [])
            function(*args, _REF(info))

        if lwork_fixed is None:
            probe = np.zeros(1, a0.dtype)
            invoke(probe, -1)
            lwork_fixed = int(probe[0].real)
        args = (np.zeros(lwork_fixed, a0.dtype), lwork_fixed)

    def run():
        a[...] = a0
        invoke(*args)
        if info.value != 0:
            raise RuntimeError(f"{path}: {name} returned info = {info.value}")

    return run


def _contenders(paths: dict[str, str], a0: np.ndarray, hermitian: bool) -> dict:
    n = a0.shape[0]
    cls = haldo.OperatorComplex if np.iscomplexobj(a0) else haldo.OperatorReal
    op = morvak.from_numpy(a0, cls)
    if op.is_hermitian() != hermitian:
        raise RuntimeError("the test matrix has the wrong kind")
    numpy_call = np.linalg.eigh if hermitian else np.linalg.eig
    # Armadillo queries the workspace of the Hermitian solver and gives the
    # general one a fixed 64 n elements.
    armadillo_lwork = None if hermitian else 64 * n
    calls = {
        "haldo eigen": op.eigen,
        "haldo's build": _routine(paths["haldo"], a0, hermitian, armadillo_lwork),
        "numpy's build": _routine(paths["numpy"], a0, hermitian, None),
        "numpy": lambda: numpy_call(a0),
        "numpy, again": lambda: numpy_call(a0),
    }
    if not hermitian:
        calls["haldo's build, queried"] = _routine(paths["haldo"], a0, hermitian, None)
    return calls


RATIOS = (
    ("haldo / numpy", "haldo eigen", "numpy"),
    ("build", "haldo's build", "numpy's build"),
    ("haldo call/routine", "haldo eigen", "haldo's build"),
    ("numpy call/routine", "numpy", "numpy's build"),
    ("workspace 64n/queried", "haldo's build", "haldo's build, queried"),
    ("numpy / numpy", "numpy, again", "numpy"),
)


def _paired(times: dict[str, list[float]], top: str, bottom: str) -> str:
    if top not in times or bottom not in times:
        return "-"
    ratios = [t / b for t, b in zip(times[top], times[bottom])]
    return f"{statistics.median(ratios):.3f} ({min(ratios):.3f}-{max(ratios):.3f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="1000")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--kinds", default="dgeev,zgeev,dsyevd,zheevd")
    args = parser.parse_args()
    paths = _libraries()
    for side, path in paths.items():
        print(f"{side}: {path}")
    print("| routine | n | threads | numpy | " + " | ".join(r[0] for r in RATIOS) + " |")
    print("|---" * (4 + len(RATIOS)) + "|")
    rng = np.random.default_rng(7)
    for threads in (int(t) for t in args.threads.split(",")):
        with threadpoolctl.threadpool_limits(threads):
            for kind in args.kinds.split(","):
                for n in (int(s) for s in args.sizes.split(",")):
                    a0 = rng.standard_normal((n, n))
                    if kind[0] == "z":
                        a0 = a0 + 1j * rng.standard_normal((n, n))
                    hermitian = kind.endswith("evd")
                    if hermitian:
                        a0 = a0 + a0.conj().T
                    times = _take_turns(_contenders(paths, a0, hermitian), args.rounds)
                    cells = [_paired(times, top, bottom) for _, top, bottom in RATIOS]
                    numpy_s = statistics.median(times["numpy"])
                    print(
                        f"| {kind} | {n} | {threads} | {numpy_s * 1e3:.4g} ms | "
                        + " | ".join(cells)
                        + " |",
                        flush=True,
                    )


if __name__ == "__main__":
    main()
