"""morvak: model calculations on haldo operators and pelmar crystal structures.

The package bridges haldo and pelmar objects to numpy and ASE, reads and
writes the common structure files, finds neighbour lists, builds
tight-binding models and computes their spectra.
"""

from . import plot
from ._ase import from_ase, to_ase
from ._bridge import eigenpairs, from_numpy, to_numpy
from ._io import read, write
from ._model import Bands, Model
from ._neighbours import NeighbourList, neighbours
from ._sweep import sweep
from ._threads import blas_threads

__all__ = [
    "Bands",
    "Model",
    "NeighbourList",
    "blas_threads",
    "eigenpairs",
    "from_ase",
    "from_numpy",
    "neighbours",
    "plot",
    "read",
    "sweep",
    "to_ase",
    "to_numpy",
    "write",
]

__version__ = "0.1.0"
