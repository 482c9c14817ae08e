"""Paths through the Brillouin zone and the band structures along them."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np


def reciprocal_cell(cell: np.ndarray) -> np.ndarray:
    """Rows b_i with a_i . b_j = 2 pi delta_ij. A zero cell vector (a
    non-periodic axis without a cell) gets a zero reciprocal vector."""
    cell = np.asarray(cell, dtype=np.float64)
    return 2 * np.pi * np.linalg.pinv(cell).T


class Bands:
    """A band structure along a path.

    k: cumulative Cartesian path distance in 1/Angstrom, shape (nk,).
    energies: eigenvalues in eV, ascending in each row, shape (nk, nbands).
    ticks: (label, k-distance) of every labelled point of the path.
    kpoints: the Cartesian wave vectors, shape (nk, 3).
    """

    def __init__(
        self,
        k: np.ndarray,
        energies: np.ndarray,
        ticks: list[tuple[str, float]],
        kpoints: np.ndarray,
    ) -> None:
        self.k = k
        self.energies = energies
        self.ticks = ticks
        self.kpoints = kpoints

    def __repr__(self) -> str:
        labels = "-".join(label for label, _ in self.ticks)
        return f"Bands({labels}, nk={len(self.k)}, nbands={self.energies.shape[1]})"


def path_kpoints(
    path: Sequence[tuple[str, Sequence[float]]], n: int, reciprocal: np.ndarray
) -> tuple[np.ndarray, np.ndarray, list[tuple[str, float]]]:
    """(distance, Cartesian k-points, ticks) of n points along the path."""
    if len(path) < 2:
        raise ValueError(f"a path needs at least two points, got {len(path)}")
    labels = []
    fractions = []
    for item in path:
        try:
            label, frac = item
        except (TypeError, ValueError):
            raise ValueError(
                f"path points must be (label, coordinates) pairs, got {item!r}"
            ) from None
        frac = np.asarray(frac, dtype=np.float64).reshape(-1)
        if frac.size > 3 or frac.size == 0:
            raise ValueError(
                f"point {label!r}: expected up to 3 fractional coordinates, got {frac.size}"
            )
        labels.append(str(label))
        fractions.append(np.pad(frac, (0, 3 - frac.size)))
    if isinstance(n, bool) or int(n) != n or n < len(path):
        raise ValueError(
            f"n must be an integer of at least {len(path)} (the labelled points), got {n}"
        )
    n = int(n)
    nodes = np.array(fractions) @ reciprocal
    lengths = np.linalg.norm(np.diff(nodes, axis=0), axis=1)
    # Interior points per segment, in proportion to the lengths (largest remainder).
    spare = n - len(path)
    weights = (
        lengths / lengths.sum() if lengths.sum() > 0 else np.full(len(lengths), 1 / len(lengths))
    )
    share = spare * weights
    counts = np.floor(share).astype(int)
    order = np.argsort(-(share - counts), kind="stable")
    counts[order[: spare - counts.sum()]] += 1

    points = [nodes[:1]]
    for s, count in enumerate(counts):
        t = np.linspace(0, 1, count + 2)[1:]
        points.append(nodes[s] + t[:, None] * (nodes[s + 1] - nodes[s]))
    kpoints = np.concatenate(points)
    steps = np.linalg.norm(np.diff(kpoints, axis=0), axis=1)
    distance = np.concatenate([[0.0], np.cumsum(steps)])
    node_index = np.concatenate([[0], np.cumsum(counts + 1)])
    ticks = [(label, float(distance[q])) for label, q in zip(labels, node_index)]
    return distance, kpoints, ticks
