"""Alternating haldo and numpy calls in one loop, against the two loops run alone.

haldo calls numpy's own OpenBLAS when numpy's wheel carries one, so the two
share one thread pool; with another numpy they hold two. After a call, a
pool's workers spin for a while before they sleep, so a loop that alternates
two pools meets the other pool's spinning workers on every call. Each round times k iterations of: haldo
alone, numpy alone, both in turn, and both in turn under
`morvak.blas_threads(1)`. A pause before every loop lets the workers of the
previous loop fall asleep, so each loop starts from quiet pools. The ratio is
the alternating loop over the sum of the two loops alone (default threads).

numpy alternating with scipy, whose wheels carry two more OpenBLAS copies,
is the peers' own figure for the same pattern. The same loop also runs in a
child process started with OPENBLAS_THREAD_TIMEOUT=4, which both OpenBLAS
copies read when they load: their workers then sleep at once after each call.
"""

from __future__ import annotations

import json
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable

import numpy as np
import scipy.linalg
import scipy.linalg.blas
from common import Row, Side, Timing

import haldo

# (operation, iterations per loop, which order: the product's or the decompositions')
CASES = (("product", 100, 0), ("eigen hermitian", 3, 1), ("eigen general", 2, 1))
# Workers sleep after 2^4 cycles instead of 2^28: read once, when OpenBLAS loads.
SHORT_SPIN = {"OPENBLAS_THREAD_TIMEOUT": "4"}
MIN_ROUNDS = 5


def available() -> bool:
    return hasattr(haldo, "OperatorReal")


def _blas_threads():
    from morvak import blas_threads

    return blas_threads


def _calls(operation: str, n: int, rng: np.random.Generator):
    """haldo's call, numpy's call and scipy's call for one case."""
    a = haldo.OperatorReal()
    a.randn(n, n)
    b = haldo.OperatorReal()
    b.randn(n, n)
    A = rng.standard_normal((n, n))
    B = rng.standard_normal((n, n))
    if operation == "product":
        return (lambda: a * b, lambda: A @ B, lambda: scipy.linalg.blas.dgemm(1.0, A, B))
    if operation == "eigen general":
        return (
            a.eigen,
            lambda: np.linalg.eig(A),
            lambda: scipy.linalg.eig(A, left=False, right=True),
        )
    h = a + a.transpose()
    H = A + A.T
    if not h.is_hermitian():
        raise RuntimeError(f"eigen hermitian {n}: the haldo matrix is not symmetric")
    return (h.eigen, lambda: np.linalg.eigh(H), lambda: scipy.linalg.eigh(H, driver="evd"))


def _loop(calls: tuple[Callable[[], object], ...], k: int, pause_s: float) -> float:
    """Seconds per iteration of k iterations, each making every call once."""
    time.sleep(pause_s)
    t0 = time.perf_counter()
    for _ in range(k):
        for call in calls:
            call()
    return (time.perf_counter() - t0) / k


def _rounds(loops: dict[str, Callable[[], float]], timing: Timing) -> dict[str, list[float]]:
    times: dict[str, list[float]] = {name: [] for name in loops}
    names = list(loops)
    start = time.perf_counter()
    # More rounds than elsewhere: these loops see the noise of a busy machine twice.
    min_rounds = min(max(timing.min_repeats, MIN_ROUNDS), timing.max_repeats)
    for round_no in range(timing.max_repeats):
        # Rotate the order so that no loop always follows the same one.
        shift = round_no % len(names)
        for name in names[shift:] + names[:shift]:
            times[name].append(loops[name]())
        done = round_no + 1
        if done >= min_rounds and time.perf_counter() - start >= timing.budget_s:
            break
    return times


def _measure(operation, n, k, timing, pause_s, child=False) -> dict[str, list[float]]:
    ours, peer, scipy_call = _calls(operation, n, np.random.default_rng(20240611))
    for call in (ours, peer, scipy_call):
        call()
    loops = {
        "haldo": lambda: _loop((ours,), k, pause_s),
        "numpy": lambda: _loop((peer,), k, pause_s),
        "haldo+numpy": lambda: _loop((ours, peer), k, pause_s),
    }
    if not child:
        remedy = _blas_threads()

        def remedied() -> float:
            with remedy(1):
                return _loop((ours, peer), k, pause_s)

        loops["scipy"] = lambda: _loop((scipy_call,), k, pause_s)
        loops["numpy+scipy"] = lambda: _loop((peer, scipy_call), k, pause_s)
        loops["haldo+numpy, blas_threads(1)"] = remedied
    return _rounds(loops, timing)


def _in_child(operation, n, k, timing, pause_s, env) -> dict[str, list[float]]:
    """The loops of one case in a fresh interpreter whose OpenBLAS copies load under `env`."""
    args = [operation, n, k, pause_s, timing.min_repeats, timing.max_repeats, timing.budget_s]
    done = subprocess.run(
        [sys.executable, __file__, *map(str, args)],
        env={**os.environ, **env},
        capture_output=True,
        text=True,
        check=False,
    )
    if done.returncode != 0:
        raise RuntimeError(f"interleave child failed: {done.stderr.strip()}")
    return json.loads(done.stdout)


def _row(operation, n, times, together: str, parts, label: str, alone_times=None) -> Row:
    alone_times = alone_times or times
    alone = [x + y for x, y in zip(alone_times[parts[0]], alone_times[parts[1]])]
    ours = Side(label, statistics.median(times[together]), times[together])
    if alone_times is not times:
        own = [x + y for x, y in zip(times[parts[0]], times[parts[1]])]
        ours.extra["own_process_alone_s"] = statistics.median(own)
    peer = Side(
        f"{parts[0]} alone + {parts[1]} alone",
        statistics.median(alone),
        alone,
        {f"{p}_alone_s": statistics.median(alone_times[p]) for p in parts},
    )
    return Row("interleave", operation, "real", n, ours, peer)


def run(sizes: list[int], timing: Timing, log, pause_s: float) -> list[Row]:
    """`sizes`: the product's order, then the eigen-decomposition's."""
    rows: list[Row] = []
    pair = ("haldo", "numpy")
    for operation, k, which in CASES:
        n = sizes[which]
        log(f"  {operation} real n={n}, {k} iterations per loop")
        times = _measure(operation, n, k, timing, pause_s)
        short = _in_child(operation, n, k, timing, pause_s, SHORT_SPIN)
        rows += [
            _row(operation, n, times, "haldo+numpy", pair, "haldo, numpy in turn"),
            _row(
                operation,
                n,
                times,
                "haldo+numpy, blas_threads(1)",
                pair,
                "in turn, morvak.blas_threads(1)",
            ),
            _row(
                operation,
                n,
                short,
                "haldo+numpy",
                pair,
                "in turn, OPENBLAS_THREAD_TIMEOUT=4",
                alone_times=times,
            ),
            _row(
                operation,
                n,
                times,
                "numpy+scipy",
                ("numpy", "scipy"),
                "numpy, scipy in turn (peers)",
            ),
        ]
    return rows


if __name__ == "__main__":
    # Child mode: python cases_interleave.py OPERATION N K PAUSE MIN MAX BUDGET
    operation, n, k, pause, low, high, budget = sys.argv[1:]
    child_timing = Timing(int(low), int(high), float(budget))
    result = _measure(operation, int(n), int(k), child_timing, float(pause), child=True)
    print(json.dumps(result))
