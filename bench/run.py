"""Run the benchmark suite: haldo, pelmar and morvak against numpy, scipy and ASE.

Prints the machine, the BLAS thread pools of both sides and one table of
medians and ratios (this project's time over the peer's; below 1 is faster),
and writes everything, every single timing included, as JSON.

    python bench/run.py                 # full run (several minutes)
    python bench/run.py --quick         # small sizes, under a minute
    python bench/run.py --groups linalg --sizes 200,1000
    python bench/run.py --groups interleave,linalg --sizes 1000,2000,4000
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import shlex
import sys
import time
from pathlib import Path

from common import Row, Timing, format_extra_table, format_table, set_threads

HERE = Path(__file__).resolve().parent
GROUPS = ("linalg", "calls", "files", "extxyz", "neighbours", "bridge", "interleave", "model")
FULL = {
    "sizes": [200, 1000, 2000],
    "calls": 10**6,
    "atoms": [10**3, 10**5, 10**6],
    "neighbour_atoms": [10**5, 10**6],
    "bridge_order": 4000,
    "interleave_sizes": [200, 1000],
    "model": {"build_atoms": 10**6, "kpm_sites": 10**6, "kpm_moments": 1024, "nk": 1000},
}
QUICK = {
    "sizes": [100, 200],
    "calls": 10**5,
    "atoms": [10**3, 10**4],
    "neighbour_atoms": [10**4],
    "bridge_order": 500,
    "interleave_sizes": [100, 200],
    "model": {"build_atoms": 10**4, "kpm_sites": 10**4, "kpm_moments": 256, "nk": 50},
}


def _int_list(text: str) -> list[int]:
    try:
        values = [int(float(part)) for part in text.split(",") if part.strip()]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected comma-separated integers, found {text!r}")
    if not values or min(values) < 1:
        raise argparse.ArgumentTypeError(f"expected positive integers, found {text!r}")
    return values


def _groups(text: str) -> list[str]:
    chosen = [g.strip() for g in text.split(",") if g.strip()]
    unknown = sorted(set(chosen) - set(GROUPS))
    if unknown or not chosen:
        raise argparse.ArgumentTypeError(
            f"unknown group(s) {', '.join(unknown) or text!r}; choose from {', '.join(GROUPS)}"
        )
    return chosen


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--groups", type=_groups, default=list(GROUPS), help="comma list of " + ", ".join(GROUPS)
    )
    parser.add_argument(
        "--threads",
        type=int,
        default=len(os.sched_getaffinity(0)),
        help="BLAS and OpenMP threads on both sides (default: usable CPUs)",
    )
    parser.add_argument(
        "--quick", action="store_true", help="small sizes and few repeats: a smoke run"
    )
    parser.add_argument(
        "--sizes", type=_int_list, help="matrix orders for linalg (default 200,1000,2000)"
    )
    parser.add_argument(
        "--interleave-sizes",
        type=_int_list,
        help="interleave: order of the product, then of the Hermitian eigen (default 200,1000)",
    )
    parser.add_argument(
        "--operations",
        type=lambda text: [part.strip() for part in text.split(",") if part.strip()],
        help="linalg: only these operations, e.g. 'product,eigen general' (default: all)",
    )
    parser.add_argument(
        "--flavours",
        type=lambda text: [part.strip() for part in text.split(",") if part.strip()],
        help="linalg: only these flavours, real and/or complex (default: both)",
    )
    parser.add_argument(
        "--null",
        action="store_true",
        help="linalg: also time numpy's call a second time in each round and report it against "
        "itself, which shows how far apart two runs of one call come out",
    )
    parser.add_argument("--calls", type=int, help="calls per get/set loop (default 1e6)")
    parser.add_argument(
        "--atoms", type=_int_list, help="atom counts for files and extxyz (default 1e3,1e5,1e6)"
    )
    parser.add_argument(
        "--neighbour-atoms",
        type=_int_list,
        help="atom counts for neighbours (default 1e5,1e6)",
    )
    parser.add_argument(
        "--ase-max",
        type=int,
        default=10**5,
        help="largest atom count at which ASE's neighbor_list is run; above it its time "
        "is extrapolated linearly, which flatters it (default 1e5)",
    )
    parser.add_argument(
        "--bridge-order", type=int, help="matrix order for the numpy bridge (default 4000)"
    )
    parser.add_argument(
        "--repeats", type=int, help="minimum timed repeats per comparison (default 3)"
    )
    parser.add_argument("--max-repeats", type=int, help="maximum timed repeats (default 15)")
    parser.add_argument(
        "--budget",
        type=float,
        help="seconds after which repeats stop once the minimum is reached (default 2)",
    )
    parser.add_argument(
        "--settle",
        type=float,
        help="linalg and interleave: seconds of pause before each side's turn or loop, so that the other BLAS pool's "
        "workers sleep (default 0.3 with more than one thread, else 0)",
    )
    parser.add_argument(
        "--no-memory", action="store_true", help="skip the peak-memory subprocesses"
    )
    parser.add_argument(
        "--data-dir",
        type=Path,
        default=HERE / "results" / "data",
        help="cache of generated structure files",
    )
    parser.add_argument(
        "--json",
        type=Path,
        default=HERE / "results" / "results.json",
        help="where to write the results",
    )
    parser.add_argument(
        "--model-sites", type=int, help="atoms of the model build and KPM (default 1e6)"
    )
    parser.add_argument("--model-kpoints", type=int, help="k-points of the bands case (1000)")
    parser.add_argument("--model-moments", type=int, help="KPM moments (default 1024)")
    args = parser.parse_args(argv)
    if args.threads < 1:
        parser.error("--threads must be at least 1")
    defaults = QUICK if args.quick else FULL
    args.sizes = args.sizes or defaults["sizes"]
    args.calls = args.calls or defaults["calls"]
    args.atoms = args.atoms or defaults["atoms"]
    args.neighbour_atoms = args.neighbour_atoms or defaults["neighbour_atoms"]
    args.bridge_order = args.bridge_order or defaults["bridge_order"]
    args.interleave_sizes = args.interleave_sizes or defaults["interleave_sizes"]
    if len(args.interleave_sizes) != 2:
        parser.error("--interleave-sizes takes two orders: the product's, then the eigen's")
    args.model = dict(defaults["model"])
    if args.model_sites:
        args.model.update(build_atoms=args.model_sites, kpm_sites=args.model_sites)
    if args.model_kpoints:
        args.model["nk"] = args.model_kpoints
    if args.model_moments:
        args.model["kpm_moments"] = args.model_moments
    timing = Timing(min_repeats=2, max_repeats=5, budget_s=0.3) if args.quick else Timing()
    if args.repeats is not None:
        timing.min_repeats = args.repeats
    if args.max_repeats is not None:
        timing.max_repeats = args.max_repeats
    if args.budget is not None:
        timing.budget_s = args.budget
    if timing.min_repeats < 1 or timing.max_repeats < timing.min_repeats:
        parser.error("need 1 <= --repeats <= --max-repeats")
    args.timing = timing
    if args.settle is None:
        args.settle = 0.3 if args.threads > 1 else 0.0
    if args.settle < 0:
        parser.error("--settle must not be negative")
    return args


def _check_built(module) -> None:
    # A source folder of the same name on sys.path imports as an empty namespace package.
    if getattr(module, "__file__", None) is None:
        raise SystemExit(
            f"error: '{module.__name__}' is not the built extension module. Install the package "
            "(./dev bench does) or put the build's python folder on PYTHONPATH."
        )


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    # Before numpy, scipy or haldo load their BLAS.
    set_threads(args.threads)

    import machine
    import numpy  # noqa: F401
    import scipy.linalg  # noqa: F401

    import haldo

    _check_built(haldo)
    modules = {"haldo": haldo.__file__}
    try:
        import pelmar

        _check_built(pelmar)
        modules["pelmar"] = pelmar.__file__
    except ImportError:
        log("pelmar is not built: the files group has nothing of ours to measure")

    started = time.time()
    meta = {
        "command": shlex.join(["python", "bench/run.py", *argv]),
        "started": time.strftime("%Y-%m-%d %H:%M:%S %z", time.localtime(started)),
        "machine": machine.describe_machine(),
        "threads": machine.thread_pools(args.threads),
        "modules": modules,
        "options": {
            "groups": args.groups,
            "sizes": args.sizes,
            "operations": args.operations,
            "flavours": args.flavours,
            "null": args.null,
            "calls": args.calls,
            "atoms": args.atoms,
            "neighbour_atoms": args.neighbour_atoms,
            "ase_max": args.ase_max,
            "bridge_order": args.bridge_order,
            "interleave_sizes": args.interleave_sizes,
            "model": args.model,
            "repeats": vars(args.timing),
            "memory": not args.no_memory,
            "settle_s": args.settle,
        },
    }
    for name, value in meta["machine"]["tuning_variables"].items():
        if value is not None:
            log(f"warning: {name}={value} is set; ./dev bench unsets it for a fair run")
    print(f"machine: {meta['machine']['cpu']}, {meta['machine']['usable_cpus']} usable CPUs")
    print(machine.format_pools(meta["threads"]))

    rows: list[Row] = []
    if "linalg" in args.groups:
        import cases_linalg

        log("linalg")
        if cases_linalg.available():
            rows += cases_linalg.run(
                args.sizes, args.timing, log, args.settle, args.operations, args.flavours, args.null
            )
        else:
            log("  Operator classes not built yet: linalg skipped")
    if "calls" in args.groups:
        import cases_calls

        log("calls")
        rows += cases_calls.run(args.calls, args.timing, log)
    if "files" in args.groups:
        import cases_files

        log("files")
        rows += cases_files.run(args.atoms, args.data_dir, args.timing, not args.no_memory, log)
    if "extxyz" in args.groups:
        import cases_extxyz

        log("extxyz")
        if importlib.util.find_spec("morvak") is None:
            log("  morvak is not built: extxyz skipped")
        else:
            rows += cases_extxyz.run(args.atoms, args.data_dir, args.timing, log)

    if "neighbours" in args.groups:
        import cases_neighbours

        log("neighbours")
        rows += cases_neighbours.run(
            args.neighbour_atoms,
            args.ase_max,
            args.timing,
            not args.no_memory,
            log,
            args.settle,
        )

    if "bridge" in args.groups:
        import cases_bridge

        log("bridge")
        if cases_bridge.available():
            rows += cases_bridge.run(args.bridge_order, args.timing, log)
        else:
            log("  morvak's numpy bridge is not built yet: bridge skipped")
    if "interleave" in args.groups:
        import cases_interleave

        log("interleave")
        if cases_interleave.available():
            rows += cases_interleave.run(args.interleave_sizes, args.timing, log, args.settle)
        else:
            log("  Operator classes not built yet: interleave skipped")

    if "model" in args.groups:
        import cases_model

        log("model")
        rows += cases_model.run(**args.model, timing=args.timing, log=log)

    meta["seconds"] = time.time() - started
    meta["load_average_at_end"] = list(os.getloadavg())
    print()
    print(format_table(rows) if rows else "no comparisons were run")
    calls = [r for r in rows if r.group == "calls"]
    if calls:
        print()
        print(
            format_extra_table(
                calls,
                [
                    ("ns_per_call", "ns/call", ".1f"),
                    ("ns_per_call_minus_loop", "ns/call - loop", ".1f"),
                ],
            )
        )
    files = [r for r in rows if r.group in ("files", "extxyz")]
    if files:
        print()
        print(
            format_extra_table(
                files,
                [
                    ("MB_per_s", "MB/s", ".1f"),
                    ("atoms_per_s", "atoms/s", ".3g"),
                    ("peak_MB", "peak MB", ".1f"),
                    ("peak_x_arrays", "peak/arrays", ".2f"),
                ],
            )
        )
    args.json.parent.mkdir(parents=True, exist_ok=True)
    args.json.write_text(
        json.dumps({"meta": meta, "results": [r.as_dict() for r in rows]}, indent=1) + "\n"
    )
    neighbour_rows = [r for r in rows if r.group == "neighbours"]
    if neighbour_rows:
        print()
        print(
            format_extra_table(
                neighbour_rows,
                [
                    ("pairs", "pairs", ".0f"),
                    ("pairs_per_s", "pairs/s", ".3g"),
                    ("peak_MB", "peak MB", ".1f"),
                    ("arrays_MB", "arrays MB", ".1f"),
                    ("peak_x_arrays", "peak/arrays", ".2f"),
                ],
            )
        )
    print(f"\nresults written to {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
