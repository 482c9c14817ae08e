"""morvak.to_numpy, from_numpy and eigenpairs against haldo's own accessors and numpy."""

import threading

import morvak
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import haldo

CLASSES = [
    haldo.BasisReal,
    haldo.BasisComplex,
    haldo.OperatorReal,
    haldo.OperatorComplex,
    haldo.HamiltonianReal,
    haldo.HamiltonianComplex,
]
OPERATORS = CLASSES[2:]
NEVER_INITIALISED = "the object was never initialised: call __init__() first"


def is_complex(cls):
    return issubclass(cls, (haldo.BasisComplex, haldo.OperatorComplex))


def is_basis(cls):
    return issubclass(cls, (haldo.BasisReal, haldo.BasisComplex))


def scalar(cls):
    return np.dtype(np.complex128 if is_complex(cls) else np.float64)


def random_values(cls, shape, seed=0):
    rng = np.random.default_rng(seed)
    values = rng.standard_normal(shape)
    if is_complex(cls):
        values = values + 1j * rng.standard_normal(shape)
    return values


def elements(obj, shape):
    """Every element read through haldo's own get(), in numpy's index order."""
    out = np.empty(shape, dtype=scalar(type(obj)))
    for index in np.ndindex(*shape):
        out[index] = obj.get(*index)
    return out


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


# Signed zeros, the smallest and largest subnormals, the extremes, infinities,
# and NaNs with payloads and either sign.
SPECIAL = np.array(
    [0x8000000000000000, 0x0000000000000001, 0x000FFFFFFFFFFFFF, 0x0010000000000000,
     0x7FEFFFFFFFFFFFFF, 0x7FF0000000000000, 0xFFF0000000000000, 0x7FF8000000000001,
     0xFFF4000000000123, 0x3FF0000000000000, 0x0000000000000000, 0x8000000000000001],
    dtype=np.uint64,
).view(np.float64)  # fmt: skip


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("shape", [(0, 0), (1, 1), (3, 5), (4, 0), (0, 2)])
def test_round_trip_keeps_class_shape_and_every_value(cls, shape):
    shape = shape[:1] if is_basis(cls) else shape
    values = random_values(cls, shape)
    expected = values.copy()
    obj = morvak.from_numpy(values, cls)
    assert type(obj) is cls
    np.testing.assert_array_equal(elements(obj, shape), values)
    back = morvak.to_numpy(obj)
    assert same_bits(back, values)
    if len(shape) == 2:
        assert back.flags.f_contiguous
    # A copy both ways: neither side sees later changes of the other.
    back[...] = 7
    values[...] = 9
    assert same_bits(morvak.to_numpy(obj), expected)


@pytest.mark.parametrize("cls", CLASSES)
def test_special_values_cross_unchanged(cls):
    if is_complex(cls):
        values = np.empty(SPECIAL.shape, np.complex128)
        values.real, values.imag = SPECIAL, np.roll(SPECIAL, 3)
    else:
        values = SPECIAL.copy()
    if not is_basis(cls):
        values = values.reshape(3, 4)
    back = morvak.to_numpy(morvak.from_numpy(values, cls))
    assert same_bits(back, values)
    # haldo reads the same values: -0.0 stays negative, the subnormal stays non-zero.
    first = morvak.from_numpy(values, cls).get(*([0] * values.ndim))
    assert np.signbit(np.real(first)) and np.real(first) == 0


@pytest.mark.parametrize("cls", CLASSES)
def test_objects_filled_by_haldo_read_out_exactly(cls):
    obj = cls()
    if is_basis(cls):
        obj.randn(7)
        shape = (7,)
    else:
        obj.randn(4, 6)
        obj.set(3, 5, -0.0)
        shape = (4, 6)
    array = morvak.to_numpy(obj)
    assert array.dtype == scalar(cls) and array.shape == shape
    assert same_bits(array, elements(obj, shape))


class Spin(haldo.HamiltonianComplex):
    """A Python subclass with state of its own."""

    def __init__(self):
        super().__init__()
        self.label = "spin"


class Coefficients(haldo.BasisReal):
    pass


@pytest.mark.parametrize("cls, shape", [(Spin, (2, 3)), (Coefficients, (4,))])
def test_python_subclasses(cls, shape):
    values = random_values(cls, shape, seed=3)
    obj = morvak.from_numpy(values, cls)
    assert type(obj) is cls
    assert same_bits(morvak.to_numpy(obj), values)


@pytest.mark.parametrize("cls", CLASSES + [Spin])
def test_uninitialised_instances_are_refused(cls):
    obj = cls.__new__(cls)
    with pytest.raises(TypeError, match=NEVER_INITIALISED):
        morvak.to_numpy(obj)
    if not is_basis(cls):
        with pytest.raises(TypeError, match=NEVER_INITIALISED):
            morvak.eigenpairs(obj)


