"""Per-call cost from Python: element get and set in a tight loop.

Every contender runs the same loop over the same precomputed indices, so the
loop's own cost is common to all of them; it is also timed alone ("empty loop")
and reported, so that the cost of the call itself can be read off.
"""

from __future__ import annotations

import random
import statistics

import numpy as np
from common import Row, Timing, rows_for, time_interleaved

import haldo

ORDER = 100  # operators are ORDER x ORDER, vectors ORDER long
VALUE = 1.5


def _loops_2d(get, put, rows, cols):
    """Loops over (row, col) for a getter taking two ints and a setter taking a value."""

    def read():
        for i, j in zip(rows, cols):
            get(i, j)

    def write():
        for i, j in zip(rows, cols):
            put(i, j, VALUE)

    return read, write


def _loops_1d(get, put, index):
    def read():
        for i in index:
            get(i)

    def write():
        for i in index:
            put(i, VALUE)

    return read, write


def _numpy_2d(a: np.ndarray, rows, cols):
    def read():
        for i, j in zip(rows, cols):
            a[i, j]

    def write():
        for i, j in zip(rows, cols):
            a[i, j] = VALUE

    return read, write


def _lists_2d(table: list[list], rows, cols):
    def read():
        for i, j in zip(rows, cols):
            table[i][j]

    def write():
        for i, j in zip(rows, cols):
            table[i][j] = VALUE

    return read, write


def _indexed_1d(a, index):
    def read():
        for i in index:
            a[i]

    def write():
        for i in index:
            a[i] = VALUE

    return read, write


def _empty_2d(rows, cols):
    def loop():
        for i, j in zip(rows, cols):
            pass

    return loop


def _empty_1d(index):
    def loop():
        for i in index:
            pass

    return loop


def _contenders(kind: str, flavour: str, calls: int):
    """(haldo name, read, write), peers as {name: (read, write)} and the empty loop."""
    rnd = random.Random(7)
    suffix = "Real" if flavour == "real" else "Complex"
    dtype = np.float64 if flavour == "real" else np.complex128
    if kind == "Operator":
        rows = [rnd.randrange(ORDER) for _ in range(calls)]
        cols = [rnd.randrange(ORDER) for _ in range(calls)]
        op = getattr(haldo, "Operator" + suffix)()
        op.zeros(ORDER, ORDER)
        a = np.zeros((ORDER, ORDER), dtype=dtype)
        table = a.tolist()
        ours = _loops_2d(op.get, op.set, rows, cols)
        peers = {
            "numpy a[i, j]": _numpy_2d(a, rows, cols),
            "list[i][j]": _lists_2d(table, rows, cols),
        }
        return "Operator" + suffix, ours, peers, _empty_2d(rows, cols)
    index = [rnd.randrange(ORDER) for _ in range(calls)]
    vec = getattr(haldo, "Basis" + suffix)()
    vec.zeros(ORDER)
    v = np.zeros(ORDER, dtype=dtype)
    ours = _loops_1d(vec.get, vec.set, index)
    peers = {"numpy v[i]": _indexed_1d(v, index), "list[i]": _indexed_1d(v.tolist(), index)}
    return "Basis" + suffix, ours, peers, _empty_1d(index)


def run(calls: int, timing: Timing, log) -> list[Row]:
    kinds = ["Basis"] + (["Operator"] if hasattr(haldo, "OperatorReal") else [])
    if "Operator" not in kinds:
        log("  Operator classes not built yet: only Basis get/set measured")
    rows: list[Row] = []
    for kind in kinds:
        for flavour in ("real", "complex"):
            cls_name, (our_read, our_write), peers, empty = _contenders(kind, flavour, calls)
            for action, ours, which in (("get", our_read, 0), ("set", our_write, 1)):
                log(f"  {cls_name}.{action} x{calls}")
                contenders = {f"{cls_name}.{action}": ours}
                contenders.update({name: pair[which] for name, pair in peers.items()})
                contenders["empty loop"] = empty
                times = time_interleaved(contenders, timing)
                found = rows_for(
                    "calls",
                    f"{kind}.{action}",
                    flavour,
                    calls,
                    times,
                    f"{cls_name}.{action}",
                    list(peers),
                )
                loop = statistics.median(times["empty loop"])
                for row in found:
                    for s in (row.ours, row.peer):
                        s.extra["ns_per_call"] = s.median_s / calls * 1e9
                        s.extra["ns_per_call_minus_loop"] = (s.median_s - loop) / calls * 1e9
                rows += found
    return rows
