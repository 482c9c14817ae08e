#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pelmar {

// Holds one strong reference, released at the end of the scope.
class Owned {
public:
  explicit Owned(PyObject *object = nullptr) : object_(object) {}
  Owned(const Owned &) = delete;
  Owned &operator=(const Owned &) = delete;
  ~Owned() { Py_XDECREF(object_); }
  PyObject *get() const { return object_; }
  PyObject **out() { return &object_; } // for converters that store a new reference

private:
  PyObject *object_;
};

} // namespace pelmar
