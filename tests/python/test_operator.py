import math

import numpy as np
import pytest

import haldo

# Each class with the Operator class of its flavour, which is what methods
# returning a new operator give back.
BASE = {
    haldo.OperatorReal: haldo.OperatorReal,
    haldo.OperatorComplex: haldo.OperatorComplex,
    haldo.HamiltonianReal: haldo.OperatorReal,
    haldo.HamiltonianComplex: haldo.OperatorComplex,
}
COMPLEX = [haldo.OperatorComplex, haldo.HamiltonianComplex]


@pytest.fixture(params=list(BASE), ids=lambda c: c.__name__)
def cls(request):
    return request.param


def matrix(op, rows, cols):
    return np.array([[op.get(i, j) for j in range(cols)] for i in range(rows)])


def shape(op):
    def extent(probe):
        n = 0
        while True:
            try:
                probe(n)
            except IndexError:
                return n
            n += 1

    return extent(lambda i: op.get(i, 0)), extent(lambda j: op.get(0, j))


def test_module_holds_exactly_the_six_classes_in_registration_order():
    names = [k for k in vars(haldo) if not k.startswith("__")]
    assert names == [
        "OperatorReal",
        "OperatorComplex",
        "BasisReal",
        "BasisComplex",
        "HamiltonianReal",
        "HamiltonianComplex",
    ]


TABLE = (  # noqa: SIM905 - one line per overload group would be longer
    "__init__ eigen __add__ __sub__ __mul__ transpose inplace_transpose inverse is_hermitian"
    " is_symmetric det get set_size set zeros ones randu randn eye print print_eigen"
).split()
HIDDEN = {"__doc__", "__module__"}  # set by Python


@pytest.mark.parametrize("base", [haldo.OperatorReal, haldo.OperatorComplex])
def test_method_tables(base):
    assert [k for k in vars(base) if k not in HIDDEN] == TABLE
    assert f"1. zeros(self: haldo.{base.__name__}) -> None" in base.zeros.__doc__
    ham = haldo.HamiltonianReal if base is haldo.OperatorReal else haldo.HamiltonianComplex
    assert [k for k in vars(ham) if k not in HIDDEN] == ["__init__"]
    assert ham.__bases__ == (base,) and not issubclass(haldo.BasisReal, base)


@pytest.mark.parametrize("n", [1, 2, 7, 64])
def test_algebra_matches_numpy(cls, n):
    a, b = cls(), cls()
    a.randn(n, n)
    b.randn(n, n)
    A, B = matrix(a, n, n), matrix(b, n, n)
    expected = [A + B, A - B, A @ B, A.conj().T, np.linalg.inv(A)]
    for result, want in zip([a + b, a - b, a * b, a.transpose(), a.inverse()], expected):
        assert type(result) is BASE[cls]
        np.testing.assert_allclose(
            matrix(result, n, n), want, rtol=1e-7, atol=1e-9 * abs(want).max()
        )
    np.testing.assert_allclose(matrix(a * a.inverse(), n, n), np.eye(n), atol=1e-7)
    assert a.det() == pytest.approx(np.linalg.det(A), rel=1e-7)
    assert type(a.det()) is (complex if cls in COMPLEX else float)
    np.testing.assert_array_equal(matrix(a, n, n), A)  # operands unchanged


def test_mixed_classes_of_one_flavour_combine(cls):
    a, b = cls(), BASE[cls]()
    a.ones(2, 3)
    b.eye(3, 2)
    for result in (b * a, a * b, a + b.transpose(), b.transpose() - a):
        assert type(result) is BASE[cls]
    np.testing.assert_array_equal(matrix(a * b, 2, 2), [[1, 1], [1, 1]])


def test_empty_operands(cls, capfd):
    a, b = cls(), cls()
    a.randu(3, 0)
    b.randu(0, 4)
    np.testing.assert_array_equal(matrix(a * b, 3, 4), np.zeros((3, 4)))
    empty = cls()
    with pytest.raises(IndexError, match=r"^Mat::operator\(\): index out of bounds$"):
        empty.get(0, 0)
    assert empty.det() == 1 and empty.is_symmetric() and empty.is_hermitian()
    empty.inverse().print()
    (empty + empty).print()
    assert capfd.readouterr().out == "[matrix size: 0x0]\n" * 2


ERRORS = [
    ((2, 2), (2, 2), lambda a, b: a.get(-1, 0), IndexError, "Mat::operator(): index out of bounds"),
    ((2, 3), (2, 2), lambda a, b: a.set(0, 3, 1.0), IndexError, "Mat::operator(): index out of bounds"),
    ((2, 3), (2, 2), lambda a, b: a.det(), RuntimeError, "det(): given matrix must be square sized"),
    ((2, 3), (2, 2), lambda a, b: a.inverse(), RuntimeError, "inv(): given matrix must be square sized"),
    ((2, 2), (2, 2), lambda a, b: a.inverse(), RuntimeError, "inv(): matrix is singular"),
    ((2, 2), (2, 3), lambda a, b: a + b, RuntimeError, "addition: incompatible matrix dimensions: 2x2 and 2x3"),
    ((2, 2), (2, 3), lambda a, b: a - b, RuntimeError, "subtraction: incompatible matrix dimensions: 2x2 and 2x3"),
    ((2, 3), (2, 3), lambda a, b: a * b, RuntimeError, "matrix multiplication: incompatible matrix dimensions: 2x3 and 2x3"),
    ((2, 2), (2, 2), lambda a, b: a.set_size(-1, 2), RuntimeError, "Mat::init(): requested size is too large"),
    ((2, 2), (2, 2), lambda a, b: a.ones(2, -1), RuntimeError, "Mat::init(): requested size is too large"),
    ((2, 2), (2, 2), lambda a, b: a.set_size(-1, 1), RuntimeError, "arma::memory::acquire(): requested size is too large"),
]  # fmt: skip


