#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "crystal/crystal.hpp"

namespace pelmar {

// Creates the type pelmar.Crystal, an immutable record of one structure, and
// adds it to `module`. Returns -1 with an exception set on failure.
int add_crystal_type(PyObject *module);

// A new pelmar.Crystal owning `record`, whose arrays must both hold natom
// entries with finite coordinates and natom must not be negative.
PyObject *wrap_crystal(morvak::crystal::Crystal &&record);

// The record held by `object`, or nullptr when it is no pelmar.Crystal.
const morvak::crystal::Crystal *record_of(PyObject *object);

} // namespace pelmar
