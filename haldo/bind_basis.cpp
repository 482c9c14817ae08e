#include "haldo/bindings.hpp"
#include "numerics/basis.hpp"

#include <pybind11/complex.h>
#include <pybind11/operators.h>

namespace py = pybind11;

namespace haldo {

template <typename T> void bind_basis(py::module_ &m) {
  using B = morvak::Basis<T>;
  // Overloaded names: the no-argument form is registered first.
  py::class_<B>(m, class_name<T>("Basis").c_str())
      .def(py::init<>())
      .def(py::self + py::self)
      .def(py::self - py::self)
      .def("get", &B::get)
      .def("set_size", &B::set_size)
      .def("set", &B::set)
      .def("zeros", py::overload_cast<>(&B::zeros))
      .def("zeros", py::overload_cast<int>(&B::zeros))
      .def("ones", py::overload_cast<>(&B::ones))
      .def("ones", py::overload_cast<int>(&B::ones))
      .def("randu", py::overload_cast<>(&B::randu))
      .def("randu", py::overload_cast<int>(&B::randu))
      .def("randn", py::overload_cast<>(&B::randn))
      .def("randn", py::overload_cast<int>(&B::randn))
      .def("print", &B::print);
}

template void bind_basis<double>(py::module_ &);
template void bind_basis<std::complex<double>>(py::module_ &);

} // namespace haldo
