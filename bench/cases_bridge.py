"""numpy bridge: morvak.to_numpy and from_numpy of a large matrix against numpy.copy.

Both sides produce a fresh copy of the same values, so numpy.copy of the
source array is the floor that a bridge copy is measured against. from_numpy
is timed from a column-major array (Armadillo's own order: one block copy) and
from a row-major one (numpy's default: a transpose on the way in).
"""

from __future__ import annotations

import numpy as np
from common import Row, Timing, rows_for, time_interleaved

import haldo


def available() -> bool:
    try:
        import morvak

        morvak.to_numpy(haldo.BasisReal())
    except (ImportError, NotImplementedError):
        return False
    return True


def _check_exact(a: np.ndarray, b: np.ndarray, what: str) -> None:
    if a.shape != b.shape or a.dtype != b.dtype or a.tobytes() != b.tobytes():
        raise SystemExit(f"error: {what} did not copy the values exactly")


def _compare(flavour, cls, order, op, fortran, c_order, timing, log) -> list[Row]:
    import morvak

    cases = (
        ("to_numpy", "morvak.to_numpy", lambda: morvak.to_numpy(op), fortran),
        ("from_numpy F", "morvak.from_numpy", lambda: morvak.from_numpy(fortran, cls), fortran),
        ("from_numpy C", "morvak.from_numpy", lambda: morvak.from_numpy(c_order, cls), c_order),
    )
    rows: list[Row] = []
    for operation, ours, call, source in cases:
        log(f"  {operation} {flavour} {order}x{order}")
        peer = "numpy.copy"
        times = time_interleaved({ours: call, peer: lambda src=source: np.copy(src)}, timing)
        rows += rows_for("bridge", operation, flavour, order, times, ours, [peer])
    return rows


def run(order: int, timing: Timing, log) -> list[Row]:
    import morvak

    rows: list[Row] = []
    rng = np.random.default_rng(11)
    for flavour, cls, dtype in (
        ("complex", haldo.OperatorComplex, np.complex128),
        ("real", haldo.OperatorReal, np.float64),
    ):
        values = rng.standard_normal((order, order))
        if dtype is np.complex128:
            values = values + 1j * rng.standard_normal((order, order))
        fortran = np.asfortranarray(values)
        c_order = np.ascontiguousarray(values)
        del values
        op = morvak.from_numpy(fortran, cls)
        _check_exact(morvak.to_numpy(op), fortran, "to_numpy")
        _check_exact(morvak.to_numpy(morvak.from_numpy(c_order, cls)), fortran, "from_numpy")

        rows += _compare(flavour, cls, order, op, fortran, c_order, timing, log)
        del op, fortran, c_order
    return rows
