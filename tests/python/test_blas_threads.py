"""One OpenBLAS instance serves numpy, haldo and morvak; morvak.blas_threads
reaches every pool, and gives it back."""

import json
import os
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")
threadpoolctl = pytest.importorskip("threadpoolctl")

from morvak._threads import blas_pools, blas_threads

import haldo


def _blas_counts():
    return {p["filepath"]: p["num_threads"] for p in blas_pools() if p["user_api"] == "blas"}


def test_limits_both_pools_and_restores_them():
    before = _blas_counts()
    paths = list(before)
    # numpy's bundled OpenBLAS and the scipy-openblas64 package's, which haldo
    # and morvak's native module link.
    assert any("numpy" in p for p in paths), paths
    assert sum("/scipy_openblas64/" in p for p in paths) == 1, paths
    a = haldo.OperatorReal()
    a.randn(150, 150)
    b = haldo.OperatorReal()
    b.randn(150, 150)
    full = a * b
    with blas_threads(1):
        assert set(_blas_counts().values()) == {1}
        single = a * b
        x = np.arange(4.0).reshape(2, 2)
        assert (x @ x == [[2.0, 3.0], [6.0, 11.0]]).all()
    assert _blas_counts() == before
    for i, j in ((0, 0), (17, 149), (149, 3)):
        assert single.get(i, j) == pytest.approx(full.get(i, j), rel=1e-12, abs=1e-12)

    # Without a block, the limit holds until restored.
    limits = blas_threads(1)
    try:
        assert set(_blas_counts().values()) == {1}
    finally:
        limits.restore_original_limits()
    assert _blas_counts() == before


@pytest.mark.parametrize(
    "value, error",
    [(0, ValueError), (-2, ValueError), (True, TypeError), (1.0, TypeError), ("2", TypeError)],
)
def test_refuses_bad_counts(value, error):
    before = _blas_counts()
    with pytest.raises(error, match="blas_threads: expected"):
        blas_threads(value)
    assert _blas_counts() == before


_SERVED = """
import ctypes, json, sys
{prelude}
import {first}
import numpy, haldo, morvak._native
from threadpoolctl import threadpool_info

def served(module):
    library = ctypes.CDLL(module.__file__).morvak_blas_library
    library.restype = ctypes.c_char_p
    return library().decode()

print(json.dumps([p["filepath"] for p in threadpool_info() if "numpy.libs" in p["filepath"]]))
print(served(haldo))
print(served(morvak._native))
"""


@pytest.mark.parametrize(
    "first, prelude",
    [
        ("numpy", ""),
        ("haldo", ""),
        ("morvak", ""),
        # A path entry that is no valid text in the file-system encoding.
        ("haldo", 'sys.path.insert(0, "/nonexistent/\\udcff")'),
    ],
)
def test_numpy_haldo_and_morvak_share_numpys_openblas(first, prelude):
    if not any("/numpy.libs/libscipy_openblas64_" in p for p in _blas_counts()):
        pytest.skip("this numpy carries no scipy-openblas64 build")
    done = subprocess.run(
        [sys.executable, "-c", _SERVED.format(first=first, prelude=prelude)],
        capture_output=True,
        text=True,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    out = done.stdout.splitlines()
    numpy_libraries, haldo_calls, morvak_calls = json.loads(out[0]), out[1], out[2]
    # Whatever comes first, numpy's library is loaded once and serves all three.
    assert len(numpy_libraries) == 1, numpy_libraries
    assert os.path.samefile(haldo_calls, numpy_libraries[0])
    assert os.path.samefile(morvak_calls, numpy_libraries[0])


@pytest.mark.parametrize("n", [7, 64, 200])
@pytest.mark.parametrize("cls", [haldo.OperatorReal, haldo.OperatorComplex])
def test_general_eigen_is_numpys_bit_for_bit(cls, n):
    # On numpy's instance, with the workspace LAPACK asks for, as numpy's eig.
    if not any("/numpy.libs/libscipy_openblas64_" in p for p in _blas_counts()):
        pytest.skip("this numpy carries no scipy-openblas64 build")
    import morvak

    rng = np.random.default_rng(n)
    a = rng.standard_normal((n, n))
    if cls is haldo.OperatorComplex:
        a = a + 1j * rng.standard_normal((n, n))
    op = morvak.from_numpy(a, cls)
    op.eigen()
    values, vectors = morvak.eigenpairs(op, "general")
    expected_values, expected_vectors = np.linalg.eig(a)
    np.testing.assert_array_equal(values, expected_values)
    np.testing.assert_array_equal(vectors, expected_vectors)
