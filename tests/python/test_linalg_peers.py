"""inverse, det and eigen of the four operator classes against numpy, on the
test matrices of numpy's and scipy's own linalg suites, each also scaled
across the double range (down to subnormal) and with an Inf or a NaN.

Tolerances are those of the peers' suites: a residual A @ inv(A) - I below
1.5e-12 (numpy's decimal=12) and rtol 1e-11 (numpy's get_rtol for doubles).
Eigenvalues are only observable through print_eigen, whose 4 significant
digits bound that comparison."""

import functools
import re

import pytest

import haldo

np = pytest.importorskip("numpy")
la = pytest.importorskip("scipy.linalg")

OPERATORS = [
    haldo.OperatorReal,
    haldo.OperatorComplex,
    haldo.HamiltonianReal,
    haldo.HamiltonianComplex,
]
_rng = np.random.default_rng(1234)
_dominant = _rng.random((20, 20)) + 20 * np.eye(20) * 0.1
_dominant_c = _dominant + 2j * _rng.random((20, 20))
# numpy.linalg.tests.test_linalg (square and hermitian cases), then
# scipy.linalg.tests.test_basic (TestInv, TestDet) and test_decomp.
MATRICES = {
    "np_double": [[1.0, 2.0], [3.0, 4.0]],
    "np_cdouble": [[1 + 2j, 2 + 3j], [3 + 4j, 4 + 5j]],
    "np_8x8": _rng.random((8, 8)),
    "np_1x1": _rng.random((1, 1)),
    "np_0x0": np.empty((0, 0)),
    "np_hdouble": [[1.0, 2.0], [2.0, 1.0]],
    "np_hcdouble": [[1.0, 2 + 3j], [2 - 3j, 1.0]],
    "sp_3x3": [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0], [7.0, 8.0, 10.0]],
    "sp_complex": [[1.0, 2.0], [3.0, 4j]],
    "sp_random": _dominant,
    "sp_random_complex": _dominant_c,
    "sp_hadamard8": la.hadamard(8),
    "sp_antidiagonal": [
        [0, 0, -1j, 1 - 1j],
        [0, 0, 1, -1j],
        [1j, 1 + 1j, 0, 0],
        [1, 1j, 0, 0],
    ],
    "sp_eigh_sym": [[4.0, 1.0, 2.0], [1.0, 5.0, 0.5], [2.0, 0.5, 6.0]],
}
MATRICES = {
    name: np.asarray(a, dtype=complex if np.iscomplexobj(a) else float)
    for name, a in MATRICES.items()
}
SINGULAR = {
    "sp_arange25": np.arange(25.0).reshape(5, 5),
    "sp_eig_singular": np.array([[1.0, 2.0, 3.0], [1.0, 2.0, 3.0], [2.0, 5.0, 6.0]]),
    "zeros": np.zeros((3, 3)),
}
SCALES = [1.0, 1e-300, 1e-150, 1e-15, 1e15, 1e150, 1e300, 1e-310]
RTOL = 1e-11
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")  # numpy on Inf, NaN


def _imaginary_unit():
    """A 1x1 OperatorComplex holding exactly 1j: set() stores real values only."""
    c = haldo.OperatorComplex()
    # Some imaginary parts y have no double r with y * r rounding to exactly 1;
    # another draw then has one.
    for _ in range(100):
        c.randu(1, 1)
        if c.get(0, 0).imag < 0.25:
            continue
        z = c.get(0, 0)
        shift = haldo.OperatorComplex()
        shift.zeros(1, 1)
        shift.set(0, 0, z.real)
        b = c - shift  # (0, Im z) exactly
        r = 1 / z.imag
        for _ in range(64):
            factor = haldo.OperatorComplex()
            factor.zeros(1, 1)
            factor.set(0, 0, r)
            unit = b * factor
            if unit.get(0, 0) == 1j:
                return unit
            r = np.nextafter(r, np.inf if unit.get(0, 0).imag < 1 else -np.inf)
    raise AssertionError("no real factor gives exactly 1j")


@functools.lru_cache
def _i_times_identity(n):
    unit, total = _imaginary_unit(), haldo.OperatorComplex()
    total.zeros(n, n)
    for k in range(n):
        col, row = haldo.OperatorComplex(), haldo.OperatorComplex()
        col.zeros(n, 1)
        col.set(k, 0, 1.0)
        row.zeros(1, n)
        row.set(0, k, 1.0)
        total = total + col * unit * row
    return total


def load(cls, a):
    """An operator of class cls (OperatorComplex for complex entries) holding a."""
    real = cls()
    real.zeros(*a.shape)
    for (i, j), v in np.ndenumerate(a):
        real.set(i, j, float(v.real))
    if not np.iscomplexobj(a) or not a.imag.any():
        return real
    imag = haldo.OperatorComplex()
    imag.zeros(*a.shape)
    for (i, j), v in np.ndenumerate(a):
        imag.set(i, j, float(v.imag))
    # (x + 0j) * 1j is exactly x*1j for finite x
    return real + imag * _i_times_identity(a.shape[1])


def array(op, shape, dtype):
    out = np.empty(shape, dtype=dtype)
    for i, j in np.ndindex(*shape):
        out[i, j] = op.get(i, j)
    return out


def cases(source):
    """(class, matrix) pairs: complex matrices only go to OperatorComplex, since
    no operation writes complex entries into a Hamiltonian."""
    for name, a in source.items():
        for cls in OPERATORS:
            if np.iscomplexobj(a) and cls is not haldo.OperatorComplex:
                continue
            if "Real" in cls.__name__ or np.iscomplexobj(a):
                yield pytest.param(cls, a, id=f"{name}-{cls.__name__}")
            else:
                yield pytest.param(cls, a.astype(complex), id=f"{name}-{cls.__name__}")


