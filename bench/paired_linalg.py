"""haldo's LAPACK-bound calls against numpy's on the same matrices, in paired rounds.

    .venv/bin/python bench/paired_linalg.py [--sizes 1000,2000] [--threads 1,2] [--rounds 5]
        [--operations product,inverse,det,eigen hermitian,eigen general] [--flavours real,complex]
        [--warmup 2] [--numpy-uplo L]

Each round times one call of each side, and numpy's call once more, in an
order that rotates, after a 0.3 s pause each (blas_builds._take_turns);
numpy against itself shows what the run resolves. The suite's linalg group
compares medians of separate series instead, which resolves about 15%.

Each cell is the geometric mean of the per-round ratios with its 95%
Student-t interval (on the logarithms), then the range of the ratios. The
verdict reads the interval: "below" and "above" when it excludes 1, "at"
when it holds 1 (the two sides' times are not told apart by the run).
"""

from __future__ import annotations

import argparse
import math
import statistics

import morvak
import numpy as np
from blas_builds import _take_turns
from scipy import stats
from threadpoolctl import threadpool_limits

import haldo

OPERATIONS = ("product", "inverse", "det", "eigen hermitian", "eigen general")


def _calls(operation: str, flavour: str, n: int, uplo: str = "L") -> dict:
    rng = np.random.default_rng(n)
    a = rng.standard_normal((n, n))
    cls = haldo.OperatorReal
    if flavour == "complex":
        a = a + 1j * rng.standard_normal((n, n))
        cls = haldo.OperatorComplex
    if operation == "eigen hermitian":
        a = a + a.conj().T
    if operation == "det":
        # |det| of a standard normal matrix is about e^(n/2) n^(n/2); this scale
        # keeps it within the double range.
        a = a * np.sqrt(np.e / n / (2 if flavour == "complex" else 1))
    b = a.T.copy()
    x, y = morvak.from_numpy(a, cls), morvak.from_numpy(b, cls)
    ours, theirs = {
        "product": (lambda: x * y, lambda: a @ b),
        "inverse": (x.inverse, lambda: np.linalg.inv(a)),
        "det": (x.det, lambda: np.linalg.det(a)),
        "eigen hermitian": (x.eigen, lambda: np.linalg.eigh(a, UPLO=uplo)),
        "eigen general": (x.eigen, lambda: np.linalg.eig(a)),
    }[operation]
    return {"haldo": ours, "numpy": theirs, "numpy, again": theirs}


def _interval(ratios: list[float]) -> tuple[float, float, float]:
    logs = [math.log(r) for r in ratios]
    mean = statistics.fmean(logs)
    if len(logs) < 2:
        return math.exp(mean), math.nan, math.nan
    half = stats.t.ppf(0.975, len(logs) - 1) * statistics.stdev(logs) / math.sqrt(len(logs))
    return math.exp(mean), math.exp(mean - half), math.exp(mean + half)


def _cell(times: dict, name: str) -> tuple[str, str]:
    r = [t / u for t, u in zip(times[name], times["numpy"])]
    mean, low, high = _interval(r)
    spread = f"({min(r):.3f}-{max(r):.3f})"
    if math.isnan(low):
        return f"{mean:.3f} {spread}", "-"
    verdict = "below" if high < 1 else "above" if low > 1 else "at"
    return f"{mean:.3f} [{low:.3f}, {high:.3f}] {spread}", verdict


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    listed = lambda convert: lambda text: [convert(v) for v in text.split(",")]
    parser.add_argument("--sizes", type=listed(int), default=[1000, 2000])
    parser.add_argument("--threads", type=listed(int), default=[1, 2])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--warmup", type=int, default=2, help="untimed calls of each side first")
    parser.add_argument("--operations", type=listed(str), default=list(OPERATIONS))
    parser.add_argument("--flavours", type=listed(str), default=["real", "complex"])
    parser.add_argument(
        "--numpy-uplo",
        choices=("L", "U"),
        default="L",
        help="the triangle numpy's eigh reads (its default L; haldo's Hermitian solver reads U)",
    )
    args = parser.parse_args()
    print("| operation | flavour | n | threads | numpy | haldo / numpy | verdict | numpy / numpy |")
    print("|---|---|---|---|---|---|---|---|")
    for threads in args.threads:
        for n in args.sizes:
            for operation in args.operations:
                for flavour in args.flavours:
                    calls = _calls(operation, flavour, n, args.numpy_uplo)
                    with threadpool_limits(threads):
                        # Fresh large blocks meet the kernel's huge-page compaction in
                        # the first calls of a process, on both sides; untimed calls
                        # let that settle.
                        for call in args.warmup * list(calls.values()):
                            call()
                        times = _take_turns(calls, args.rounds)
                    seconds = statistics.median(times["numpy"])
                    cells = [operation, flavour, str(n), str(threads), f"{seconds:.4g} s"]
                    cells += [*_cell(times, "haldo"), _cell(times, "numpy, again")[0]]
                    print("| " + " | ".join(cells) + " |", flush=True)


if __name__ == "__main__":
    main()
