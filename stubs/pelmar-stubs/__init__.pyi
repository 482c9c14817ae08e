"""Crystal structures in the XYZ layout: the Crystal record, load_xyz, write_xyz and read_xyz."""

from collections.abc import Callable, Sequence
from typing import Protocol, SupportsFloat, SupportsIndex, TypeAlias, final

from _typeshed import StrOrBytesPath
from typing_extensions import Buffer

class _SupportsArray(Protocol):
    def __array__(self) -> object: ...

# Rows of three real numbers: an object with the buffer protocol (a numpy
# array, a memoryview) or with __array__, or a sequence of rows.
_Real: TypeAlias = SupportsFloat | SupportsIndex
_Rows: TypeAlias = (
    Buffer
    | _SupportsArray
    | Sequence[Sequence[_Real]]
    | Sequence[Buffer]
    | Sequence[_SupportsArray]
)

# Periodicity: one flag for all three cell vectors, or three flags (bools,
# numpy bools, or the integers 0 and 1).
_Flag: TypeAlias = bool | SupportsIndex
_Periodicity: TypeAlias = _Flag | Sequence[_Flag] | Buffer

__test__: dict[str, object]

def read_xyz(xyz_file_in: str, /) -> None: ...
def load_xyz(path: StrOrBytesPath, /) -> Crystal: ...
def write_xyz(path: StrOrBytesPath, crystal: Crystal, /) -> None: ...

@final
class Crystal:
    def __new__(
        cls,
        cell: _Rows,
        symbols: Sequence[str],
        positions: _Rows,
        *,
        pbc: _Periodicity = (True, True, True),
    ) -> Crystal: ...
    @property
    def natom(self) -> int: ...
    @property
    def cell(self) -> memoryview:
        """Read-only float64 view, shape (3, 3): row i is cell vector i."""
    @property
    def positions(self) -> memoryview:
        """Read-only float64 view, shape (natom, 3): Cartesian coordinates."""
    @property
    def symbols(self) -> tuple[str, ...]: ...
    @property
    def pbc(self) -> tuple[bool, bool, bool]:
        """Periodicity along each cell vector."""
    def __len__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(
        self,
    ) -> tuple[
        Callable[..., Crystal],
        tuple[
            type[Crystal],
            tuple[list[list[float]], tuple[str, ...], list[list[float]]],
            dict[str, tuple[bool, bool, bool]],
        ],
    ]: ...
