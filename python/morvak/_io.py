"""Reading and writing structure files: the toolkit's own XYZ layout, extended
XYZ and plain XYZ."""

from __future__ import annotations

import operator
import os
from collections.abc import Sequence
from typing import Any, Literal, overload

import pelmar

from . import _native

FORMATS = ("morvak", "extxyz", "xyz")

PathLike = str | bytes | os.PathLike[str] | os.PathLike[bytes]


def _format(format: str | None, default: str) -> str:
    if format is None:
        return default
    if not isinstance(format, str) or format not in FORMATS:
        raise ValueError(f"format: expected one of 'morvak', 'extxyz', 'xyz', got {format!r}")
    return format


def _crystal(cell: Any, symbols: Any, positions: Any, pbc: Any) -> pelmar.Crystal:
    return pelmar.Crystal(cell, symbols, positions, pbc=pbc)


@overload
def read(path: PathLike, format: str | None = None, index: int | None = None) -> pelmar.Crystal: ...
@overload
def read(
    path: PathLike, format: str | None = None, *, index: Literal[":"] | slice
) -> list[pelmar.Crystal]: ...
@overload
def read(
    path: PathLike, format: str | None, index: Literal[":"] | slice
) -> list[pelmar.Crystal]: ...


def read(
    path: PathLike, format: str | None = None, index: int | str | slice | None = None
) -> pelmar.Crystal | list[pelmar.Crystal]:
    """Read structures from the file at `path`.

    format: "morvak" (the toolkit's own XYZ layout), "extxyz" (extended XYZ)
    or "xyz" (plain XYZ); None judges it from the file's second line: a
    Lattice=, Properties= or pbc= key means extended XYZ, a label followed by
    real numbers (a labelled cell vector) the toolkit's layout, anything else
    plain XYZ.

    index: None gives the last frame, as ASE does; an int gives that frame
    (negative values count from the end); ":" or a slice gives a list of
    frames (a list of one for the toolkit's single-frame layout).

    Returns pelmar.Crystal objects. Plain XYZ frames, and extended XYZ frames
    without a Lattice, have a zero cell and pbc all False.

    Raises ValueError naming file:line for malformed content, IndexError for
    an index that names no frame, OSError (FileNotFoundError, ...) when the
    file can't be read.
    """
    name = os.fsencode(os.fspath(path))
    if isinstance(index, str):
        if index != ":":
            raise ValueError(f"index: expected None, an int, ':' or a slice, got {index!r}")
        index = slice(None)
    elif index is not None and not isinstance(index, slice):
        if isinstance(index, bool):
            raise TypeError("index: expected None, an int, ':' or a slice, got bool")
        try:
            index = operator.index(index)
        except TypeError:
            raise TypeError(
                "index: expected None, an int, ':' or a slice, got " + type(index).__name__
            ) from None
    if format is None:
        format = _native.detect_format(name)
    format = _format(format, "extxyz")

    if format == "morvak":
        frames = [pelmar.load_xyz(name)]
        if isinstance(index, slice):
            return frames[index]
        position = -1 if index is None else index
        if position not in (0, -1):
            raise IndexError(
                f"frame index {position} is out of range for 1 frame in {os.fsdecode(name)!r}"
            )
        return frames[0]

    if isinstance(index, slice):
        tuples = _native.read_frames(name, format, None)[index]
        return [_crystal(*parts) for parts in tuples]
    parts = _native.read_frames(name, format, -1 if index is None else index)[0]
    return _crystal(*parts)


def write(
    path: PathLike,
    crystal_or_list: pelmar.Crystal | Sequence[pelmar.Crystal],
    format: str | None = None,
) -> None:
    """Write one structure or a list of them to `path`, replacing the file
    atomically.

    format: "extxyz" (the default: cell, symbols, positions and pbc of every
    frame), "xyz" (plain XYZ: symbols and positions only) or "morvak" (the
    toolkit's own layout: one structure, periodic along every axis). Reals are
    written with 17 significant digits, so they read back bit for bit.

    Raises TypeError for anything but pelmar.Crystal objects, ValueError for
    what the format can't hold, OSError when the file can't be written.
    """
    name = os.fsencode(os.fspath(path))
    format = _format(format, "extxyz")
    if isinstance(crystal_or_list, pelmar.Crystal):
        crystals = [crystal_or_list]
    elif isinstance(crystal_or_list, Sequence) and not isinstance(crystal_or_list, (str, bytes)):
        crystals = list(crystal_or_list)
    else:
        raise TypeError(
            "crystal_or_list: expected a pelmar.Crystal or a sequence of them, got "
            + type(crystal_or_list).__name__
        )
    for k, crystal in enumerate(crystals):
        if not isinstance(crystal, pelmar.Crystal):
            raise TypeError(
                f"crystal_or_list[{k}]: expected a pelmar.Crystal, got {type(crystal).__name__}"
            )

    if format == "morvak":
        if len(crystals) != 1:
            raise ValueError(
                f"the 'morvak' format holds one structure, got {len(crystals)}; "
                "use 'extxyz' for several"
            )
        if tuple(crystals[0].pbc) != (True, True, True):
            raise ValueError(
                f"the 'morvak' format holds periodic structures only, got pbc={crystals[0].pbc}; "
                "use 'extxyz' to keep the periodicity"
            )
        pelmar.write_xyz(name, crystals[0])
        return
    frames = [(c.cell, c.symbols, c.positions, tuple(c.pbc)) for c in crystals]
    _native.write_frames(name, format, frames)
