"""get and set called on an instance must behave exactly as pybind11's own function.

Attribute access on the class (``cls.get``) still gives pybind11's entry, so
``cls.get(obj, ...)`` is the reference each instance call is compared with.
"""

import math
import sys
from fractions import Fraction

import numpy as np
import pytest

import haldo


class IntSub(int):
    pass


class FloatSub(float):
    def __float__(self):
        return 99.0


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class OperatorSub(haldo.OperatorReal):
    pass


class BasisSub(haldo.BasisComplex):
    pass


OPERATORS = [
    haldo.OperatorReal,
    haldo.OperatorComplex,
    haldo.HamiltonianReal,
    haldo.HamiltonianComplex,
    OperatorSub,
]
BASES = [haldo.BasisReal, haldo.BasisComplex, BasisSub]

INDEXES = [1, 0, -1, 2, 3, True, False, IntSub(1), np.int64(1), np.int32(2), Index(1), -0]
INDEXES += [2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**70, 1.0, np.float64(1.0), "1", None]
VALUES = [2.5, -0.0, 7, -(2**53) - 1, 2**1100, True, IntSub(3), np.float64(2.5), FloatSub(2.5)]
VALUES += [np.int64(4), Fraction(1, 3), math.inf, math.nan, 1 + 2j, "2.5", None]


def outcome(function, *args):
    try:
        return "ok", repr(function(*args))
    except Exception as e:  # noqa: BLE001 - the exception is the result compared
        return type(e), str(e)


def is_operator(obj):
    return isinstance(obj, haldo.OperatorReal | haldo.OperatorComplex)


def snapshot(obj):
    """Every element, read through pybind11's function; repr keeps -0.0 and nan apart."""
    cls = type(obj)
    if is_operator(obj):
        return [repr(cls.get(obj, i, j)) for i in range(2) for j in range(3)]
    return [repr(cls.get(obj, i)) for i in range(3)]


def calls(cls):
    if cls in OPERATORS:
        gets = [(i, 1) for i in INDEXES] + [(1, i) for i in INDEXES]
        sets = [(i, 1, 2.5) for i in INDEXES] + [(1, 2, v) for v in VALUES]
        wrong = [(), (1,), (1, 1, 1), (1, 1, 1, 1, 1)]
    else:
        gets = [(i,) for i in INDEXES]
        sets = [(i, 2.5) for i in INDEXES] + [(2, v) for v in VALUES]
        wrong = [(), (1, 1, 1)]
    return [("get", a) for a in gets + wrong] + [("set", a) for a in sets + wrong]


def fill(obj):
    """Distinct real values, written through pybind11's function."""
    cls = type(obj)
    if is_operator(obj):
        obj.zeros(2, 3)
        for i in range(2):
            for j in range(3):
                cls.set(obj, i, j, 10 * i + j + 0.5)
    else:
        obj.zeros(3)
        for i in range(3):
            cls.set(obj, i, i + 0.5)


@pytest.mark.parametrize("cls", OPERATORS + BASES, ids=lambda c: c.__name__)
def test_instance_call_matches_pybind11(cls):
    obj = cls()
    for name, args in calls(cls):
        fill(obj)
        expected = outcome(getattr(cls, name), obj, *args)
        expected_state = snapshot(obj)
        fill(obj)
        assert outcome(getattr(obj, name), *args) == expected, (name, args)
        assert snapshot(obj) == expected_state, (name, args)


def test_method_call_syntax_reads_and_writes_the_element():
    op = haldo.HamiltonianComplex()
    fill(op)
    op.set(1, 2, -0.0)
    assert repr(op.get(1, 2)) == "(-0+0j)" and op.get(0, 2) == 2.5
    b = haldo.BasisReal()
    fill(b)
    b.set(2, 7)
    assert b.get(2) == 7.0 and b.get(1) == 1.5
    with pytest.raises(IndexError, match=r"^Mat::operator\(\): index out of bounds$"):
        op.get(2, 0)
    with pytest.raises(TypeError, match=r"^set\(\): incompatible function arguments"):
        b.set(0, value=1.0)


@pytest.mark.parametrize("cls", [haldo.OperatorReal, haldo.BasisComplex], ids=lambda c: c.__name__)
def test_bound_method_looks_like_pybind11s(cls):
    obj = cls()
    for name in ("get", "set"):
        method = getattr(obj, name)
        assert method.__doc__ == getattr(cls, name).__doc__ and method.__doc__.startswith(
            name + "(self"
        )
        assert (method.__name__, method.__qualname__) == (name, "PyCapsule." + name)
        assert method.__self__ is obj and method == getattr(obj, name)
        assert repr(method).startswith(
            f"<bound method PyCapsule.{name} of <haldo.{cls.__name__} object"
        )


def test_calls_keep_reference_counts():
    op, b = haldo.OperatorReal(), haldo.BasisComplex()
    op.zeros(2, 2)
    b.zeros(2)
    value, big = 2.5, 2**40
    counts = [sys.getrefcount(x) for x in (op, b, value, big)]
    for _ in range(1000):
        op.set(1, 1, value)
        op.get(1, 1)
        b.set(1, big)
        b.get(1)
        with pytest.raises(IndexError):
            op.set(5, 0, value)
    assert [sys.getrefcount(x) for x in (op, b, value, big)] == counts
