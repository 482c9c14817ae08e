"""ASE's Atoms from and into pelmar's Crystal: from_ase, to_ase.

ASE is an optional dependency (the `ase` extra); it is imported on the first
call, never by ``import morvak``.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

import pelmar

if TYPE_CHECKING:
    import ase


def _ase(function: str) -> Any:
    try:
        import ase
    except ImportError as exc:
        raise ImportError(
            f"morvak.{function} needs ASE, which is not installed: "
            "pip install 'morvak[ase]' (or pip install ase)"
        ) from exc
    return ase


def from_ase(atoms: ase.Atoms) -> pelmar.Crystal:
    """A `pelmar.Crystal` with the cell, chemical symbols, positions and pbc of `atoms`.

    Everything else that an Atoms object may carry (tags, momenta, charges,
    constraints, info, calculator) is left behind. Raises TypeError when
    `atoms` is not an ``ase.Atoms``, and ValueError for what a Crystal cannot
    hold (a symbol outside the periodic table such as ASE's ghost atom ``X``,
    non-finite coordinates).
    """
    ase = _ase("from_ase")
    if not isinstance(atoms, ase.Atoms):
        raise TypeError(f"from_ase: expected an ase.Atoms, got {type(atoms).__name__}")
    try:
        return pelmar.Crystal(
            atoms.cell.array,
            atoms.get_chemical_symbols(),
            atoms.positions,
            pbc=tuple(bool(flag) for flag in atoms.pbc),
        )
    except ValueError as exc:
        raise ValueError(f"from_ase: {exc}") from exc


def to_ase(crystal: pelmar.Crystal) -> ase.Atoms:
    """A new ``ase.Atoms`` with the cell, symbols, positions and pbc of `crystal`.

    The values are copied exactly; the Atoms object owns its arrays.
    """
    ase = _ase("to_ase")
    if not isinstance(crystal, pelmar.Crystal):
        raise TypeError(f"to_ase: expected a pelmar.Crystal, got {type(crystal).__name__}")
    return ase.Atoms(
        symbols=list(crystal.symbols),
        positions=np.array(crystal.positions, dtype=np.float64),
        cell=np.array(crystal.cell, dtype=np.float64),
        pbc=crystal.pbc,
    )
