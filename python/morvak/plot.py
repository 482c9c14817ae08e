"""Figures of band structures and densities of states (matplotlib, imported when used)."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from matplotlib.axes import Axes

__all__ = ["bands", "dos"]


def _axes(ax: Any) -> Any:
    if ax is not None:
        return ax
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError("morvak.plot needs matplotlib: pip install 'morvak[plot]'") from error
    _, ax = plt.subplots()
    return ax


def bands(bands: Any, ax: Axes | None = None, **style: Any) -> Axes:
    """Draws the bands of a `Bands` object against path distance, with the
    path's labels at its high-symmetry points. Returns the Axes."""
    ax = _axes(ax)
    style = {"color": "C0", "linewidth": 1.2, **style}
    ax.plot(bands.k, bands.energies, **style)
    positions = [distance for _, distance in bands.ticks]
    ax.set_xticks(positions, [label for label, _ in bands.ticks])
    for x in positions[1:-1]:
        ax.axvline(x, color="0.7", linewidth=0.8, zorder=0)
    ax.set_xlim(bands.k[0], bands.k[-1])
    ax.set_ylabel("Energy (eV)")
    return ax


def dos(energies: Any, dos: Any, ax: Axes | None = None, **style: Any) -> Axes:
    """Draws a density of states against energy. Returns the Axes."""
    ax = _axes(ax)
    energies = np.asarray(energies)
    ax.plot(energies, dos, **{"color": "C0", "linewidth": 1.2, **style})
    ax.set_xlabel("Energy (eV)")
    ax.set_ylabel("DOS (states / eV / site)")
    ax.set_xlim(energies.min(), energies.max())
    ax.set_ylim(bottom=0)
    return ax
