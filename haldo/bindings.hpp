#pragma once

#include <pybind11/pybind11.h>

#include <complex>
#include <functional>
#include <string>

namespace haldo {

// An index or size argument: a Python int or an object with __index__, or, in
// pybind11's converting pass, a number whose int() is equal to it (Decimal('2')
// is 2, while Decimal('2.7') and Fraction(5, 2) are refused, not truncated).
struct Index {
  int value;
};

// A real value: a float, or anything float() accepts that is not a complex
// number. numpy's complex scalars convert with float() (dropping the imaginary
// part with a warning), so they are refused like a Python complex.
struct Real {
  double value;
};

} // namespace haldo

namespace pybind11::detail {

template <> struct type_caster<haldo::Index> {
  PYBIND11_TYPE_CASTER(haldo::Index, const_name("int"));
  bool load(handle src, bool convert) {
    PyObject *o = src.ptr();
    if (convert && !PyLong_Check(o) && !PyFloat_Check(o) && !PyIndex_Check(o)) {
      if (!PyNumber_Check(o))
        return false;
      auto integral = reinterpret_steal<object>(PyNumber_Long(o));
      if (!integral || PyObject_RichCompareBool(o, integral.ptr(), Py_EQ) != 1) {
        PyErr_Clear();
        return false;
      }
      return load(integral, false);
    }
    type_caster<int> base;
    if (!base.load(src, convert))
      return false;
    value.value = static_cast<int>(base);
    return true;
  }
};

template <> struct type_caster<haldo::Real> {
  PYBIND11_TYPE_CASTER(haldo::Real, const_name("float"));
  bool load(handle src, bool convert) {
    PyObject *o = src.ptr();
    if (convert && !PyFloat_Check(o) && !PyLong_Check(o) && is_complex(o))
      return false;
    type_caster<double> base;
    if (!base.load(src, convert))
      return false;
    value.value = static_cast<double>(base);
    return true;
  }

private:
  // A Python complex (numpy.complex128 derives from it) or any other
  // numbers.Complex that is not a numbers.Real (numpy.complex64, ...).
  static bool is_complex(PyObject *o) {
    if (PyComplex_Check(o))
      return true;
    auto numbers = reinterpret_steal<object>(PyImport_ImportModule("numbers"));
    if (!numbers) {
      PyErr_Clear();
      return false;
    }
    const int complex = PyObject_IsInstance(o, numbers.attr("Complex").ptr());
    const int real = PyObject_IsInstance(o, numbers.attr("Real").ptr());
    if (complex < 0 || real < 0)
      PyErr_Clear();
    return complex == 1 && real == 0;
  }
};

} // namespace pybind11::detail

namespace haldo {

// Parameter types as the bound functions declare them: indices and sizes
// through Index, values through Real.
template <typename A> struct bound_arg { using type = A; };
template <> struct bound_arg<int> { using type = Index; };
template <> struct bound_arg<double> { using type = Real; };
template <typename A> using bound_arg_t = typename bound_arg<A>::type;

inline int unwrap(Index i) { return i.value; }
inline double unwrap(Real r) { return r.value; }

// Python class names join a stem ("Basis", "Operator", "Hamiltonian") with the
// flavour suffix of the scalar type.
template <typename T> std::string class_name(const std::string &stem) {
  if constexpr (std::is_same_v<T, double>)
    return stem + "Real";
  else
    return stem + "Complex";
}

// An instance made with cls.__new__(cls) and never initialised holds no native
// object; pybind11 then hands its methods a block of raw memory as `self`. Only
// constructed objects are registered with pybind11, so the adapters below check
// the registry and refuse such an instance with TypeError.
template <typename C> const C *require_initialised(const C *self) {
  const auto &registered = pybind11::detail::get_internals().registered_instances;
  if (registered.find(static_cast<const void *>(self)) == registered.end())
    throw pybind11::type_error("the object was never initialised: call __init__() first");
  return self;
}

template <typename C> C *require_initialised(C *self) {
  require_initialised(static_cast<const C *>(self));
  return self;
}

template <typename C, typename R, typename... Args> auto member(R (C::*f)(Args...)) {
  return [f](C *self, bound_arg_t<Args>... args) -> R {
    return (require_initialised(self)->*f)(unwrap(args)...);
  };
}

template <typename C, typename R, typename... Args> auto member(R (C::*f)(Args...) const) {
  return [f](const C *self, bound_arg_t<Args>... args) -> R {
    return (require_initialised(self)->*f)(unwrap(args)...);
  };
}

// A binary operator entry: the right operand is a reference, so anything that
// does not convert makes pybind11 return NotImplemented.
template <typename C, typename F> auto binary(F f) {
  return [f](const C *self, const C &other) {
    return f(*require_initialised(self), *require_initialised(&other));
  };
}

// Each registers one class on the module; instantiated for double and
// std::complex<double> in its own translation unit.
template <typename T> void bind_basis(pybind11::module_ &m);
template <typename T> void bind_operator(pybind11::module_ &m);
template <typename T> void bind_hamiltonian(pybind11::module_ &m);

} // namespace haldo
