"""Bad arguments, impossible sizes, empty operators and non-finite values
through every haldo method: each ends in a Python exception or a defined
result, never in a crash."""

import cmath
import os

import pytest

import haldo

OPERATORS = [
    haldo.OperatorReal,
    haldo.OperatorComplex,
    haldo.HamiltonianReal,
    haldo.HamiltonianComplex,
]
BASES = [haldo.BasisReal, haldo.BasisComplex]
NAN = float("nan")
INF = float("inf")

# Arguments that no int parameter takes: no overload matches.
NOT_INTS = [1.0, "1", None, 1j, [1], 2**31, -(2**31) - 1, 2**64]
# Arguments that every real parameter refuses.
NOT_REALS = ["1", None, 1j, [1.0]]

OPERATOR_INT_METHODS = {
    "get": 2,
    "set_size": 2,
    "zeros": 2,
    "ones": 2,
    "randu": 2,
    "randn": 2,
    "eye": 2,
}
BASIS_INT_METHODS = {"get": 1, "set_size": 1, "zeros": 1, "ones": 1, "randu": 1, "randn": 1}
OPERATOR_NULLARY = [
    "eigen",
    "transpose",
    "inplace_transpose",
    "inverse",
    "is_hermitian",
    "is_symmetric",
    "det",
    "zeros",
    "ones",
    "randu",
    "randn",
    "eye",
    "print",
    "print_eigen",
]


def int_method_cases(classes, methods):
    return [
        (cls, name, arity, position)
        for cls in classes
        for name, arity in methods.items()
        for position in range(arity)
    ]


@pytest.mark.parametrize(
    ("cls", "name", "arity", "position"),
    int_method_cases(OPERATORS, OPERATOR_INT_METHODS) + int_method_cases(BASES, BASIS_INT_METHODS),
    ids=lambda v: v.__name__ if isinstance(v, type) else str(v),
)
@pytest.mark.parametrize("bad", NOT_INTS, ids=repr)
def test_int_parameters_refuse_other_types_and_out_of_range_values(cls, name, arity, position, bad):
    target = cls()
    args = [0] * arity
    args[position] = bad
    with pytest.raises(TypeError):
        getattr(target, name)(*args)


