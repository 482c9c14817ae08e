"""haldo's product against numpy's `@` on the same matrices, in paired rounds.

    .venv/bin/python bench/paired_products.py [--n 2000] [--threads 1] [--rounds 7] [--real]

Each round times one call of each side, and numpy's call once more, in an
order that rotates, after a 0.3 s pause each (blas_builds._take_turns). The
cells are medians of the per-round ratios, with their range; numpy against
itself shows what the run resolves.
"""

from __future__ import annotations

import argparse
import statistics

import morvak
import numpy as np
from blas_builds import _take_turns
from threadpoolctl import threadpool_limits

import haldo


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=2000)
    parser.add_argument("--threads", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--real", action="store_true", help="real matrices (default complex)")
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    a = rng.standard_normal((args.n, args.n))
    cls = haldo.OperatorReal
    if not args.real:
        a = a + 1j * rng.standard_normal((args.n, args.n))
        cls = haldo.OperatorComplex
    b = a.T.copy()
    x, y = morvak.from_numpy(a, cls), morvak.from_numpy(b, cls)
    with threadpool_limits(args.threads):
        calls = {"haldo": lambda: x * y, "numpy": lambda: a @ b, "numpy, again": lambda: a @ b}
        times = _take_turns(calls, args.rounds)
    for name in ("haldo", "numpy, again"):
        r = [t / u for t, u in zip(times[name], times["numpy"])]
        print(
            f"n={args.n} threads={args.threads} {name} / numpy: {statistics.median(r):.3f} "
            f"({min(r):.3f}-{max(r):.3f}); numpy {statistics.median(times['numpy']):.3f} s"
        )


if __name__ == "__main__":
    main()
