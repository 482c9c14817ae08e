// Points this module's BLAS and LAPACK calls at numpy's own OpenBLAS when
// numpy's wheel carries one: numpy and the module then share one instance and
// one pool of worker threads instead of two that spin against each other.
// Used by haldo and by morvak's native module at import.
#pragma once

#include "blas/route.hpp"

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

namespace haldo {

inline void share_blas_with_numpy() {
  namespace py = pybind11;
  std::vector<std::string> search_path;
  for (py::handle entry : py::module_::import("sys").attr("path")) {
    if (!py::isinstance<py::str>(entry))
      continue;
    // The file-system encoding keeps undecodable names (surrogate escapes) intact.
    PyObject *encoded = PyUnicode_EncodeFSDefault(entry.ptr());
    if (encoded == nullptr) {
      PyErr_Clear();
      continue;
    }
    search_path.push_back(py::reinterpret_steal<py::bytes>(encoded).cast<std::string>());
  }
  morvak::blas::route_to(morvak::blas::numpy_openblas(search_path));
}

} // namespace haldo
