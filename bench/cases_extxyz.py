"""Extended XYZ reading: morvak.read against ase.io.read and the ase-extxyz
plugin (ASE over the libextxyz C parser), on the file ASE writes.

All three read the same file into a structure (a pelmar.Crystal or an
ase.Atoms); before timing, the bench checks that they read the same cell,
symbols and positions, bit for bit.
"""

from __future__ import annotations

import importlib.util
from collections.abc import Callable
from pathlib import Path

import numpy as np
import xyz_data
from common import Row, Timing, rows_for, time_interleaved

OURS = "morvak.read"


def plugin_available() -> bool:
    return importlib.util.find_spec("ase_extxyz") is not None


def contenders(path: Path) -> dict[str, Callable[[], object]]:
    import ase.io
    import morvak

    calls: dict[str, Callable[[], object]] = {
        OURS: lambda: morvak.read(path, format="extxyz"),
        "ase.io.read": lambda: ase.io.read(path, format="extxyz"),
    }
    if plugin_available():
        # The plugin registers the ASE I/O format "cextxyz".
        calls["ase-extxyz"] = lambda: ase.io.read(path, format="cextxyz")
    return calls


def check_same(calls: dict[str, Callable[[], object]]) -> None:
    """Every contender must read the same structure, or the timings compare nothing."""
    crystal = calls[OURS]()
    positions = np.asarray(crystal.positions)
    cell = np.asarray(crystal.cell)
    for name, call in calls.items():
        if name == OURS:
            continue
        atoms = call()
        same = (
            tuple(atoms.get_chemical_symbols()) == crystal.symbols
            and np.array_equal(atoms.positions, positions)
            and np.array_equal(atoms.cell.array, cell)
            and tuple(bool(p) for p in atoms.pbc) == crystal.pbc
        )
        if not same:
            raise RuntimeError(f"{name} and {OURS} read different structures")


def run(atom_counts: list[int], data_dir: Path, timing: Timing, log) -> list[Row]:
    if not plugin_available():
        log("  ase-extxyz is not installed (bench extra): compared with ase.io.read only")
    rows: list[Row] = []
    for natom in atom_counts:
        files = xyz_data.ensure_files(data_dir, natom)
        calls = contenders(files.extxyz)
        check_same(calls)
        log(f"  read {natom} atoms of extended XYZ: {', '.join(calls)}")
        times = time_interleaved(calls, timing)
        found = rows_for("extxyz", "read", "", natom, times, OURS, [n for n in calls if n != OURS])
        size = files.extxyz.stat().st_size
        for row in found:
            for s in (row.ours, row.peer):
                s.extra["atoms_per_s"] = natom / s.median_s
                s.extra["MB_per_s"] = size / 1e6 / s.median_s
        rows += found
    return rows
