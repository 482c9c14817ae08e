#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>

namespace pelmar {

// Periodicity along the three cell vectors, as ASE's Atoms.pbc.
using Periodicity = std::array<bool, 3>;

// Reads the `pbc` argument: one flag for all three axes, or a sequence of
// three. A flag is a bool, a numpy.bool_, or an integer that is 0 or 1. On
// failure returns false with TypeError or ValueError set, the message naming
// the argument, e.g. "pbc[2]: expected a bool, got float".
bool read_periodicity(PyObject *object, Periodicity &pbc);

// The tuple of three bools that Crystal.pbc returns.
PyObject *periodicity_tuple(const Periodicity &pbc);

} // namespace pelmar
