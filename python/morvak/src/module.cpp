#include "haldo/shared_blas.hpp"
#include "python/morvak/src/bindings.hpp"

PYBIND11_MODULE(_native, m) {
  m.doc() = "Native core of the morvak package; use the functions of morvak instead.";
  haldo::share_blas_with_numpy();
  morvak_py::bind_bridge(m);
  morvak_py::bind_neighbours(m);
  morvak_py::bind_formats(m);
  morvak_py::bind_model(m);
}