def variants(a):
    """The matrix scaled by each factor, then with an Inf and a NaN at (0, 0)."""
    for s in SCALES:
        yield f"x{s:g}", a * s
    for bad in (np.inf, np.nan):
        if a.size:
            b = a.copy()
            b[0, 0] = bad
            yield f"{bad}", b


def dtype_of(cls):
    return float if "Real" in cls.__name__ else complex


def inverse_or_none(cls, a):
    try:
        return array(load(cls, a).inverse(), a.shape, dtype_of(cls))
    except RuntimeError as e:
        assert str(e) == "inv(): matrix is singular"
        return None


@pytest.mark.parametrize(("cls", "matrix"), list(cases({**MATRICES, **SINGULAR})))
def test_inverse_agrees_with_numpy(cls, matrix):
    # Where numpy's inverse is not finite (an Inf or NaN in the matrix, a
    # subnormal one whose inverse overflows, an exactly singular one that
    # numpy's LU misses after rounding), ours must not look finite either.
    for label, a in variants(matrix):
        got = inverse_or_none(cls, a)
        try:
            expected = np.linalg.inv(a)
        except np.linalg.LinAlgError:
            # a NaN can hide numpy's zero pivot from ours; so can rounding
            assert got is None or not np.isfinite(got).all(), label
            continue
        if np.isfinite(a).all() and np.isfinite(expected).all():
            assert got is not None, label
            assert np.abs(a @ got - np.eye(len(a))).max(initial=0) < 1.5e-12, label
            np.testing.assert_allclose(got, expected, rtol=RTOL, atol=0, err_msg=label)
        else:
            assert got is None or not np.isfinite(got).all(), label


@pytest.mark.parametrize(("cls", "matrix"), list(cases({**MATRICES, **SINGULAR})))
def test_det_agrees_with_numpy(cls, matrix):
    # Subnormal results may differ in their last bits. Where numpy's det over-
    # or underflows (numpy's complex det then has NaN parts), the reference is
    # its slogdet. With a NaN in a singular matrix numpy's LU may stop at a zero
    # pivot and report 0; ours may give NaN, never another finite number.
    tiny = np.finfo(float).tiny
    for label, a in variants(matrix):
        got, expected = load(cls, a).det(), np.linalg.det(a)
        if not np.isfinite(a).all():
            assert not np.isfinite(got) or got == expected, label
        elif np.isfinite(expected):
            np.testing.assert_allclose(got, expected, rtol=RTOL, atol=tiny, err_msg=label)
        else:
            log_abs = np.linalg.slogdet(a).logabsdet
            assert abs(got) == (np.inf if log_abs > 0 else 0), label


@pytest.mark.parametrize("cls", OPERATORS, ids=lambda c: c.__name__)
def test_known_determinants(cls):
    assert load(cls, MATRICES["sp_hadamard8"]).det() == 4096
    assert load(cls, SINGULAR["sp_arange25"]).det() == 0
    assert load(cls, np.eye(3) * 1e-310).det() == 0  # the true value underflows
    assert load(cls, np.empty((0, 0))).det() == 1
    if cls is haldo.OperatorComplex:
        assert load(cls, MATRICES["sp_antidiagonal"]).det() == pytest.approx(5, rel=RTOL)


def relative_error(x, exact):
    return np.linalg.norm(x - exact) / np.linalg.norm(exact)


@pytest.mark.parametrize("cls", OPERATORS, ids=lambda c: c.__name__)
def test_hilbert_inverse_is_as_accurate_as_numpy(cls):
    for n in range(5, 13):
        h = la.hilbert(n)
        exact = la.invhilbert(n, exact=True).astype(float)

        got = array(load(cls, h).inverse(), h.shape, dtype_of(cls))
        assert relative_error(got, exact) <= 10 * relative_error(np.linalg.inv(h), exact), n


_NUMBER = r"[-+]?(?:\d+\.?\d*(?:e[-+]\d+)?|inf|nan)"


def printed_eigenvalues(op, n, capfd):
    """Eigenvalues as print_eigen writes them: its first n lines."""
    capfd.readouterr()
    op.eigen()
    op.print_eigen()
    values = []
    for line in capfd.readouterr().out.splitlines()[:n]:
        parts = [float(x) for x in re.findall(_NUMBER, line)]
        values.append(complex(*parts) if len(parts) == 2 else parts[0])
    return np.array(values, dtype=complex)


def by_value(values, scale):
    v = values / scale
    return values[np.lexsort((np.round(v.imag, 2), np.round(v.real, 2)))]


@pytest.mark.parametrize(("cls", "matrix"), list(cases(MATRICES)))
def test_eigenvalues_agree_with_numpy(cls, matrix, capfd):
    for s in SCALES[:-1]:
        a = matrix * s
        if a.size == 0:
            continue
        got = printed_eigenvalues(load(cls, a), len(a), capfd)
        hermitian = np.array_equal(a, a.conj().T)
        expected = (np.linalg.eigvalsh(a) if hermitian else np.linalg.eigvals(a)).astype(complex)
        scale = np.abs(expected).max()
        np.testing.assert_allclose(
            by_value(got, scale),
            by_value(expected, scale),
            rtol=0,
            atol=1e-3 * scale,
            err_msg=f"x{s:g}",
        )
