#pragma once

#include <pybind11/pybind11.h>

namespace haldo {

// Makes `obj.__class__ = other` raise TypeError on instances of the module's
// classes unless `other` wraps the same native type (a Python subclass).
void guard_class_assignment(pybind11::module_ &m);

} // namespace haldo
