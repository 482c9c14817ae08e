#include "haldo/bindings.hpp"
#include "numerics/hamiltonian.hpp"
#include "numerics/operator.hpp"

#include <pybind11/complex.h>

namespace py = pybind11;

namespace haldo {

template <typename T> void bind_operator(py::module_ &m) {
  using Op = morvak::Operator<T>;
  // Overloaded names: the no-argument form is registered first. The operators
  // are operator entries, so an unconvertible right operand gives NotImplemented.
  py::class_<Op>(m, class_name<T>("Operator").c_str())
      .def(py::init<>())
      .def("eigen", member(&Op::eigen))
      .def("__add__", binary<Op>(std::plus<>{}), py::is_operator())
      .def("__sub__", binary<Op>(std::minus<>{}), py::is_operator())
      .def("__mul__", binary<Op>(std::multiplies<>{}), py::is_operator())
      .def("transpose", member(&Op::transpose))
      .def("inplace_transpose", member(&Op::inplace_transpose))
      .def("inverse", member(&Op::inverse))
      .def("is_hermitian", member(&Op::is_hermitian))
      .def("is_symmetric", member(&Op::is_symmetric))
      .def("det", member(&Op::det))
      .def("get", member(&Op::get))
      .def("set_size", member(&Op::set_size))
      .def("set", member(&Op::set))
      .def("zeros", member(py::overload_cast<>(&Op::zeros)))
      .def("zeros", member(py::overload_cast<int, int>(&Op::zeros)))
      .def("ones", member(py::overload_cast<>(&Op::ones)))
      .def("ones", member(py::overload_cast<int, int>(&Op::ones)))
      .def("randu", member(py::overload_cast<>(&Op::randu)))
      .def("randu", member(py::overload_cast<int, int>(&Op::randu)))
      .def("randn", member(py::overload_cast<>(&Op::randn)))
      .def("randn", member(py::overload_cast<int, int>(&Op::randn)))
      .def("eye", member(py::overload_cast<>(&Op::eye)))
      .def("eye", member(py::overload_cast<int, int>(&Op::eye)))
      .def("print", member(&Op::print))
      .def("print_eigen", member(&Op::print_eigen));
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