@pytest.mark.parametrize("shape_a,shape_b,call,exc,text", ERRORS)
def test_failures_keep_their_texts_and_operands(cls, shape_a, shape_b, call, exc, text):
    a, b = cls(), cls()
    a.zeros(*shape_a)
    b.zeros(*shape_b)
    with pytest.raises(exc) as info:
        call(a, b)
    assert str(info.value) == text
    assert shape(a) == shape_a and not matrix(a, *shape_a).any()


def test_singular_matrix_has_zero_determinant(cls):
    a = cls()
    a.zeros(2, 2)
    assert a.det() == 0


def test_fills_sizes_and_reshape(cls):
    op = cls()
    op.eye(2, 3)
    np.testing.assert_array_equal(matrix(op, 2, 3), np.eye(2, 3))
    op.randu(3, 3)
    values = matrix(op, 3, 3)
    assert ((values.real >= 0) & (values.real < 1) & (values.imag >= 0) & (values.imag < 1)).all()
    op.eye()
    np.testing.assert_array_equal(matrix(op, 3, 3), np.eye(3))
    op.ones()
    assert shape(op) == (3, 3) and (matrix(op, 3, 3) == 1).all()
    op.randn(2, 3)
    before = matrix(op, 2, 3)
    op.set_size(3, 2)  # same element count: storage kept, read in the new shape
    np.testing.assert_array_equal(matrix(op, 3, 2), before.reshape((3, 2), order="F"))
    op.set(2, 1, 2.5)
    assert op.get(2, 1) == 2.5 and type(op.get(2, 1)) is type(before[0, 0].item())
    op.set(0, 0, 1)  # an int value is converted
    assert op.get(0, 0) == 1.0


def test_transposes(cls):
    op = cls()
    op.randu(2, 3)
    before = matrix(op, 2, 3)
    np.testing.assert_array_equal(matrix(op.transpose(), 3, 2), before.conj().T)
    op.inplace_transpose()
    assert shape(op) == (3, 2)
    np.testing.assert_array_equal(matrix(op, 3, 2), before.conj().T)
    op.randu(1, 1)
    single = op.get(0, 0)
    op.inplace_transpose()
    assert op.get(0, 0) == single.conjugate()
    op.inplace_transpose()
    assert op.get(0, 0) == single


NAN, INF = math.nan, math.inf


@pytest.mark.parametrize(
    "entries,expected",
    [
        ({(0, 1): 1.0}, False),
        ({(0, 1): 1.0, (1, 0): 1.0}, True),
        ({(0, 1): NAN, (1, 0): NAN}, False),
        ({(0, 0): NAN, (1, 1): INF}, True),
        ({(0, 1): INF, (1, 0): INF}, True),
    ],
)
def test_exact_symmetry_tests(cls, entries, expected):
    op = cls()
    op.zeros(2, 2)
    for (i, j), value in entries.items():
        op.set(i, j, value)
    assert op.is_symmetric() is expected and op.is_hermitian() is expected


def test_symmetry_of_shapes(cls):
    op = cls()
    op.ones(2, 3)
    assert not op.is_symmetric() and not op.is_hermitian()
    op.randu(1, 1)  # one element: symmetric; Hermitian only with a real value
    assert op.is_symmetric() and op.is_hermitian() is (cls not in COMPLEX)


@pytest.mark.parametrize("cls", COMPLEX, ids=lambda c: c.__name__)
def test_complex_symmetry_is_not_hermiticity(cls):
    a = cls()
    a.randu(3, 3)
    assert not a.is_hermitian() and not a.is_symmetric()
    hermitian = a + a.transpose()
    assert hermitian.is_hermitian() and not hermitian.is_symmetric()
    column, row, c = cls(), cls(), cls()
    column.ones(2, 1)
    row.ones(1, 2)
    c.randu(1, 1)
    constant = column * c * row  # every element equal, none real
    assert constant.is_symmetric() and not constant.is_hermitian()


def test_unsupported_operands_and_arguments(cls):
    other = haldo.OperatorReal if cls in COMPLEX else haldo.OperatorComplex
    a = cls()
    a.zeros(2, 2)
    for right in (other(), haldo.BasisReal(), haldo.BasisComplex(), 1, 1.0, None):
        for op in ("__add__", "__sub__", "__mul__"):
            assert getattr(a, op)(right) is NotImplemented
        with pytest.raises(TypeError, match="unsupported operand type"):
            a * right
    with pytest.raises(TypeError):
        a.zeros(2)
    with pytest.raises(TypeError):
        a.get(1.0, 0)
    with pytest.raises(TypeError):
        a.get(0, 2**31)
    with pytest.raises(TypeError):
        a.set(0, 0, 1j)
    with pytest.raises(TypeError):
        a.get(arg0=0, arg1=0)
