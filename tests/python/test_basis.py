import math

import pytest

import haldo

FLAVOURS = [(haldo.BasisReal, float), (haldo.BasisComplex, complex)]
CLASSES = [cls for cls, _ in FLAVOURS]


class Index:
    """An object usable as an index through __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.fixture(params=CLASSES, ids=lambda c: c.__name__)
def cls(request):
    return request.param


def test_new_vector_is_empty(cls):
    with pytest.raises(IndexError, match=r"^Mat::operator\(\): index out of bounds$"):
        cls().get(0)


@pytest.mark.parametrize("cls,scalar", FLAVOURS, ids=["Real", "Complex"])
def test_get_returns_flavour_scalar(cls, scalar):
    b = cls()
    b.zeros(3)
    value = b.get(2)
    assert type(value) is scalar and value == 0


def test_fills_keep_or_set_length(cls):
    b = cls()
    b.ones(2)
    assert [b.get(i) for i in range(2)] == [1, 1]
    with pytest.raises(IndexError):
        b.get(2)
    b.zeros()
    assert [b.get(i) for i in range(2)] == [0, 0]
    b.set_size(3)
    b.set(0, 4.0)
    b.set_size(3)
    assert b.get(0) == 4.0


def test_uniform_fill_stays_in_unit_interval(cls):
    b = cls()
    b.randu(1000)
    parts = []
    for i in range(1000):
        v = complex(b.get(i))
        parts += [v.real, v.imag]
    assert all(0.0 <= p < 1.0 for p in parts)
    assert len(set(parts)) > 900


def test_normal_fill_has_unit_spread(cls):
    b = cls()
    b.randn(20000)
    values = [b.get(i).real for i in range(20000)]
    mean = sum(values) / len(values)
    var = sum((v - mean) ** 2 for v in values) / len(values)
    assert abs(mean) < 0.05 and abs(var - 1.0) < 0.05


def test_complex_set_drops_imaginary_part():
    b = haldo.BasisComplex()
    b.randn(3)
    b.set(1, 2.5)
    assert b.get(1) == 2.5 + 0j
    with pytest.raises(TypeError):
        b.set(0, 1 + 2j)


@pytest.mark.parametrize(
    "index",
    [1.0, 2**31, -(2**31) - 1, "1", None],
    ids=["float", "2**31", "below-int32", "str", "None"],
)
def test_index_conversion_refusals(cls, index):
    b = cls()
    b.zeros(3)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        b.get(index)


def test_index_accepts_dunder_index_and_int_value(cls):
    b = cls()
    b.zeros(3)
    b.set(Index(2), 1)
    assert b.get(Index(2)) == 1.0
    assert type(b.get(2)) is not int


@pytest.mark.parametrize("index", [-1, 3, 2**31 - 1, -(2**31)])
def test_out_of_range_index(cls, index):
    b = cls()
    b.zeros(3)
    with pytest.raises(IndexError, match=r"^Mat::operator\(\): index out of bounds$"):
        b.get(index)
    with pytest.raises(IndexError):
        b.set(index, 1.0)
    assert [b.get(i) for i in range(3)] == [0, 0, 0]


def test_keyword_arguments_refused(cls):
    b = cls()
    b.zeros(3)
    with pytest.raises(TypeError):
        b.get(arg0=0)
    with pytest.raises(TypeError):
        b.zeros(n=3)


def test_overload_chosen_by_argument_count(cls):
    b = cls()
    b.zeros(4)
    b.ones()
    assert b.get(3) == 1
    with pytest.raises(TypeError):
        b.zeros(2, 3)
    with pytest.raises(TypeError):
        b.print(1)


def test_sum_and_difference(cls):
    a, b = cls(), cls()
    a.randu(5)
    b.randu(5)
    s, d = a + b, a - b
    assert type(s) is cls and type(d) is cls
    for k in range(5):
        assert s.get(k) == a.get(k) + b.get(k)
        assert d.get(k) == a.get(k) - b.get(k)
        assert (a - a).get(k) == 0
    with pytest.raises(IndexError):
        (cls() + cls()).get(0)


def test_operands_unchanged_and_result_independent(cls):
    a = cls()
    a.ones(2)
    s = a + a
    s.set(0, 9.0)
    assert a.get(0) == 1 and s.get(1) == 2


@pytest.mark.parametrize(
    "op,left,right,text",
    [
        ("+", 3, 4, "addition: incompatible matrix dimensions: 3x1 and 4x1"),
        ("-", 2, 0, "subtraction: incompatible matrix dimensions: 2x1 and 0x1"),
    ],
)
def test_length_mismatch(cls, op, left, right, text):
    a, b = cls(), cls()
    a.zeros(left)
    b.zeros(right)
    with pytest.raises(RuntimeError) as info:
        a + b if op == "+" else a - b
    assert str(info.value) == text


@pytest.mark.parametrize("call", ["set_size", "zeros", "ones", "randu", "randn"])
def test_negative_length_is_too_large(cls, call):
    with pytest.raises(
        RuntimeError, match=r"^arma::memory::acquire\(\): requested size is too large$"
    ):
        getattr(cls(), call)(-1)


def test_unsupported_operands(cls):
    other = haldo.BasisComplex if cls is haldo.BasisReal else haldo.BasisReal
    a = cls()
    for right in (other(), 1, 1.0, None):
        with pytest.raises(TypeError, match="unsupported operand type"):
            a + right
        with pytest.raises(TypeError, match="unsupported operand type"):
            a - right
    with pytest.raises(TypeError):
        a * a


def test_print_empty_vector(cls, capfd):
    cls().print()
    assert capfd.readouterr().out == "[matrix size: 0x1]\n"


def test_print_filled_vector(capfd):
    b = haldo.BasisReal()
    b.zeros(3)
    b.set(1, 2.5)
    b.print()
    lines = capfd.readouterr().out.splitlines()
    assert [float(x) for x in lines] == [0.0, 2.5, 0.0]


def test_print_complex_vector(capfd):
    b = haldo.BasisComplex()
    b.ones(2)
    b.print()
    lines = capfd.readouterr().out.split()
    assert len(lines) == 2
    for line in lines:
        re, im = line.strip("()").split(",")
        assert float(re) == 1.0 and float(im) == 0.0


def test_nan_and_inf_pass_through(cls):
    b = cls()
    b.zeros(2)
    b.set(0, math.nan)
    b.set(1, math.inf)
    assert math.isnan(b.get(0).real) and b.get(1).real == math.inf
