#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <vector>

namespace pelmar {

// An argument that must hold `rows` rows of three real numbers. `shape` is
// the expected shape as messages show it, e.g. "(3, 3)".
struct RowsArgument {
  const char *name;
  Py_ssize_t rows;
  std::string shape;
};

// Appends the rows x 3 finite reals of `object`, row by row, to `values`.
// Takes an object with the buffer protocol (any strides, real or integer
// item formats in either byte order), one whose __array__ returns such an
// object, or nested sequences of numbers; a length-0 sequence or buffer
// stands for zero rows. On failure returns false
// with TypeError or ValueError set, its message beginning with the argument's
// name, e.g. "positions[1][2]: expected a finite real number, got nan".
bool read_real_rows(PyObject *object, const RowsArgument &argument, std::vector<double> &values);

} // namespace pelmar
