#include "haldo/class_guard.hpp"

namespace py = pybind11;

namespace haldo {
namespace {

// Python allows __class__ assignment between any two pybind11 classes, since
// their instances have the same Python layout; the native objects inside do
// not, and the next call on the object would use the wrong one.
bool same_native_type(PyTypeObject *from, PyObject *to) {
  if (!PyType_Check(to))
    return true; // Python's own check refuses it
  const auto &a = py::detail::all_type_info(from);
  const auto &b = py::detail::all_type_info(reinterpret_cast<PyTypeObject *>(to));
  return !a.empty() && a == b;
}

int guarded_setattro(PyObject *self, PyObject *name, PyObject *value) {
  if (value != nullptr && PyUnicode_Check(name) &&
      PyUnicode_CompareWithASCIIString(name, "__class__") == 0 &&
      !same_native_type(Py_TYPE(self), value)) {
    PyErr_Format(PyExc_TypeError,
                 "__class__ assignment: a %s object cannot become %s: they hold different "
                 "native objects",
                 Py_TYPE(self)->tp_name, reinterpret_cast<PyTypeObject *>(value)->tp_name);
    return -1;
  }
  return PyObject_GenericSetAttr(self, name, value);
}

} // namespace

void guard_class_assignment(py::module_ &m) {
  for (const char *name : {"OperatorReal", "OperatorComplex", "BasisReal", "BasisComplex",
                           "HamiltonianReal", "HamiltonianComplex"}) {
    auto *type = reinterpret_cast<PyTypeObject *>(m.attr(name).ptr());
    if (type->tp_setattro != PyObject_GenericSetAttr)
      throw std::logic_error("haldo/class_guard.cpp: expected the generic attribute setter on " +
                             std::string(type->tp_name));
    type->tp_setattro = guarded_setattro;
  }
}

} // namespace haldo
