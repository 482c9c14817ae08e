#pragma once

#include <pybind11/pybind11.h>

#include <complex>
#include <functional>
#include <string>

namespace haldo {

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
  return [f](C *self, Args... args) -> R { return (require_initialised(self)->*f)(args...); };
}

template <typename C, typename R, typename... Args> auto member(R (C::*f)(Args...) const) {
  return [f](const C *self, Args... args) -> R { return (require_initialised(self)->*f)(args...); };
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
