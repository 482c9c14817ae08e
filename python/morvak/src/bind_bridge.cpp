// numpy arrays from and into the storage of haldo's objects.
//
// haldo and this module are built by one project with one pybind11, so they
// share pybind11's type registry: an instance of a haldo class (or of a Python
// subclass) loads here as the C++ object it wraps, with no copy in between.
#include "models/strided_copy.hpp"
#include "numerics/basis.hpp"
#include "numerics/operator.hpp"
#include "python/morvak/src/bindings.hpp"

#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <complex>
#include <optional>
#include <string>
#include <utility>

namespace py = pybind11;

namespace morvak_py {
namespace {

using cx = std::complex<double>;
using morvak::Basis;
using morvak::Operator;

constexpr const char *haldo_classes = "BasisReal, BasisComplex, OperatorReal, OperatorComplex, "
                                      "HamiltonianReal or HamiltonianComplex";

// Copies of at least this many bytes run without the interpreter lock.
constexpr std::size_t unlocked_copy_bytes = std::size_t{1} << 16;

std::string type_name(py::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

// The C++ object that `obj` wraps, or null when `obj` is not an instance of C's
// class or of a subclass. pybind11 hands out a fresh block of raw memory for an
// instance that was never initialised; only constructed objects are in its
// registry of instances, so such an instance is refused here.
template <typename C> C *wrapped(py::handle obj) {
  py::detail::make_caster<C> caster;
  if (!caster.load(obj, /*convert=*/false) || caster.value == nullptr)
    return nullptr;
  const auto &registered = py::detail::get_internals().registered_instances;
  auto [first, last] = registered.equal_range(caster.value);
  for (auto it = first; it != last; ++it)
    if (reinterpret_cast<PyObject *>(it->second) == obj.ptr())
      return static_cast<C *>(caster.value);
  throw py::type_error("the object was never initialised: call __init__() first");
}

template <typename T> py::array vector_array(const arma::Col<T> &v) {
  py::array_t<T> out(static_cast<py::ssize_t>(v.n_elem));
  if (v.n_elem != 0)
    morvak::models::copy_bytes(out.mutable_data(), v.memptr(), v.n_elem * sizeof(T));
  return out;
}

// Column-major, like the storage, so the copy is one block. The interpreter
// lock stays held: haldo's methods run under it, so no other thread can resize
// the storage while it is being read.
template <typename T> py::array matrix_array(const arma::Mat<T> &m) {
  py::array_t<T, py::array::f_style> out(
      {static_cast<py::ssize_t>(m.n_rows), static_cast<py::ssize_t>(m.n_cols)});
  if (m.n_elem != 0)
    morvak::models::copy_bytes(out.mutable_data(), m.memptr(), m.n_elem * sizeof(T));
  return out;
}

py::array to_numpy(py::handle obj) {
  if (auto *b = wrapped<Basis<double>>(obj))
    return vector_array(*b->coefficients);
  if (auto *b = wrapped<Basis<cx>>(obj))
    return vector_array(*b->coefficients);
  if (auto *op = wrapped<Operator<double>>(obj))
    return matrix_array(*op->matrix);
  if (auto *op = wrapped<Operator<cx>>(obj))
    return matrix_array(*op->matrix);
  throw py::type_error(std::string("to_numpy: expected an instance of ") + haldo_classes +
                       ", got " + type_name(obj));
}

// The array as the copy kernel sees it; `array` must hold T elements in the
// machine's byte order (the Python layer casts everything else first).
template <typename T> morvak::models::StridedView view_of(const py::array &array) {
  if (!array.dtype().equal(py::dtype::of<T>()))
    throw py::type_error("from_numpy: expected an array of dtype " +
                         std::string(py::str(py::dtype::of<T>())) + ", got " +
                         std::string(py::str(array.dtype())));
  morvak::models::StridedView view;
  view.data = static_cast<const std::byte *>(array.data());
  view.rows = static_cast<std::size_t>(array.shape(0));
  view.row_stride = array.strides(0);
  if (array.ndim() == 2) {
    view.cols = static_cast<std::size_t>(array.shape(1));
    view.col_stride = array.strides(1);
  }
  return view;
}

// Fills a private container, with the interpreter lock released for large
// copies, and moves it into the object's storage under the lock. The array
// is referenced by the caller for the whole call, so its memory stays.
template <typename Container, typename T = typename Container::elem_type>
void assign(Container &storage, const morvak::models::StridedView &view) {
  Container filled;
  if constexpr (Container::is_col)
    filled.set_size(view.rows);
  else
    filled.set_size(view.rows, view.cols);
  if (filled.n_elem * sizeof(T) >= unlocked_copy_bytes) {
    py::gil_scoped_release unlocked;
    morvak::models::copy_to_column_major(view, filled.memptr());
  } else if (filled.n_elem != 0) {
    morvak::models::copy_to_column_major(view, filled.memptr());
  }
  storage = std::move(filled);
}

void require_ndim(const py::array &array, py::ssize_t ndim, py::handle obj) {
  if (array.ndim() != ndim)
    throw py::value_error("from_numpy: " + type_name(obj) + " needs a " + std::to_string(ndim) +
                          "-D array, got " + std::to_string(array.ndim()) + "-D");
}

void assign_array(py::handle obj, const py::array &array) {
  if (auto *b = wrapped<Basis<double>>(obj)) {
    require_ndim(array, 1, obj);
    return assign(*b->coefficients, view_of<double>(array));
  }
  if (auto *b = wrapped<Basis<cx>>(obj)) {
    require_ndim(array, 1, obj);
    return assign(*b->coefficients, view_of<cx>(array));
  }
  if (auto *op = wrapped<Operator<double>>(obj)) {
    require_ndim(array, 2, obj);
    return assign(*op->matrix, view_of<double>(array));
  }
  if (auto *op = wrapped<Operator<cx>>(obj)) {
    require_ndim(array, 2, obj);
    return assign(*op->matrix, view_of<cx>(array));
  }
  throw py::type_error(std::string("from_numpy: expected an instance of ") + haldo_classes +
                       ", got " + type_name(obj));
}

// The stored pair of one solver; with no choice given, the pair that the
// current matrix selects, by the same exact test that eigen() applies.
template <typename T> py::tuple stored_pair(const Operator<T> &op, std::optional<bool> hermitian) {
  if (hermitian.value_or(op.is_hermitian()))
    return py::make_tuple(vector_array(*op.sym_eigenvalues), matrix_array(*op.sym_eigenvectors));
  return py::make_tuple(vector_array(*op.gen_eigenvalues), matrix_array(*op.gen_eigenvectors));
}

py::tuple eigenpairs(py::handle obj, std::optional<bool> hermitian) {
  if (auto *op = wrapped<Operator<double>>(obj))
    return stored_pair(*op, hermitian);
  if (auto *op = wrapped<Operator<cx>>(obj))
    return stored_pair(*op, hermitian);
  throw py::type_error("eigenpairs: expected an instance of OperatorReal, OperatorComplex, "
                       "HamiltonianReal or HamiltonianComplex, got " +
                       type_name(obj));
}

} // namespace

void bind_bridge(py::module_ &m) {
  m.def("to_numpy", &to_numpy, py::arg("obj"));
  m.def("assign_array", &assign_array, py::arg("obj"), py::arg("array"));
  m.def("eigenpairs", &eigenpairs, py::arg("op"), py::arg("hermitian"));
}

} // namespace morvak_py
