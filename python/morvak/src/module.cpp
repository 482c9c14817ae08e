#include "python/morvak/src/bindings.hpp"

PYBIND11_MODULE(_native, m) {
  m.doc() = "Native core of the morvak package; use the functions of morvak instead.";
  morvak_py::bind_bridge(m);
  morvak_py::bind_neighbours(m);
  morvak_py::bind_formats(m);
  morvak_py::bind_model(m);
}
