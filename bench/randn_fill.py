"""Normal fills of haldo against numpy's Generator.standard_normal, timed
alternately in one process; prints the medians and their ratio.

    .venv/bin/python bench/randn_fill.py [--repeats 15]
"""

import argparse
import time

import numpy as np

import haldo

SIZES = [4096, 40_000, 1_000_000, 4_000_000]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=15)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    print("| elements | BasisReal.randn | Generator.standard_normal | ratio |")
    print("|---|---|---|---|")
    for n in SIZES:
        b, out = haldo.BasisReal(), np.empty(n)
        ours, peer = [], []
        for _ in range(args.repeats):
            t0 = time.perf_counter()
            b.randn(n)
            ours.append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            rng.standard_normal(out=out)
            peer.append(time.perf_counter() - t0)
        a, p = np.median(ours), np.median(peer)
        print(f"| {n} | {a * 1e3:.3f} ms | {p * 1e3:.3f} ms | {a / p:.2f} |")


if __name__ == "__main__":
    main()
