#pragma once

#include <pybind11/pybind11.h>

#include <complex>
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

// Each registers one class on the module; instantiated for double and
// std::complex<double> in its own translation unit.
template <typename T> void bind_basis(pybind11::module_ &m);
template <typename T> void bind_operator(pybind11::module_ &m);
template <typename T> void bind_hamiltonian(pybind11::module_ &m);

} // namespace haldo
