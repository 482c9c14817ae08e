"""The structure-file operations being compared, each ready to call with no arguments.

Shared by the timed runs and by the peak-memory worker, so that both measure
exactly the same call.
"""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path

READS = ("pelmar.read_xyz", "pelmar.load_xyz", "ase.io.read", "numpy.loadtxt")
WRITES = ("pelmar.write_xyz", "ase.io.write")
OURS = {"pelmar.read_xyz", "pelmar.load_xyz", "pelmar.write_xyz"}

# Lines before the atom lines in the toolkit's layout: count and three cell lines.
HEADER_LINES = 4


def available(name: str) -> bool:
    if name in ("ase.io.read", "ase.io.write", "numpy.loadtxt"):
        return True
    try:
        import pelmar
    except ImportError:
        return False
    attribute = name.split(".", 1)[1]
    if name == "pelmar.write_xyz":
        return hasattr(pelmar, "write_xyz") and hasattr(pelmar, "load_xyz")
    return hasattr(pelmar, attribute)


def prepare(name: str, layout: Path, extxyz: Path, out: Path) -> Callable[[], object]:
    """The call for `name`. Reads take `layout` (ours, numpy) or `extxyz` (ASE);
    writes load their input first, outside the call, and write to `out`."""
    if name == "pelmar.read_xyz":
        import pelmar

        path = str(layout)
        return lambda: pelmar.read_xyz(path)
    if name == "pelmar.load_xyz":
        import pelmar

        path = str(layout)
        return lambda: pelmar.load_xyz(path)
    if name == "ase.io.read":
        import ase.io

        return lambda: ase.io.read(extxyz, format="extxyz")
    if name == "numpy.loadtxt":
        import numpy as np

        return lambda: np.loadtxt(layout, skiprows=HEADER_LINES)
    if name == "pelmar.write_xyz":
        import pelmar

        crystal = pelmar.load_xyz(str(layout))
        target = str(out)
        return lambda: pelmar.write_xyz(target, crystal)
    if name == "ase.io.write":
        import ase.io

        atoms = ase.io.read(extxyz, format="extxyz")
        return lambda: ase.io.write(out, atoms, format="extxyz")
    raise ValueError(f"unknown file operation {name!r}")


def input_path(name: str, layout: Path, extxyz: Path) -> Path:
    """The file whose size counts for a read's throughput."""
    return extxyz if name.startswith("ase.") else layout
