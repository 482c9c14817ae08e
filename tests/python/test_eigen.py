import math
import re

import numpy as np
import pytest

import haldo

CLASSES = [
    haldo.OperatorReal,
    haldo.OperatorComplex,
    haldo.HamiltonianReal,
    haldo.HamiltonianComplex,
]
EMPTY_PAIR = "[matrix size: 0x1]\n[matrix size: 0x0]\n"
# Armadillo prints complex elements as (real,imaginary) and real ones bare.
ELEMENT = re.compile(r"\(([^,()]+),([^,()]+)\)|(\S+)")


@pytest.fixture(params=CLASSES, ids=lambda c: c.__name__)
def cls(request):
    return request.param


def parse(text):
    """Rows of numbers from Armadillo's printer output."""
    return [
        [
            complex(float(re_), float(im)) if re_ else float(bare)
            for re_, im, bare in ELEMENT.findall(line)
        ]
        for line in text.splitlines()
    ]


def printed_pair(op, n, capfd):
    op.print_eigen()
    rows = parse(capfd.readouterr().out)
    assert len(rows) == 2 * n and all(len(r) == 1 for r in rows[:n])
    return np.array([r[0] for r in rows[:n]]), np.array(rows[n:])


def matrix(op, n):
    return np.array([[op.get(i, j) for j in range(n)] for i in range(n)])


def square(cls, rows):
    op = cls()
    op.zeros(len(rows), len(rows))
    for i, row in enumerate(rows):
        for j, value in enumerate(row):
            op.set(i, j, value)
    return op


@pytest.mark.parametrize("n", [1, 2, 7, 64])
@pytest.mark.parametrize("hermitian", [True, False], ids=["hermitian", "general"])
def test_printed_eigenpairs_match_numpy(cls, n, hermitian, capfd):
    op = cls()
    op.randn(n, n)
    if hermitian:
        op = op + op.transpose()
    elif n == 1 and cls in (haldo.OperatorReal, haldo.HamiltonianReal):
        pytest.skip("a real 1x1 matrix is always symmetric")
    assert op.is_hermitian() is hermitian
    a = matrix(op, n)
    op.eigen()
    values, vectors = printed_pair(op, n, capfd)
    scale = max(1.0, np.abs(a).max())
    # The printer keeps four significant digits, which bounds the tolerances.
    if hermitian:
        assert values.dtype == float and (np.diff(values) >= -1e-3 * scale).all()
        np.testing.assert_allclose(values, np.linalg.eigvalsh(a), atol=2e-3 * scale)
        np.testing.assert_allclose(vectors.conj().T @ vectors, np.eye(n), atol=1e-2)
    else:
        assert vectors.dtype == complex
        distance = np.abs(values[:, None] - np.linalg.eigvals(a)[None, :])
        assert (distance.min(axis=0) < 2e-3 * scale).all()
        assert (distance.min(axis=1) < 2e-3 * scale).all()
    residual = np.linalg.norm(a @ vectors - vectors * values, axis=0)
    assert (residual < 1e-2 * scale * math.sqrt(n)).all()
    assert capfd.readouterr().err == ""


def test_print_eigen_follows_the_current_matrix(cls, capfd):
    op = cls()
    op.print_eigen()
    op.eigen()  # 0x0: the Hermitian path, which leaves its pair empty
    op.print_eigen()
    assert capfd.readouterr().out == EMPTY_PAIR * 2
    op = square(cls, [[2, 1], [1, 2]])
    op.eigen()
    values, _ = printed_pair(op, 2, capfd)
    np.testing.assert_allclose(values, [1, 3], atol=1e-4)
    op.set(0, 1, 5.0)  # no longer symmetric: the general pair, never computed
    op.print_eigen()
    assert capfd.readouterr().out == EMPTY_PAIR
    op.eigen()
    values, _ = printed_pair(op, 2, capfd)
    np.testing.assert_allclose(
        sorted(values, key=lambda v: v.real), [2 - 5**0.5, 2 + 5**0.5], atol=1e-3
    )
    op.zeros()  # symmetric again: the stale Hermitian pair is printed
    values, _ = printed_pair(op, 2, capfd)
    np.testing.assert_allclose(values, [1, 3], atol=1e-4)
    op.set(1, 0, 7.0)
    values, _ = printed_pair(op, 2, capfd)
    assert values.dtype == complex


@pytest.mark.parametrize("cls", CLASSES[::2], ids=lambda c: c.__name__)
def test_real_rotation_takes_the_general_path(cls, capfd):
    op = square(cls, [[0, 1], [-1, 0]])
    op.eigen()
    values, vectors = printed_pair(op, 2, capfd)
    np.testing.assert_allclose(values, [1j, -1j], atol=1e-4)
    assert vectors.shape == (2, 2) and vectors.dtype == complex


def test_failed_decomposition_raises_and_empties_its_pair(cls, capfd):
    op = cls()
    op.eye(2, 2)
    op.eigen()
    op.set(0, 1, math.nan)  # NaN never equals its mirror: the general solver, which refuses it
    with pytest.raises(RuntimeError, match=r"^eig_gen\(\): decomposition failed$"):
        op.eigen()
    op.print_eigen()
    assert capfd.readouterr().out == EMPTY_PAIR
    op.set(0, 1, 0.0)
    values, _ = printed_pair(op, 2, capfd)  # the Hermitian pair survived
    np.testing.assert_allclose(values, [1, 1])
    op.set(0, 1, math.inf)
    op.set(1, 0, math.inf)  # symmetric, but not finite
    with pytest.raises(RuntimeError, match=r"^eig_sym\(\): decomposition failed$"):
        op.eigen()
    op.print_eigen()
    captured = capfd.readouterr()
    assert captured.out == EMPTY_PAIR and captured.err == ""


def test_non_square_matrix_is_refused_and_results_survive(cls, capfd):
    op = square(cls, [[2, 1], [1, 2]])
    op.eigen()
    op.ones(2, 3)
    with pytest.raises(RuntimeError, match=r"^eig_gen\(\): given matrix must be square sized$"):
        op.eigen()
    op.zeros(2, 2)
    values, _ = printed_pair(op, 2, capfd)
    np.testing.assert_allclose(values, [1, 3], atol=1e-4)


def test_print_writes_the_matrix_rows(capfd):
    complex_op = haldo.OperatorComplex()
    complex_op.eye(2, 3)
    complex_op.print()
    real = haldo.HamiltonianReal()
    real.zeros(1, 3)
    real.set(0, 1, 2.5)
    real.print()
    haldo.OperatorReal().print()
    out = capfd.readouterr().out
    body, empty = out.split("[matrix size: ")
    assert empty == "0x0]\n"
    rows = parse(body)
    assert rows[:2] == [[1, 0, 0], [0, 1, 0]] and isinstance(rows[0][0], complex)
    assert rows[2] == [0.0, 2.5, 0.0]
