"""morvak.blas_threads reaches numpy's and haldo's BLAS pools, and gives them back."""

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
    # numpy's bundled OpenBLAS and the scipy-openblas32 package's, which haldo
    # and morvak's native module share.
    assert any("numpy" in p for p in paths), paths
    assert sum("/scipy_openblas32/" in p for p in paths) == 1, paths
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
