import pytest

import haldo

CLASS_NAMES = [
    "OperatorReal",
    "OperatorComplex",
    "BasisReal",
    "BasisComplex",
    "HamiltonianReal",
    "HamiltonianComplex",
]
REGISTERED = [name for name in CLASS_NAMES if hasattr(haldo, name)]


def test_module_has_no_docstring():
    assert haldo.__doc__ is None


def test_module_attributes_are_the_classes():
    public = {name for name in dir(haldo) if not name.startswith("__")}
    assert public == set(REGISTERED)
    assert {"BasisReal", "BasisComplex"} <= public


@pytest.mark.parametrize("name", REGISTERED)
def test_class_identity(name):
    cls = getattr(haldo, name)
    assert cls.__module__ == "haldo"
    assert cls.__qualname__ == name
    assert cls.__doc__ is None


@pytest.mark.parametrize("name", REGISTERED)
def test_instances_have_no_attribute_dictionary(name):
    obj = getattr(haldo, name)()
    with pytest.raises(AttributeError):
        obj.anything = 1
    assert not hasattr(obj, "__dict__")


@pytest.mark.parametrize("name", REGISTERED)
def test_constructor_takes_no_arguments(name):
    with pytest.raises(TypeError):
        getattr(haldo, name)(3)


def test_signature_names_module_and_positional_parameters():
    doc = haldo.BasisReal.set.__doc__
    assert "set(self: haldo.BasisReal, arg0: int, arg1: float) -> None" in doc


def test_subclass_must_call_base_init():
    class Bad(haldo.BasisReal):
        def __init__(self):
            pass

    with pytest.raises(
        TypeError, match=r"^haldo.BasisReal.__init__\(\) must be called when overriding __init__$"
    ):
        Bad()


def test_wrong_self_refused():
    with pytest.raises(TypeError):
        haldo.BasisReal.zeros(haldo.BasisComplex())


@pytest.mark.parametrize("name", ["BasisReal", "BasisComplex"])
def test_basis_method_table(name):
    table = ["__init__", "__add__", "__sub__", "get", "set_size", "set", "zeros", "ones", "randu", "randn", "print"]
    assert [k for k in vars(getattr(haldo, name)) if k not in {"__doc__", "__module__"}] == table


@pytest.mark.parametrize("name", REGISTERED)
def test_uninitialised_instance_is_refused(name):
    cls = getattr(haldo, name)
    raw = cls.__new__(cls)
    calls = [raw.zeros, raw.print, lambda: raw + cls(), lambda: cls() - raw]
    calls.append(lambda: raw.get(0) if "Basis" in name else raw.get(0, 0))
    for call in calls:
        with pytest.raises(TypeError, match="never initialised"):
            call()
