#include "haldo/bindings.hpp"
#include "numerics/hamiltonian.hpp"
#include "numerics/operator.hpp"

#include <pybind11/complex.h>
#include <pybind11/operators.h>

namespace py = pybind11;

namespace haldo {

template <typename T> void bind_operator(py::module_ &m) {
  using Op = morvak::Operator<T>;
  // Overloaded names: the no-argument form is registered first. The operators
  // are operator entries, so an unconvertible right operand gives NotImplemented.
  py::class_<Op>(m, class_name<T>("Operator").c_str())
      .def(py::init<>())
      .def("eigen", &Op::eigen)
      .def(py::self + py::self)
      .def(py::self - py::self)
      .def(py::self * py::self)
      .def("transpose", &Op::transpose)
      .def("inplace_transpose", &Op::inplace_transpose)
      .def("inverse", &Op::inverse)
      .def("is_hermitian", &Op::is_hermitian)
      .def("is_symmetric", &Op::is_symmetric)
      .def("det", &Op::det)
      .def("get", &Op::get)
      .def("set_size", &Op::set_size)
      .def("set", &Op::set)
      .def("zeros", py::overload_cast<>(&Op::zeros))
      .def("zeros", py::overload_cast<int, int>(&Op::zeros))
      .def("ones", py::overload_cast<>(&Op::ones))
      .def("ones", py::overload_cast<int, int>(&Op::ones))
      .def("randu", py::overload_cast<>(&Op::randu))
      .def("randu", py::overload_cast<int, int>(&Op::randu))
      .def("randn", py::overload_cast<>(&Op::randn))
      .def("randn", py::overload_cast<int, int>(&Op::randn))
      .def("eye", py::overload_cast<>(&Op::eye))
      .def("eye", py::overload_cast<int, int>(&Op::eye))
      .def("print", &Op::print)
      .def("print_eigen", &Op::print_eigen);
}

// Everything but the constructor is inherited; methods that return a new
// operator return the Operator class of the flavour.
template <typename T> void bind_hamiltonian(py::module_ &m) {
  py::class_<morvak::Hamiltonian<T>, morvak::Operator<T>>(m, class_name<T>("Hamiltonian").c_str())
      .def(py::init<>());
}

template void bind_operator<double>(py::module_ &);
template void bind_operator<std::complex<double>>(py::module_ &);
template void bind_hamiltonian<double>(py::module_ &);
template void bind_hamiltonian<std::complex<double>>(py::module_ &);

} // namespace haldo
