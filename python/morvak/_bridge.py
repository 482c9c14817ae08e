"""numpy arrays from and into haldo's objects: to_numpy, from_numpy, eigenpairs.

Every call copies, and every value arrives exactly as stored: signed zeros,
subnormals, infinities, NaN payloads and both parts of complex numbers.
"""

from __future__ import annotations

from typing import Any, Literal, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

import haldo

from . import _native

_Real = haldo.BasisReal | haldo.OperatorReal
_Complex = haldo.BasisComplex | haldo.OperatorComplex
_Haldo = TypeVar(
    "_Haldo",
    bound=haldo.BasisReal | haldo.BasisComplex | haldo.OperatorReal | haldo.OperatorComplex,
)

# (base class, dimensions, scalar type); a Hamiltonian is its Operator's subclass.
_LAYOUTS = (
    (haldo.BasisReal, 1, np.dtype(np.float64)),
    (haldo.BasisComplex, 1, np.dtype(np.complex128)),
    (haldo.OperatorReal, 2, np.dtype(np.float64)),
    (haldo.OperatorComplex, 2, np.dtype(np.complex128)),
)
_CLASS_NAMES = (
    "BasisReal, BasisComplex, OperatorReal, OperatorComplex, HamiltonianReal or HamiltonianComplex"
)
_KINDS = (None, "hermitian", "general")


@overload
def to_numpy(obj: _Real) -> NDArray[np.float64]: ...
@overload
def to_numpy(obj: _Complex) -> NDArray[np.complex128]: ...
def to_numpy(obj: _Real | _Complex) -> NDArray[Any]:
    """A new array holding the values of a haldo object.

    float64 for the Real classes, complex128 for the Complex ones; 1-D for a
    Basis, 2-D (rows, columns) for an Operator or Hamiltonian, in column-major
    (Fortran) order like the object's own storage. Python subclasses of the
    haldo classes are accepted.
    """
    return _native.to_numpy(obj)


def _layout(cls: type) -> tuple[int, np.dtype[Any]]:
    if not isinstance(cls, type):
        raise TypeError(
            f"from_numpy: cls must be a haldo class ({_CLASS_NAMES}), "
            f"got an instance of {type(cls).__name__}"
        )
    for base, ndim, dtype in _LAYOUTS:
        if issubclass(cls, base):
            return ndim, dtype
    raise TypeError(
        f"from_numpy: cls must be one of haldo's classes ({_CLASS_NAMES}) "
        f"or a subclass, got {cls.__module__}.{cls.__qualname__}"
    )


def from_numpy(array: ArrayLike, cls: type[_Haldo]) -> _Haldo:
    """A new instance of `cls` holding the values of `array`.

    `cls` is one of haldo's six classes or a Python subclass; it is created
    with ``cls()``. A Basis takes a 1-D array, an Operator or Hamiltonian a 2-D
    one, in any memory layout. Any dtype that numpy casts safely
    (``np.can_cast(dtype, target, "safe")``) to float64 (the Real classes) or
    complex128 (the Complex classes) is accepted.

    Raises TypeError for a complex array and a Real class, or any dtype that
    does not cast safely, and ValueError for the wrong number of dimensions.
    """
    ndim, target = _layout(cls)
    values = np.asarray(array)
    if not np.can_cast(values.dtype, target, "safe"):
        hint = ""
        if values.dtype.kind == "c" and target.kind == "f":
            hint = " (a Complex class keeps complex values; pass array.real to drop them)"
        raise TypeError(
            f"from_numpy: {cls.__name__} holds {target} values; an array of dtype "
            f"{values.dtype} does not cast safely to {target}{hint}"
        )
    if values.ndim != ndim:
        raise ValueError(
            f"from_numpy: {cls.__name__} needs a {ndim}-D array, got a {values.ndim}-D array "
            f"of shape {values.shape}"
        )
    if values.dtype != target:
        # Cast straight into column-major order, which the native copy takes as one block.
        values = values.astype(target, order="F")
    obj = cls()
    _native.assign_array(obj, values)
    return obj


def eigenpairs(
    op: haldo.OperatorReal | haldo.OperatorComplex,
    kind: Literal["hermitian", "general"] | None = None,
) -> tuple[NDArray[Any], NDArray[Any]]:
    """The stored results of ``op.eigen()`` as ``(values, vectors)``.

    Column k of `vectors` is the eigenvector of ``values[k]``. ``kind=None``
    gives the pair that ``op.print_eigen()`` prints: the Hermitian pair when
    ``op.is_hermitian()`` holds for the current matrix, the general pair
    otherwise. ``kind="hermitian"`` gives real values (float64) and vectors of
    the class's scalar type; ``kind="general"`` gives complex128 values and
    vectors. A pair that no ``eigen()`` has computed is empty: shapes (0,)
    and (0, 0).
    """
    if not isinstance(kind, str | None):
        raise TypeError(f"eigenpairs: kind must be None or a str, got {type(kind).__name__}")
    if kind not in _KINDS:
        raise ValueError(f"eigenpairs: kind must be None, 'hermitian' or 'general', got {kind!r}")
    hermitian = None if kind is None else kind == "hermitian"
    values, vectors = _native.eigenpairs(op, hermitian)
    return values, vectors
