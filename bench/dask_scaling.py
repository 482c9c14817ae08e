"""Band structures on a local Dask cluster: speedup from 1 to 2 workers, task overhead.

    python bench/dask_scaling.py                 # 2000 k-points, 400 orbitals
    python bench/dask_scaling.py --kpoints 200   # a quick look

Each cluster has single-threaded worker processes. The local serial run is the
reference: the cluster's energies must equal it bit for bit. The per-task
overhead is the wall time of many empty tasks divided by their number, and a
worked estimate for 64 workers follows from it and the measured time per
k-point.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import time

import numpy as np


def graphene_cell(orbitals: int):
    """A graphene supercell with `orbitals` atoms (two per primitive cell)."""
    import pelmar

    a = 2.46
    a1, a2 = np.array([a, 0.0, 0.0]), np.array([a / 2, a * np.sqrt(3) / 2, 0.0])
    nx = int(np.sqrt(orbitals / 2))
    while (orbitals // 2) % nx:
        nx -= 1
    ny = orbitals // 2 // nx
    basis = [(a1 + a2) / 3, 2 * (a1 + a2) / 3]
    positions = [i * a1 + j * a2 + b for i in range(nx) for j in range(ny) for b in basis]
    cell = np.array([nx * a1, ny * a2, [0.0, 0.0, 10.0]])
    return pelmar.Crystal(cell, ["C"] * len(positions), np.array(positions), pbc=(1, 1, 0))


def timed(call, repeats: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(repeats):
        t0 = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


def noop(x):
    return x


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--kpoints", type=int, default=2000)
    parser.add_argument("--orbitals", type=int, default=400)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--tasks", type=int, default=400, help="empty tasks for the overhead")
    parser.add_argument("--json", help="write the figures here too")
    args = parser.parse_args()

    import distributed
    import morvak

    model = morvak.Model(graphene_cell(args.orbitals))
    model.hopping(-2.7, cutoff=1.6)
    path = [("G", (0, 0, 0)), ("K", (1 / 3, 1 / 3, 0)), ("M", (0.5, 0, 0)), ("G", (0, 0, 0))]
    print(f"{model.natom} orbitals, {args.kpoints} k-points, load {os.getloadavg()}")

    local_s, local = timed(lambda: model.bands(path, n=args.kpoints), 1)
    print(f"local (this process, native threads): {local_s:.2f} s")
    figures = {"orbitals": model.natom, "kpoints": args.kpoints, "local_s": local_s}
    for workers in (1, 2):
        with (
            distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            model.bands(path, n=8 * workers, client=client)  # warm-up: imports, scatter
            seconds, bands = timed(
                lambda client=client: model.bands(path, n=args.kpoints, client=client),
                args.repeats,
            )
            assert np.array_equal(bands.energies, local.energies), "energies differ"
            figures[f"workers_{workers}_s"] = seconds
            print(f"{workers} worker(s): {seconds:.2f} s (energies identical to the local run)")
            if workers == 2:
                morvak.sweep(noop, range(10), client=client)
                overhead, _ = timed(
                    lambda client=client: morvak.sweep(noop, range(args.tasks), client=client),
                    args.repeats,
                )
                figures["task_overhead_s"] = overhead / args.tasks * workers
    speedup = figures["workers_1_s"] / figures["workers_2_s"]
    per_k = figures["workers_1_s"] / args.kpoints
    overhead = figures["task_overhead_s"]
    figures.update(speedup=speedup, seconds_per_kpoint=per_k)
    print(f"speedup 2 workers / 1 worker: {speedup:.2f}x")
    print(
        f"per k-point on one worker: {per_k * 1e3:.1f} ms; per task overhead: {overhead * 1e3:.2f} ms"
    )
    # 64 workers, 4 blocks each: the same k-points in 256 tasks.
    tasks = 4 * 64
    estimate = args.kpoints * per_k / 64 + tasks * overhead / 64
    figures["estimate_64_workers_s"] = estimate
    print(
        f"64 workers (estimate): {args.kpoints} k-points x {per_k * 1e3:.1f} ms / 64 "
        f"+ {tasks} tasks x {overhead * 1e3:.2f} ms / 64 = {estimate:.2f} s, "
        f"{figures['workers_1_s'] / estimate:.0f}x one worker"
    )
    if args.json:
        with open(args.json, "w") as out:
            json.dump(figures, out, indent=1)


if __name__ == "__main__":
    main()
