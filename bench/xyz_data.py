"""Structure files for the file benchmarks, made once and kept in a cache folder.

The structure is a diamond-silicon supercell, cut to the requested atom count,
with small random displacements so that every coordinate carries all its digits.
Each size exists twice: in this toolkit's XYZ layout (atomic numbers,
coordinates with 17 significant digits, which read back exactly) and as
extended XYZ written by ASE.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

LATTICE = 5.43  # silicon, Angstrom
SILICON = 14
FORMAT_VERSION = 1  # bump when the generated content changes

_DIAMOND = np.array(
    [
        [0.0, 0.0, 0.0],
        [0.0, 0.5, 0.5],
        [0.5, 0.0, 0.5],
        [0.5, 0.5, 0.0],
        [0.25, 0.25, 0.25],
        [0.25, 0.75, 0.75],
        [0.75, 0.25, 0.75],
        [0.75, 0.75, 0.25],
    ]
)


@dataclass(frozen=True)
class Structure:
    cell: np.ndarray  # (3, 3), rows are the cell vectors
    positions: np.ndarray  # (natom, 3)

    @property
    def natom(self) -> int:
        return len(self.positions)

    @property
    def symbols(self) -> list[str]:
        return ["Si"] * self.natom


def silicon(natom: int) -> Structure:
    reps = 1
    while 8 * reps**3 < natom:
        reps += 1
    grid = np.stack(np.meshgrid(*[np.arange(reps)] * 3, indexing="ij"), axis=-1).reshape(-1, 1, 3)
    frac = (grid + _DIAMOND[None, :, :]).reshape(-1, 3)[:natom]
    rng = np.random.default_rng(natom)
    positions = frac * LATTICE + rng.normal(scale=0.01, size=(natom, 3))
    cell = np.eye(3) * LATTICE * reps
    return Structure(cell, positions)


def write_layout(path: Path, structure: Structure) -> None:
    """The toolkit's layout: count, three labelled cell lines, one line per atom."""
    labels = ("cell:", "|", "|")
    with open(path, "w", encoding="ascii") as out:
        out.write(f"{structure.natom}\n")
        out.writelines(
            label + " " + " ".join(repr(float(x)) for x in vector) + "\n"
            for label, vector in zip(labels, structure.cell)
        )
        table = np.column_stack([np.full(structure.natom, SILICON), structure.positions])
        np.savetxt(out, table, fmt=["%d", "%.17g", "%.17g", "%.17g"])


def to_atoms(structure: Structure):
    import ase

    return ase.Atoms(
        symbols=structure.symbols, positions=structure.positions, cell=structure.cell, pbc=True
    )


@dataclass(frozen=True)
class Files:
    natom: int
    layout: Path  # toolkit XYZ layout
    extxyz: Path  # the same structure as extended XYZ by ASE


def ensure_files(folder: Path, natom: int) -> Files:
    """Make the pair of files for `natom` atoms unless they exist already."""
    import ase.io

    folder.mkdir(parents=True, exist_ok=True)
    stem = f"si_{natom}_v{FORMAT_VERSION}"
    files = Files(natom, folder / f"{stem}.xyz", folder / f"{stem}.extxyz")
    structure = None
    if not files.layout.exists():
        structure = silicon(natom)
        _atomically(files.layout, lambda p: write_layout(p, structure))
    if not files.extxyz.exists():
        structure = structure or silicon(natom)
        atoms = to_atoms(structure)
        _atomically(files.extxyz, lambda p: ase.io.write(p, atoms, format="extxyz"))
    return files


def _atomically(path: Path, write) -> None:
    # A run cut short must not leave a truncated file that later runs would trust.
    partial = path.with_name(path.name + f".{os.getpid()}.part")
    try:
        write(partial)
        os.replace(partial, path)
    finally:
        partial.unlink(missing_ok=True)