# dtype -> accepted by (Real classes, Complex classes): numpy's "safe" casts.
DTYPES = [
    (np.bool_, True, True),
    (np.int8, True, True),
    (np.uint16, True, True),
    (np.int32, True, True),
    (np.int64, True, True),
    (np.uint64, True, True),
    (np.float16, True, True),
    (np.float32, True, True),
    (">f8", True, True),
    (np.complex64, False, True),
    (">c16", False, True),
    (np.longdouble, False, False),
    (np.clongdouble, False, False),
    (object, False, False),
    ("U3", False, False),
    ("M8[s]", False, False),
]


@pytest.mark.parametrize("dtype, real_ok, complex_ok", DTYPES)
@pytest.mark.parametrize("cls", [haldo.OperatorReal, haldo.BasisComplex])
def test_dtypes_accepted_when_they_cast_safely(dtype, real_ok, complex_ok, cls):
    shape = (4,) if is_basis(cls) else (2, 2)
    source = np.arange(1, 5).reshape(shape)
    if np.dtype(dtype).kind == "M":
        values = source.astype(dtype)
    elif np.dtype(dtype).kind == "c":
        values = (source + 0.5j * source).astype(dtype)
    else:
        values = source.astype(dtype)
    if complex_ok if is_complex(cls) else real_ok:
        obj = morvak.from_numpy(values, cls)
        assert same_bits(morvak.to_numpy(obj), np.asfortranarray(values.astype(scalar(cls))))
    else:
        with pytest.raises(TypeError, match=rf"{cls.__name__} holds .* does not cast safely"):
            morvak.from_numpy(values, cls)


def layouts(base):
    """Views of the same values in many memory layouts."""
    unaligned = np.frombuffer(b"\0" + base.tobytes(), dtype=base.dtype, offset=1)
    return {
        "C": np.ascontiguousarray(base),
        "F": np.asfortranarray(base),
        "transposed": np.ascontiguousarray(base.T).T,
        "negative strides": base[::-1, ::-1].copy()[::-1, ::-1],
        "every other": np.repeat(np.repeat(base, 2, axis=0), 3, axis=1)[::2, 1::3],
        "unaligned": unaligned.reshape(base.shape),
        "broadcast row": np.broadcast_to(base[:1], base.shape),
        "list": base.tolist(),
    }


@pytest.mark.parametrize("cls", [haldo.HamiltonianReal, haldo.OperatorComplex])
@pytest.mark.parametrize("shape", [(5, 7), (1, 9), (9, 1), (300, 200)])
@pytest.mark.parametrize("layout", list(layouts(np.zeros((2, 2)))))
def test_any_memory_layout(cls, shape, layout):
    base = random_values(cls, shape, seed=5)
    view = layouts(base)[layout]
    expected = np.array(view)
    back = morvak.to_numpy(morvak.from_numpy(view, cls))
    assert same_bits(np.ascontiguousarray(back), np.ascontiguousarray(expected))


@pytest.mark.parametrize("cls", [haldo.BasisReal, haldo.BasisComplex])
def test_strided_vectors(cls):
    base = random_values(cls, (40,), seed=6)
    for view in (
        base[::-3],
        base[5:30:4],
        np.broadcast_to(base[7], (6,)),
        base.reshape(5, 8)[:, 2],
    ):
        assert same_bits(morvak.to_numpy(morvak.from_numpy(view, cls)), np.array(view))


@settings(max_examples=60, deadline=None)
@given(
    data=st.data(),
    complex_class=st.booleans(),
    shape=hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=12),
)
def test_random_arrays_and_strides_round_trip(data, complex_class, shape):
    cls = haldo.OperatorComplex if complex_class else haldo.OperatorReal
    values = data.draw(hnp.arrays(scalar(cls), shape))
    steps = data.draw(st.tuples(*[st.sampled_from([1, 2, -1, -3])] * 2))
    view = values[:: steps[0], :: steps[1]]
    if data.draw(st.booleans()):
        view = view.T
    assert same_bits(np.array(morvak.to_numpy(morvak.from_numpy(view, cls)), order="C"),
                     np.array(view, order="C"))  # fmt: skip


def test_large_copies_run_beside_other_threads():
    base = random_values(haldo.OperatorComplex, (200, 300), seed=8)
    results = [None] * 4

    def work(k):
        view = base if k % 2 else base.T
        results[k] = morvak.to_numpy(morvak.from_numpy(view, haldo.OperatorComplex))

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for k, result in enumerate(results):
        assert same_bits(
            np.ascontiguousarray(result), np.ascontiguousarray(base if k % 2 else base.T)
        )


def _call(function, *args, **kwargs):
    return lambda: function(*args, **kwargs)


