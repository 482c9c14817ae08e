"""Dense linear algebra: haldo operators against numpy and scipy on matrices of equal size.

Both sides draw their own standard normal matrices: haldo offers no bulk copy
from numpy, and element-wise `set` cannot carry imaginary parts. The timings
depend on the size and the kind of the matrix, not on its digits.
"""

from __future__ import annotations

import numpy as np
import scipy.linalg
from common import Row, Timing, rows_for, time_interleaved

import haldo

# flavour -> (haldo class, numpy dtype)
FLAVOURS = {"real": ("OperatorReal", np.float64), "complex": ("OperatorComplex", np.complex128)}


def available() -> bool:
    return hasattr(haldo, "OperatorReal") and hasattr(haldo, "OperatorComplex")


def _haldo_randn(cls_name: str, n: int):
    op = getattr(haldo, cls_name)()
    op.randn(n, n)
    return op


def _numpy_randn(rng: np.random.Generator, dtype, n: int) -> np.ndarray:
    out = np.empty((n, n), dtype=dtype)
    rng.standard_normal(out=out.view(np.float64))
    return out


def _cases(cls_name: str, dtype, n: int, rng: np.random.Generator):
    """(operation, {contender: call}) pairs, this project's call first."""
    a = _haldo_randn(cls_name, n)
    b = _haldo_randn(cls_name, n)
    # Exactly Hermitian: the Complex transpose conjugates, and x + conj(y) mirrors
    # conj(x + conj(y)) bit for bit.
    h = a + a.transpose()
    if not h.is_hermitian() or a.is_hermitian():
        raise RuntimeError(f"{cls_name} {n}: the test matrices have the wrong kind")
    fill = getattr(haldo, cls_name)()
    fill.zeros(n, n)

    gemm = scipy.linalg.blas.zgemm if dtype == np.complex128 else scipy.linalg.blas.dgemm
    A = _numpy_randn(rng, dtype, n)
    B = _numpy_randn(rng, dtype, n)
    H = A + A.conj().T
    # numpy's fills write in place, as haldo's do; complex data as its float pairs.
    F_parts = np.zeros((n, n), dtype=dtype).view(np.float64)

    return [
        (
            "product",
            {
                f"{cls_name} *": lambda: a * b,
                "numpy @": lambda: A @ B,
                # scipy's own OpenBLAS; the transposes are views, so nothing is copied.
                "scipy gemm": lambda: gemm(1.0, B.T, A.T).T,
            },
        ),
        ("sum", {f"{cls_name} +": lambda: a + b, "numpy +": lambda: A + B}),
        (
            "inverse",
            {f"{cls_name}.inverse": a.inverse, "numpy.linalg.inv": lambda: np.linalg.inv(A)},
        ),
        ("det", {f"{cls_name}.det": a.det, "numpy.linalg.det": lambda: np.linalg.det(A)}),
        (
            "eigen hermitian",
            {
                f"{cls_name}.eigen": h.eigen,
                "scipy eigh evd": lambda: scipy.linalg.eigh(H, driver="evd"),
                "numpy.linalg.eigh": lambda: np.linalg.eigh(H),
            },
        ),
        (
            "eigen general",
            {f"{cls_name}.eigen": a.eigen, "numpy.linalg.eig": lambda: np.linalg.eig(A)},
        ),
        (
            "randn fill",
            {
                f"{cls_name}.randn": fill.randn,
                "Generator.standard_normal": lambda: rng.standard_normal(out=F_parts),
            },
        ),
        (
            "randu fill",
            {f"{cls_name}.randu": fill.randu, "Generator.random": lambda: rng.random(out=F_parts)},
        ),
    ]


OPERATIONS = (
    "product",
    "sum",
    "inverse",
    "det",
    "eigen hermitian",
    "eigen general",
    "randn fill",
    "randu fill",
)


def run(
    sizes: list[int],
    timing: Timing,
    log,
    settle_s: float = 0.0,
    operations: list[str] | None = None,
    flavours: list[str] | None = None,
    null: bool = False,
) -> list[Row]:
    """Every operation and flavour at every size, or only those named.

    With `null`, numpy's call runs twice per round, as a contender of its own
    the second time, and a row of group "linalg null" compares the two: the
    ratios that one call shows against itself.
    """
    unknown = sorted(set(operations or []) - set(OPERATIONS)) + sorted(
        set(flavours or []) - set(FLAVOURS)
    )
    if unknown:
        raise ValueError(f"unknown linalg operations or flavours: {', '.join(unknown)}")
    rng = np.random.default_rng(20240611)
    rows: list[Row] = []
    for flavour, (cls_name, dtype) in FLAVOURS.items():
        if flavours and flavour not in flavours:
            continue
        for n in sizes:
            for operation, calls in _cases(cls_name, dtype, n, rng):
                if operations and operation not in operations:
                    continue
                log(f"  {operation} {flavour} n={n}")
                ours, *peers = calls
                numpy_peer = next((p for p in peers if p.startswith("numpy")), None)
                if null and numpy_peer is not None:
                    calls[f"{numpy_peer}, again"] = calls[numpy_peer]
                times = time_interleaved(calls, timing, settle_s)
                new = rows_for("linalg", operation, flavour, n, times, ours, peers)
                if null and numpy_peer is not None:
                    again = f"{numpy_peer}, again"
                    new += rows_for(
                        "linalg null", operation, flavour, n, times, again, [numpy_peer]
                    )
                for row in new:
                    log(f"    {row.peer.name}: {row.ratio:.3f}x")
                rows += new
    return rows
