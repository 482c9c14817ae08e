// Registration functions of morvak._native, one binding file each.
#pragma once

#include <pybind11/pybind11.h>

namespace morvak_py {

void bind_bridge(pybind11::module_ &m);     // haldo objects <-> numpy arrays
void bind_neighbours(pybind11::module_ &m); // cell-list neighbour search
void bind_formats(pybind11::module_ &m);    // extended and plain XYZ files
void bind_model(pybind11::module_ &m);      // tight-binding assembly and spectra

} // namespace morvak_py