ERRORS = [
    (_call(morvak.from_numpy, np.ones((2, 2)) * 1j, haldo.OperatorReal), TypeError,
     "OperatorReal holds float64 values; an array of dtype complex128 does not cast safely"),
    (_call(morvak.from_numpy, np.ones(3, np.complex64), haldo.BasisReal), TypeError,
     "pass array.real"),
    (_call(morvak.from_numpy, np.ones((2, 2)), haldo.BasisReal), ValueError,
     r"BasisReal needs a 1-D array, got a 2-D array of shape \(2, 2\)"),
    (_call(morvak.from_numpy, np.ones(3), haldo.HamiltonianComplex), ValueError,
     "HamiltonianComplex needs a 2-D array, got a 1-D array"),
    (_call(morvak.from_numpy, np.ones((2, 2, 2)), haldo.OperatorReal), ValueError, "got a 3-D"),
    (_call(morvak.from_numpy, 1.5, haldo.BasisReal), ValueError, "got a 0-D"),
    (_call(morvak.from_numpy, np.ones(2), np.ndarray), TypeError,
     "cls must be one of haldo's classes .* got numpy.ndarray"),
    (_call(morvak.from_numpy, np.ones(2), haldo.BasisReal()), TypeError,
     "cls must be a haldo class .* got an instance of BasisReal"),
    (_call(morvak.to_numpy, np.ones(2)), TypeError, "to_numpy: expected an instance of BasisReal"),
    (_call(morvak.eigenpairs, haldo.BasisReal()), TypeError,
     "eigenpairs: expected an instance of OperatorReal.* got haldo.BasisReal"),
    (_call(morvak.eigenpairs, haldo.OperatorReal(), "symmetric"), ValueError,
     "kind must be None, 'hermitian' or 'general', got 'symmetric'"),
    (_call(morvak.eigenpairs, haldo.OperatorReal(), kind=1), TypeError, "kind must be None or a str"),
]  # fmt: skip


@pytest.mark.parametrize("call, error, message", ERRORS)
def test_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


def residual(matrix, values, vectors):
    return np.linalg.norm(matrix @ vectors - vectors * values) / max(1.0, np.linalg.norm(matrix))


HERMITIAN = np.array([[2.0, 1 + 1j, 0.5j], [1 - 1j, 3.0, -2.0], [-0.5j, -2.0, -1.0]])


@pytest.mark.parametrize("cls", OPERATORS)
def test_hermitian_pair(cls):
    matrix = HERMITIAN if is_complex(cls) else HERMITIAN.real + HERMITIAN.real.T
    op = morvak.from_numpy(matrix, cls)
    op.eigen()
    values, vectors = morvak.eigenpairs(op)
    assert values.dtype == np.float64 and vectors.dtype == scalar(cls)
    np.testing.assert_allclose(values, np.linalg.eigvalsh(matrix), atol=1e-12)
    assert residual(matrix, values, vectors) < 1e-13
    assert same_bits(values, morvak.eigenpairs(op, kind="hermitian")[0])
    general = morvak.eigenpairs(op, "general")
    assert general[0].shape == (0,) and general[1].shape == (0, 0)
    assert general[0].dtype == general[1].dtype == np.complex128


@pytest.mark.parametrize("cls", OPERATORS)
def test_general_pair_and_the_pair_print_eigen_shows(cls, capfd):
    matrix = np.array([[0.0, 1.0], [-1.0, 0.0]])
    op = morvak.from_numpy(matrix, cls)
    op.eigen()
    values, vectors = morvak.eigenpairs(op)
    assert values.dtype == vectors.dtype == np.complex128
    np.testing.assert_allclose(np.sort_complex(values), [-1j, 1j], atol=1e-15)
    assert residual(matrix, values, vectors) < 1e-14
    # Make the matrix symmetric: print_eigen (and kind=None) switch to the
    # Hermitian pair, still empty, while the general pair stays stored.
    op.set(1, 0, 1.0)
    capfd.readouterr()
    op.print_eigen()
    assert "[matrix size: 0x1]" in capfd.readouterr().out
    assert morvak.eigenpairs(op)[0].shape == (0,)
    assert same_bits(morvak.eigenpairs(op, "general")[0], values)


def test_eigenpairs_match_the_printed_values(capfd):
    op = morvak.from_numpy(np.diag([-2.5, 0.125, 40.0]) + 0.01, haldo.HamiltonianReal)
    op.eigen()
    capfd.readouterr()
    op.print_eigen()
    printed = capfd.readouterr().out.split()
    values, vectors = morvak.eigenpairs(op)
    np.testing.assert_allclose([float(x) for x in printed[:3]], values, atol=1e-3)
    np.testing.assert_allclose(np.array(printed[3:], float).reshape(3, 3), vectors, atol=1e-3)
