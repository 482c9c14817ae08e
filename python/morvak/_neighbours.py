"""Neighbour lists of crystal structures: every pair within a cutoff, periodic images included."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from . import _native


class NeighbourList:
    """Pairs ``(i, j, S)`` with ``|r_j + S . cell - r_i| < cutoff``, ordered by i, then j, then S.

    Attributes are numpy arrays with one row per pair: ``i`` and ``j`` (int64),
    ``shift`` (n x 3 int64: the integer cell shift S), ``vector`` (n x 3
    float64: ``r_j + S . cell - r_i``) and ``distance`` (float64: its length).
    ``cutoff`` and ``pbc`` record how the list was made.
    """

    __slots__ = ("cutoff", "distance", "i", "j", "pbc", "shift", "vector")

    i: NDArray[np.int64]
    j: NDArray[np.int64]
    shift: NDArray[np.int64]
    vector: NDArray[np.float64]
    distance: NDArray[np.float64]
    cutoff: float
    pbc: tuple[bool, bool, bool]

    def __init__(
        self,
        i: NDArray[np.int64],
        j: NDArray[np.int64],
        shift: NDArray[np.int64],
        vector: NDArray[np.float64],
        distance: NDArray[np.float64],
        cutoff: float,
        pbc: tuple[bool, bool, bool],
    ) -> None:
        self.i = i
        self.j = j
        self.shift = shift
        self.vector = vector
        self.distance = distance
        self.cutoff = float(cutoff)
        self.pbc = (bool(pbc[0]), bool(pbc[1]), bool(pbc[2]))

    def __len__(self) -> int:
        return len(self.distance)

    def __repr__(self) -> str:
        return f"NeighbourList({len(self)} pairs, cutoff={self.cutoff!r}, pbc={self.pbc!r})"

    def __reduce__(self) -> tuple[Any, ...]:
        return (
            NeighbourList,
            (self.i, self.j, self.shift, self.vector, self.distance, self.cutoff, self.pbc),
        )


def _periodicity(value: Any) -> tuple[bool, bool, bool]:
    if isinstance(value, (bool, np.bool_)):
        return (bool(value),) * 3
    try:
        items = list(value)
    except TypeError:
        raise TypeError(
            f"pbc must be a bool or three bools, found {type(value).__name__}"
        ) from None
    if len(items) != 3 or not all(isinstance(v, (bool, np.bool_)) for v in items):
        raise TypeError(f"pbc must be a bool or three bools, found {value!r}")
    return (bool(items[0]), bool(items[1]), bool(items[2]))


def _structure(crystal: Any) -> tuple[NDArray[np.float64], NDArray[np.float64], Any]:
    """Cell, positions and periodicity of a pelmar.Crystal or an ase.Atoms."""
    if hasattr(crystal, "get_positions") and hasattr(crystal, "get_cell"):
        return (
            np.asarray(crystal.get_cell(), dtype=np.float64),
            np.asarray(crystal.get_positions(), dtype=np.float64),
            tuple(bool(p) for p in crystal.get_pbc()),
        )
    try:
        return (
            np.asarray(crystal.cell, dtype=np.float64),
            np.asarray(crystal.positions, dtype=np.float64),
            crystal.pbc,
        )
    except AttributeError:
        raise TypeError(
            f"crystal must be a pelmar.Crystal or an ase.Atoms, found {type(crystal).__name__}"
        ) from None


def neighbours(
    crystal: Any, cutoff: float, pbc: bool | Sequence[bool] | None = None
) -> NeighbourList:
    """Every ordered pair of atoms closer than ``cutoff``, periodic images included.

    Returns a :class:`NeighbourList` of the pairs ``(i, j, S)`` with
    ``|r_j + S . cell - r_i| < cutoff``, where S is an integer cell shift (zero
    along open axes), leaving out ``i == j`` with ``S == 0``; the same pairs
    as ASE's ``neighbor_list("ijS", atoms, cutoff)``. Cutoffs larger than the
    cell give several images of a pair. Positions outside the cell are fine:
    shifts refer to the positions as given.

    ``crystal`` is a ``pelmar.Crystal`` (an ``ase.Atoms`` works too); ``pbc``
    (a bool or three) overrides its periodicity. Open axes may have zero cell
    vectors. Raises ValueError for a cutoff that is not positive and finite and
    for a periodic axis whose cell vector is zero or in the span of the other
    periodic vectors. The search runs in native code on two threads without
    the interpreter lock, in time and memory linear in atoms plus pairs.
    """
    cell, positions, own_pbc = _structure(crystal)
    periodic = _periodicity(own_pbc if pbc is None else pbc)
    if isinstance(cutoff, (bool, np.bool_)) or not isinstance(
        cutoff, (int, float, np.integer, np.floating)
    ):
        raise TypeError(f"cutoff must be a real number, found {type(cutoff).__name__}")
    i, j, shift, vector, distance = _native.neighbours(
        cell, positions.reshape(-1, 3), float(cutoff), periodic
    )
    return NeighbourList(i, j, shift, vector, distance, float(cutoff), periodic)
