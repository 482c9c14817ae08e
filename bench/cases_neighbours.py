"""Neighbour lists: morvak.neighbours against vesin and ASE's neighbor_list.

Every contender's pair set is checked against ours before any timing counts.
vesin is timed at every size; ASE, far slower and memory-hungry, only up to
`ase_max` atoms. Above that its time is extrapolated linearly in the atom
count from the largest size measured, and the row's peer name says so. That
flatters ASE: at 10^6 atoms its calls take longer per atom than at 10^5.
ASE's rounds stop after a minute once one is done, so a 10^6-atom run costs
two ASE calls per structure (the pair check doubles as the warm-up).

Each turn starts after the settle pause: ASE's search ends with a numpy
product, whose OpenBLAS workers spin for about a tenth of a second after it
and would take the CPUs from whatever runs next.

Peak memory is measured once per contender and size in a fresh interpreter
(neighbour_memory.py) and reported as a multiple of the contender's own
output arrays.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import neighbour_data
from common import Row, Side, Timing, rows_for, side, time_interleaved

HERE = Path(__file__).resolve().parent
OURS, VESIN, ASE = "morvak.neighbours", "vesin", "ase.neighbor_list"
# ASE's search on the 10^6-atom sheet outgrew this 24 GB machine and the
# kernel killed it, so on the sheet it runs only up to here.
ASE_LARGEST = {"graphene": 10**5}


def peak_memory(kind: str, natom: int, contender: str) -> dict:
    command = [sys.executable, str(HERE / "neighbour_memory.py"), kind, str(natom), contender]
    done = subprocess.run(command, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"peak memory of {contender} failed:\n{done.stderr.strip()}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def _memory_extra(s: Side, kind: str, natom: int) -> None:
    peak = peak_memory(kind, natom, s.name)
    s.extra["peak_MB"] = peak["peak_bytes"] / 1e6
    s.extra["arrays_MB"] = peak["array_bytes"] / 1e6
    s.extra["peak_x_arrays"] = peak["peak_bytes"] / peak["array_bytes"]


def run(
    atoms: list[int], ase_max: int, timing: Timing, memory: bool, log, settle_s: float = 0.0
) -> list[Row]:
    rows: list[Row] = []
    ase_per_atom: dict[str, tuple[int, float]] = {}
    for natom in sorted(atoms):
        for kind in neighbour_data.KINDS:
            s = neighbour_data.make(kind, natom)
            log(f"  {kind}: {s.natom} atoms, cutoff {s.cutoff}")
            calls = neighbour_data.calls(s)
            mine = calls[OURS]()
            if not neighbour_data.same_pairs(mine, calls[VESIN](), s.cutoff):
                raise RuntimeError(f"{kind}, {s.natom} atoms: vesin found other pairs")
            pairs = len(mine[0])
            del mine
            times = time_interleaved({OURS: calls[OURS], VESIN: calls[VESIN]}, timing, settle_s)
            row = rows_for("neighbours", "neighbours", kind, s.natom, times, OURS, [VESIN])[0]
            rows.append(row)
            # The requested count decides: structures round it to whole cells.
            ase_runs = natom <= min(ase_max, ASE_LARGEST.get(kind, ase_max))
            if ase_runs:
                if not neighbour_data.same_pairs(calls[OURS](), calls[ASE](), s.cutoff):
                    raise RuntimeError(f"{kind}, {s.natom} atoms: ASE found other pairs")
                few = Timing(min_repeats=1, max_repeats=min(timing.max_repeats, 3), budget_s=60.0)
                ase_times = time_interleaved(
                    {OURS: calls[OURS], ASE: calls[ASE]}, few, settle_s, warm_up=False
                )
                ase_row = rows_for(
                    "neighbours", "neighbours", kind, s.natom, ase_times, OURS, [ASE]
                )[0]
                ase_per_atom[kind] = (s.natom, ase_row.peer.median_s / s.natom)
            elif kind in ase_per_atom:
                measured_at, per_atom = ase_per_atom[kind]
                estimate = per_atom * s.natom
                ase_row = Row(
                    "neighbours",
                    "neighbours",
                    kind,
                    s.natom,
                    side(OURS, times[OURS]),
                    Side(f"{ASE} (extrapolated from {measured_at})", estimate, [estimate]),
                )
            else:
                ase_row = None
            for r in [row] + ([ase_row] if ase_row else []):
                for contender in (r.ours, r.peer):
                    contender.extra["pairs"] = pairs
                    contender.extra["pairs_per_s"] = pairs / contender.median_s
            if memory:
                _memory_extra(row.ours, kind, s.natom)
                _memory_extra(row.peer, kind, s.natom)
                if ase_row is not None:
                    ase_row.ours.extra.update(row.ours.extra)
                    if ase_runs:
                        _memory_extra(ase_row.peer, kind, s.natom)
            if ase_row is not None:
                rows.append(ase_row)
            del calls
    return rows
