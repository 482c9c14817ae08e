"""Timing, result records and the printed table shared by every case group.

Nothing here imports numpy or the project's modules: `set_threads` must run
before any BLAS is loaded, so this module stays import-safe.
"""

from __future__ import annotations

import math
import os
import statistics
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass, field

THREAD_VARIABLES = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS")


def set_threads(threads: int) -> None:
    """Fix the thread count of every BLAS and OpenMP runtime loaded later."""
    for name in THREAD_VARIABLES:
        os.environ[name] = str(threads)


@dataclass
class Timing:
    """How long to keep repeating one comparison."""

    min_repeats: int = 3
    max_repeats: int = 15
    budget_s: float = 2.0


def time_interleaved(
    calls: dict[str, Callable[[], object]],
    timing: Timing,
    settle_s: float = 0.0,
    warm_up: bool = True,
) -> dict[str, list[float]]:
    """Time each callable once per round, round after round.

    Alternating the contenders inside every round exposes them to the same
    machine state, so background load shifts both sides alike. One untimed
    warm-up call each comes first (lazy initialisation, page faults, caches),
    unless `warm_up` is False because the caller has just made those calls.

    With `settle_s` > 0, each contender's turn starts after that pause and
    holds as many calls as fit in it (at least one): the worker threads of the
    previous contender's BLAS, which spin for a while after each call, are
    asleep by then, so every side is timed as it runs in a process of its own.
    """
    if warm_up:
        for call in calls.values():
            call()
    times: dict[str, list[float]] = {name: [] for name in calls}
    start = time.perf_counter()
    for round_no in range(timing.max_repeats):
        for name, call in calls.items():
            if settle_s > 0:
                time.sleep(settle_s)
            turn_start = time.perf_counter()
            while True:
                t0 = time.perf_counter()
                call()
                t1 = time.perf_counter()
                times[name].append(t1 - t0)
                if t1 - turn_start >= settle_s:
                    break
        done = round_no + 1
        if done >= timing.min_repeats and time.perf_counter() - start >= timing.budget_s:
            break
    return times


@dataclass
class Side:
    """One contender of a comparison: what was called and how long it took."""

    name: str
    median_s: float
    times_s: list[float]
    extra: dict[str, float] = field(default_factory=dict)


@dataclass
class Row:
    group: str
    operation: str
    flavour: str
    size: int
    ours: Side
    peer: Side

    @property
    def ratio(self) -> float:
        return self.ours.median_s / self.peer.median_s

    def as_dict(self) -> dict:
        data = asdict(self)
        data["ratio"] = self.ratio
        return data


def side(name: str, times: list[float], **extra: float) -> Side:
    return Side(name, statistics.median(times), list(times), dict(extra))


def rows_for(
    group: str,
    operation: str,
    flavour: str,
    size: int,
    times: dict[str, list[float]],
    ours: str,
    peers: list[str],
) -> list[Row]:
    """One row per peer, each against the same measurement of ours."""
    mine = side(ours, times[ours])
    return [Row(group, operation, flavour, size, mine, side(p, times[p])) for p in peers]


def format_seconds(seconds: float) -> str:
    if not math.isfinite(seconds):
        return str(seconds)
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:7.3f} {unit}"
    return f"{seconds / 1e-9:7.1f} ns"


def format_table(rows: list[Row]) -> str:
    header = ("operation", "flavour", "size", "this project", "median", "peer", "median", "ratio")
    body = [
        (
            r.operation,
            r.flavour,
            str(r.size),
            r.ours.name,
            format_seconds(r.ours.median_s),
            r.peer.name,
            format_seconds(r.peer.median_s),
            f"{r.ratio:.2f}",
        )
        for r in rows
    ]
    return _layout(header, body, right={2, 4, 6, 7})


def format_extra_table(rows: list[Row], keys: list[tuple[str, str, str]]) -> str:
    """Side-by-side extra figures (throughput, memory) for rows that have them.

    `keys` lists (key in Side.extra, column title, format spec).
    """
    header = ["operation", "size", "side"] + [title for _, title, _ in keys]
    body = []
    for r in rows:
        for s in (r.ours, r.peer):
            cells = [r.operation, str(r.size), s.name]
            for key, _, spec in keys:
                value = s.extra.get(key)
                cells.append("-" if value is None else format(value, spec))
            body.append(tuple(cells))
    unique = list(dict.fromkeys(body))
    return _layout(tuple(header), unique, right=set(range(1, len(header))) - {2})


def _layout(header: tuple[str, ...], body: list[tuple[str, ...]], right: set[int]) -> str:
    widths = [max(len(line[k]) for line in [header, *body]) for k in range(len(header))]

    def line(cells: tuple[str, ...]) -> str:
        out = []
        for k, cell in enumerate(cells):
            out.append(cell.rjust(widths[k]) if k in right else cell.ljust(widths[k]))
        return "  ".join(out).rstrip()

    rule = "  ".join("-" * w for w in widths)
    return "\n".join([line(header), rule, *(line(b) for b in body)])