@pytest.mark.parametrize("cls", OPERATORS + BASES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("bad", NOT_REALS, ids=repr)
def test_set_refuses_non_real_values(cls, bad):
    target = cls()
    index = (0, 0) if cls in OPERATORS else (0,)
    with pytest.raises(TypeError):
        target.set(*index, bad)


@pytest.mark.parametrize("cls", OPERATORS + BASES, ids=lambda c: c.__name__)
def test_wrong_argument_counts_and_keywords(cls):
    target = cls()
    with pytest.raises(TypeError):
        target.get()
    with pytest.raises(TypeError):
        target.zeros(1, 2, 3)
    with pytest.raises(TypeError):
        target.set_size(arg0=1)
    with pytest.raises(TypeError):
        cls(1)


@pytest.mark.parametrize("cls", OPERATORS + BASES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("name", ["set_size", "zeros", "ones", "randu", "randn", "eye"])
def test_negative_sizes_are_runtime_errors(cls, name):
    target = cls()
    if not hasattr(target, name):
        pytest.skip(f"{cls.__name__} has no {name}")
    args = (-1, 2) if cls in OPERATORS else (-1,)
    with pytest.raises(RuntimeError, match="requested size is too large"):
        getattr(target, name)(*args)


def physical_memory():
    return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_PHYS_PAGES")


@pytest.mark.parametrize("cls", OPERATORS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("name", ["set_size", "zeros", "ones", "randu", "randn", "eye"])
def test_impossible_sizes_are_memory_or_runtime_errors(cls, name):
    target = cls()
    # 2**62 elements: beyond any address space, refused before allocating.
    with pytest.raises(RuntimeError, match="requested size is too large"):
        getattr(target, name)(2**31 - 1, 2**31 - 1)
    # 10**10 elements (80 or 160 GB): the allocation itself fails, so the fill
    # never touches memory. Skipped where such a block could be granted.
    if physical_memory() >= 64 * 2**30:
        pytest.skip("this machine could grant an 80 GB block")
    with pytest.raises((MemoryError, RuntimeError)):
        getattr(target, name)(100000, 100000)
    target.ones(2, 2)
    assert target.det() == 0


@pytest.mark.parametrize("cls", OPERATORS, ids=lambda c: c.__name__)
def test_empty_operator(cls):
    empty = cls()
    assert empty.det() == 1  # the empty product
    assert empty.is_hermitian() and empty.is_symmetric()
    for name in OPERATOR_NULLARY:
        getattr(empty, name)()
    for result in (empty.inverse(), empty.transpose(), empty * cls(), empty + cls(), empty - cls()):
        with pytest.raises(IndexError):
            result.get(0, 0)
    with pytest.raises(IndexError):
        empty.get(0, 0)
    with pytest.raises(IndexError):
        empty.set(0, 0, 1.0)
    wide = cls()
    wide.ones(2, 3)
    for operation in (wide.inverse, wide.det, wide.eigen, lambda: wide * wide):
        with pytest.raises(RuntimeError):
            operation()
    with pytest.raises(RuntimeError):
        wide + empty


def is_nan(value):
    return cmath.isnan(value)


# (where the value goes, the decomposition path it selects)
PLACES = [((1, 1), "eig_sym"), ((0, 1), "eig_gen")]


@pytest.mark.parametrize("cls", OPERATORS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("value", [NAN, INF, -INF], ids=["nan", "inf", "-inf"])
@pytest.mark.parametrize(("place", "solver"), PLACES, ids=["diagonal", "off_diagonal"])
def test_non_finite_values_through_every_operation(cls, value, place, solver):
    op = cls()
    op.eye(3, 3)
    op.set(*place, value)
    stored = op.get(*place)
    assert is_nan(stored) if cmath.isnan(value) else stored == value
    assert op.is_hermitian() == (place[0] == place[1])
    with pytest.raises(RuntimeError, match=rf"{solver}\(\): decomposition failed"):
        op.eigen()
    if place[0] == place[1]:
        det = op.det()
        assert is_nan(det) or cmath.isinf(det)
        # 1/inf is 0, but an inverse with an Inf on the way is not a valid result
        assert not cmath.isfinite(op.inverse().get(*place))
    else:
        op.det()
        op.inverse()
    product = op * op
    assert not cmath.isfinite(product.get(*place))
    assert not cmath.isfinite((op + op).get(*place))
    assert not cmath.isfinite((op - op).get(*place))
    assert not cmath.isfinite(op.transpose().get(place[1], place[0]))
    op.inplace_transpose()
    assert not cmath.isfinite(op.get(place[1], place[0]))
    op.print_eigen()


@pytest.mark.parametrize("cls", BASES, ids=lambda c: c.__name__)
@pytest.mark.parametrize("value", [NAN, INF, -INF], ids=["nan", "inf", "-inf"])
def test_non_finite_values_in_a_basis(cls, value):
    b = cls()
    b.zeros(3)
    b.set(1, value)
    assert not cmath.isfinite((b + b).get(1))
    assert not cmath.isfinite((b - b).get(1))
    assert (b + b).get(0) == 0
    with pytest.raises(RuntimeError, match="addition"):
        b + cls()


def _numpy_or_skip():
    return pytest.importorskip("numpy")


@pytest.mark.parametrize("cls", OPERATORS[:2] + BASES, ids=lambda c: c.__name__)
def test_complex_values_of_any_type_and_fractional_indices_are_refused(cls):
    from decimal import Decimal
    from fractions import Fraction

    np = _numpy_or_skip()
    obj = cls()
    is_basis = cls in BASES
    obj.zeros(4) if is_basis else obj.zeros(4, 4)

    def at(i):
        return (i,) if is_basis else (i, 1)

    for value in [np.complex128(1 + 2j), np.complex64(1), np.clongdouble(3), 1j, complex(2, 0)]:
        with pytest.raises(TypeError):
            obj.set(*at(2), value)
    for index in [Decimal("2.7"), Fraction(5, 2), Decimal("NaN"), Decimal("Infinity")]:
        with pytest.raises(TypeError):
            obj.get(*at(index))
        with pytest.raises(TypeError):
            obj.set(*at(index), 1.0)
    assert all(obj.get(*at(i)) == 0 for i in range(4))
    # Whole numbers of any type still index; real values of any type still store.
    for index, value in [
        (Decimal(2), 1.5),
        (Fraction(4, 2), Decimal("2.5")),
        (np.int64(2), np.float32(0.5)),
        (2, Fraction(7, 2)),
    ]:
        obj.set(*at(index), value)
        assert obj.get(*at(2)) == float(value)
