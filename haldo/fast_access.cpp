#include "haldo/fast_access.hpp"
#include "numerics/basis.hpp"
#include "numerics/hamiltonian.hpp"
#include "numerics/operator.hpp"

#include <pybind11/pybind11.h>
#include <structmember.h>

#include <algorithm>
#include <climits>
#include <complex>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace py = pybind11;

namespace haldo {
namespace {

// A method served in two ways. The common call (exact int indices in range, a
// float or int value, a fully constructed instance of the class itself or of
// its Hamiltonian class) runs here directly. Every other call goes to
// pybind11's own function object, so conversions, overload rules, errors and
// their messages are exactly pybind11's.
struct FastMethod {
  PyObject ob_base;
  vectorcallfunc vectorcall;
  PyObject *entry;    // the class-dictionary entry replaced; class access returns it
  PyObject *function; // pybind11's function object
  PyTypeObject *own;
  PyTypeObject *derived;    // the Hamiltonian class for Operator methods, else null
  bool guards_class_access; // class access returns this object instead of `entry`
};

FastMethod &fast(PyObject *self) { return *reinterpret_cast<FastMethod *>(self); }

// The wrapped object of a constructed instance whose type is exactly `own`
// or `derived`; null sends the call to pybind11. Python subclasses are left
// to pybind11 because their layout may differ.
template <typename Own, typename Derived> Own *receiver(const FastMethod &m, PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  if (type != m.own && type != m.derived)
    return nullptr;
  auto *inst = reinterpret_cast<py::detail::instance *>(self);
  if (!inst->simple_layout || !inst->simple_holder_constructed)
    return nullptr;
  void *value = inst->simple_value_holder[0];
  if (value == nullptr)
    return nullptr;
  if constexpr (std::is_void_v<Derived>)
    return static_cast<Own *>(value);
  else
    return type == m.own ? static_cast<Own *>(value)
                         : static_cast<Own *>(static_cast<Derived *>(value));
}

// Exact ints in the 32-bit range. Everything else (bool and other int
// subclasses, __index__ objects, values out of range) is left to pybind11.
bool index_arg(PyObject *o, int &out) {
  if (!PyLong_CheckExact(o))
    return false;
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(o, &overflow);
  if (overflow != 0 || v < INT_MIN || v > INT_MAX)
    return false;
  out = static_cast<int>(v);
  return true;
}

// The values pybind11's double conversion gives: a float (subclasses too,
// read as stored) or an exact int that fits a double.
bool real_arg(PyObject *o, double &out) {
  if (PyFloat_Check(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (!PyLong_CheckExact(o))
    return false;
  out = PyLong_AsDouble(o);
  if (out == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return true;
}

PyObject *scalar(double v) { return PyFloat_FromDouble(v); }
PyObject *scalar(std::complex<double> v) { return PyComplex_FromDoubles(v.real(), v.imag()); }

using morvak::detail::widen;

// Each access parses its arguments and reports whether it can serve the call;
// an index out of bounds is left to pybind11, which raises the IndexError.
template <typename T> struct BasisGet {
  using Object = morvak::Basis<T>;
  using Derived = void;
  static constexpr Py_ssize_t arity = 1;
  int i = 0;
  bool parse(const Object &b, PyObject *const *a) {
    return index_arg(a[0], i) && b.coefficients->in_range(widen(i));
  }
  PyObject *apply(Object &b) const { return scalar(b.get(i)); }
};

template <typename T> struct BasisSet {
  using Object = morvak::Basis<T>;
  using Derived = void;
  static constexpr Py_ssize_t arity = 2;
  int i = 0;
  double value = 0;
  bool parse(const Object &b, PyObject *const *a) {
    return index_arg(a[0], i) && real_arg(a[1], value) && b.coefficients->in_range(widen(i));
  }
  PyObject *apply(Object &b) const {
    b.set(i, value);
    Py_RETURN_NONE;
  }
};

template <typename T> struct OperatorGet {
  using Object = morvak::Operator<T>;
  using Derived = morvak::Hamiltonian<T>;
  static constexpr Py_ssize_t arity = 2;
  int row = 0, col = 0;
  bool parse(const Object &op, PyObject *const *a) {
    return index_arg(a[0], row) && index_arg(a[1], col) &&
           op.matrix->in_range(widen(row), widen(col));
  }
  PyObject *apply(Object &op) const { return scalar(op.get(row, col)); }
};

template <typename T> struct OperatorSet {
  using Object = morvak::Operator<T>;
  using Derived = morvak::Hamiltonian<T>;
  static constexpr Py_ssize_t arity = 3;
  int row = 0, col = 0;
  double value = 0;
  bool parse(const Object &op, PyObject *const *a) {
    return index_arg(a[0], row) && index_arg(a[1], col) && real_arg(a[2], value) &&
           op.matrix->in_range(widen(row), widen(col));
  }
  PyObject *apply(Object &op) const {
    op.set(row, col, value);
    Py_RETURN_NONE;
  }
};

template <typename Access>
PyObject *call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
  FastMethod &m = fast(self);
  if (kwnames == nullptr && PyVectorcall_NARGS(nargsf) == Access::arity + 1) {
    using Object = typename Access::Object;
    if (Object *object = receiver<Object, typename Access::Derived>(m, args[0])) {
      Access access;
      // The checks above leave nothing to throw; should the core throw
      // anyway, pybind11 repeats the call and translates the exception.
      if (access.parse(*object, args + 1)) {
        try {
          return access.apply(*object);
        } catch (...) {
        }
      }
    }
  }
  return PyObject_Vectorcall(m.function, args, nargsf, kwnames);
}

// __init__ of a class called on an instance that wraps another native type
// (OperatorReal.__init__ on a HamiltonianReal): pybind11 would fail outside its
// error handling and abort the process, so the call is refused here.
PyObject *guarded_init(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
  FastMethod &m = fast(self);
  if (PyVectorcall_NARGS(nargsf) >= 1 && PyObject_TypeCheck(args[0], m.own)) {
    PyTypeObject *type = Py_TYPE(args[0]);
    const auto &wrapped = py::detail::all_type_info(type);
    const auto *own = py::detail::get_type_info(m.own);
    if (std::find(wrapped.begin(), wrapped.end(), own) == wrapped.end()) {
      PyErr_Format(PyExc_TypeError,
                   "%s.__init__() cannot initialise a %s object; call %s.__init__()",
                   m.own->tp_name, type->tp_name,
                   wrapped.empty() ? type->tp_name : wrapped.front()->type->tp_name);
      return nullptr;
    }
  }
  return PyObject_Vectorcall(m.function, args, nargsf, kwnames);
}

// Attribute access on the class gives the entry it gave before (or this object,
// when class access must be guarded too); on an instance, a bound method, as
// for pybind11's own entries.
PyObject *descr_get(PyObject *self, PyObject *obj, PyObject *) {
  if (obj == nullptr)
    return Py_NewRef(fast(self).guards_class_access ? self : fast(self).entry);
  return PyMethod_New(self, obj);
}

// Name, qualified name, docstring and text signature are pybind11's function's.
PyObject *forward(PyObject *self, void *name) {
  return PyObject_GetAttrString(fast(self).function, static_cast<const char *>(name));
}

void dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  Py_CLEAR(fast(self).entry);
  Py_CLEAR(fast(self).function);
  type->tp_free(self);
  Py_DECREF(type);
}

PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FastMethod, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

char doc_name[] = "__doc__", name_name[] = "__name__", qualname_name[] = "__qualname__",
     signature_name[] = "__text_signature__";
PyGetSetDef getset[] = {{doc_name, forward, nullptr, nullptr, doc_name},
                        {name_name, forward, nullptr, nullptr, name_name},
                        {qualname_name, forward, nullptr, nullptr, qualname_name},
                        {signature_name, forward, nullptr, nullptr, signature_name},
                        {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
                       {Py_tp_descr_get, reinterpret_cast<void *>(descr_get)},
                       {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
                       {Py_tp_members, members},
                       {Py_tp_getset, getset},
                       {0, nullptr}};

PyType_Spec spec{"haldo.fast_method", sizeof(FastMethod), 0,
                 Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                     Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                 slots};

// Replaces the class-dictionary entry `name` of `cls` (keeping its place) by a
// FastMethod that calls `vectorcall` and falls back to pybind11's function.
FastMethod &replace(PyTypeObject *method_type, py::type cls, const char *name,
                    vectorcallfunc vectorcall) {
  auto *own = reinterpret_cast<PyTypeObject *>(cls.ptr());
  PyObject *entry = PyDict_GetItemString(own->tp_dict, name);
  if (entry == nullptr || !PyInstanceMethod_Check(entry))
    throw std::logic_error("haldo/fast_access.cpp: expected pybind11's method " +
                           std::string(own->tp_name) + "." + name);
  FastMethod *m = PyObject_New(FastMethod, method_type);
  if (m == nullptr)
    throw py::error_already_set();
  m->vectorcall = vectorcall;
  m->entry = Py_NewRef(entry);
  m->function = Py_NewRef(PyInstanceMethod_GET_FUNCTION(entry));
  m->own = own;
  m->derived = nullptr;
  m->guards_class_access = false;
  py::setattr(cls, name, py::reinterpret_steal<py::object>(reinterpret_cast<PyObject *>(m)));
  return *m;
}

template <typename Access> void install(PyTypeObject *method_type, const char *name) {
  using Derived = typename Access::Derived;
  FastMethod &m = replace(method_type, py::type::of<typename Access::Object>(), name, call<Access>);
  if constexpr (!std::is_void_v<Derived>)
    m.derived = reinterpret_cast<PyTypeObject *>(py::type::of<Derived>().ptr());
}

template <typename Object> void install_init_guard(PyTypeObject *method_type) {
  replace(method_type, py::type::of<Object>(), "__init__", guarded_init).guards_class_access = true;
}

template <typename T> void install_flavour(PyTypeObject *method_type) {
  install<BasisGet<T>>(method_type, "get");
  install<BasisSet<T>>(method_type, "set");
  install<OperatorGet<T>>(method_type, "get");
  install<OperatorSet<T>>(method_type, "set");
  install_init_guard<morvak::Basis<T>>(method_type);
  install_init_guard<morvak::Operator<T>>(method_type);
  install_init_guard<morvak::Hamiltonian<T>>(method_type);
}

} // namespace

void install_fast_access() {
  auto method_type = py::reinterpret_steal<py::object>(PyType_FromSpec(&spec));
  if (!method_type)
    throw py::error_already_set();
  auto *type = reinterpret_cast<PyTypeObject *>(method_type.ptr());
  install_flavour<double>(type);
  install_flavour<std::complex<double>>(type);
}

} // namespace haldo
