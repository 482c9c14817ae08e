#include "haldo/bindings.hpp"
#include "numerics/basis.hpp"

#include <pybind11/complex.h>

namespace py = pybind11;

namespace haldo {

template <typename T> void bind_basis(py::module_ &m) {
  using B = morvak::Basis<T>;
  // Overloaded names: the no-argument form is registered first.
  py::class_<B>(m, class_name<T>("Basis").c_str())
      .def(py::init<>())
      .def("__add__", binary<B>(std::plus<>{}), py::is_operator())
      .def("__sub__", binary<B>(std::minus<>{}), py::is_operator())
      .def("get", member(&B::get))
      .def("set_size", member(&B::set_size))
      .def("set", member(&B::set))
      .def("zeros", member(py::overload_cast<>(&B::zeros)))
      .def("zeros", member(py::overload_cast<int>(&B::zeros)))
      .def("ones", member(py::overload_cast<>(&B::ones)))
      .def("ones", member(py::overload_cast<int>(&B::ones)))
      .def("randu", member(py::overload_cast<>(&B::randu)))
      .def("randu", member(py::overload_cast<int>(&B::randu)))
      .def("randn", member(py::overload_cast<>(&B::randn)))
      .def("randn", member(py::overload_cast<int>(&B::randn)))
      .def("print", member(&B::print));
}

template void bind_basis<double>(py::module_ &);
template void bind_basis<std::complex<double>>(py::module_ &);

} // namespace haldo
