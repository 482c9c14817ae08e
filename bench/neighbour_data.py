"""Structures of the neighbour-list benchmark, and each contender's call on them.

Three structures of a requested atom count (rounded to whole cells): a
graphene sheet with a 1.6 A cutoff (first neighbours), diamond-structure
silicon with 2.5 A (first neighbours) and uniformly random atoms in a skewed
triclinic cell at silicon's density with 3.0 A.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

KINDS = ("graphene", "silicon", "triclinic")
# Bytes of one pair in the arrays every contender returns: i, j (int64),
# shift (3 int64), vector (3 float64) and distance (float64).
PAIR_BYTES = 8 + 8 + 24 + 24 + 8


@dataclass
class Structure:
    kind: str
    cell: np.ndarray
    positions: np.ndarray
    pbc: tuple[bool, bool, bool]
    cutoff: float

    @property
    def natom(self) -> int:
        return len(self.positions)


def _lattice(basis: np.ndarray, cell: np.ndarray, reps: tuple[int, int, int]) -> np.ndarray:
    grid = np.stack(np.meshgrid(*(np.arange(r) for r in reps), indexing="ij"), -1).reshape(-1, 3)
    return ((grid @ cell)[:, None, :] + basis[None, :, :]).reshape(-1, 3)


def make(kind: str, natom: int) -> Structure:
    if kind == "graphene":
        a = 2.46
        cell = np.array([[a, 0, 0], [-a / 2, a * np.sqrt(3) / 2, 0], [0, 0, 20.0]])
        basis = np.array([[0, 0, 0], [0, a / np.sqrt(3), 0]])
        n = max(1, round(np.sqrt(natom / 2)))
        positions = _lattice(basis, cell, (n, n, 1))
        # A sheet with 20 A of vacuum, periodic along all three axes: vesin 0.6.2
        # stops with SIGFPE on a 10^6-atom sheet whose third axis is open.
        return Structure(kind, cell * [[n], [n], [1]], positions, (True, True, True), 1.6)
    if kind == "silicon":
        a = 5.431
        fcc = np.array([[0, 0, 0], [0, 0.5, 0.5], [0.5, 0, 0.5], [0.5, 0.5, 0]])
        basis = np.concatenate([fcc, fcc + 0.25]) * a
        n = max(1, round((natom / 8) ** (1 / 3)))
        positions = _lattice(basis, np.eye(3) * a, (n, n, n))
        return Structure(kind, np.eye(3) * a * n, positions, (True, True, True), 2.5)
    if kind == "triclinic":
        rng = np.random.default_rng(20261208)
        shape = np.array([[1.0, 0, 0], [0.35, 0.95, 0], [-0.25, 0.3, 0.9]])
        volume = natom / 0.05  # silicon's density, atoms per A^3
        cell = shape * (volume / abs(np.linalg.det(shape))) ** (1 / 3)
        positions = rng.uniform(0, 1, size=(natom, 3)) @ cell
        return Structure(kind, cell, positions, (True, True, True), 3.0)
    raise ValueError(f"unknown structure {kind!r}")


def calls(s: Structure) -> dict[str, Callable[[], tuple]]:
    """Each contender's call, returning (i, j, shift, distance) arrays."""
    import ase
    import morvak
    import vesin
    from ase.neighborlist import neighbor_list

    import pelmar

    symbols = ["C" if s.kind == "graphene" else "Si"] * s.natom
    crystal = pelmar.Crystal(s.cell, symbols, s.positions, pbc=s.pbc)
    atoms = ase.Atoms(symbols, positions=s.positions, cell=s.cell, pbc=s.pbc)
    finder = vesin.NeighborList(cutoff=s.cutoff, full_list=True)

    def ours():
        found = morvak.neighbours(crystal, s.cutoff)
        return found.i, found.j, found.shift, found.distance

    return {
        "morvak.neighbours": ours,
        "vesin": lambda: tuple(finder.compute(s.positions, s.cell, list(s.pbc), quantities="ijSd")),
        "ase.neighbor_list": lambda: tuple(neighbor_list("ijSd", atoms, s.cutoff)),
    }


def same_pairs(ours: tuple, peer: tuple, cutoff: float) -> bool:
    """Same set of (i, j, S), leaving out pairs within 1e-9 A of the cutoff (rounding ties)."""

    def keys(i, j, shift, d):
        keep = np.abs(np.asarray(d) - cutoff) > 1e-9
        table = np.column_stack([i[keep], j[keep], np.asarray(shift)[keep]]).astype(np.int64)
        return table[np.lexsort(table.T[::-1])]

    a, b = keys(*ours), keys(*peer)
    return a.shape == b.shape and bool(np.array_equal(a, b))
