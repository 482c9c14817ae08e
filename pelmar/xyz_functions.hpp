#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pelmar {

// load_xyz(path, /): reads the XYZ file at `path` (str, bytes or os.PathLike)
// into a new pelmar.Crystal.
PyObject *load_xyz(PyObject *module, PyObject *path);

// write_xyz(path, crystal, /): writes `crystal` to `path` in the XYZ record
// layout, replacing a regular file atomically (FIFOs and devices in place).
PyObject *write_xyz(PyObject *module, PyObject *args);

} // namespace pelmar
