#include "pelmar/periodicity.hpp"

#include "pelmar/owned.hpp"

#include <cstring>

namespace pelmar {

namespace {

enum class Flag { no, yes, not_a_flag, failed };

bool is_text(PyObject *object) {
  return PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object);
}

// numpy.bool_ and other zero-dimensional buffers of format '?'.
Flag buffer_flag(PyObject *object) {
  if (!PyObject_CheckBuffer(object) || is_text(object))
    return Flag::not_a_flag;
  Py_buffer view;
  if (PyObject_GetBuffer(object, &view, PyBUF_FORMAT | PyBUF_ND) != 0) {
    PyErr_Clear();
    return Flag::not_a_flag;
  }
  Flag flag = Flag::not_a_flag;
  if (view.ndim == 0 && view.format != nullptr && std::strcmp(view.format, "?") == 0 &&
      view.len == 1)
    flag = *static_cast<const unsigned char *>(view.buf) != 0 ? Flag::yes : Flag::no;
  PyBuffer_Release(&view);
  return flag;
}

// One flag; `where` names it in messages ("pbc" or "pbc[1]").
Flag read_flag(PyObject *object, const char *where) {
  if (PyBool_Check(object))
    return object == Py_True ? Flag::yes : Flag::no;
  const Flag from_buffer = buffer_flag(object);
  if (from_buffer != Flag::not_a_flag)
    return from_buffer;
  if (!PyIndex_Check(object))
    return Flag::not_a_flag;
  const Owned number(PyNumber_Index(object));
  if (number.get() == nullptr) {
    // Arrays have the slot but refuse unless they hold one integer.
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
      return Flag::failed;
    PyErr_Clear();
    return Flag::not_a_flag;
  }
  int overflow = 0;
  const long value = PyLong_AsLongAndOverflow(number.get(), &overflow);
  if (value == -1 && PyErr_Occurred())
    return Flag::failed;
  if (overflow != 0 || (value != 0 && value != 1)) {
    PyErr_Format(PyExc_ValueError, "%s: expected a bool, got %R", where, number.get());
    return Flag::failed;
  }
  return value == 1 ? Flag::yes : Flag::no;
}

} // namespace

bool read_periodicity(PyObject *object, Periodicity &pbc) {
  const Flag all = read_flag(object, "pbc");
  if (all == Flag::failed)
    return false;
  if (all != Flag::not_a_flag) {
    pbc.fill(all == Flag::yes);
    return true;
  }
  if (!PySequence_Check(object) || is_text(object)) {
    PyErr_Format(PyExc_TypeError, "pbc: expected a bool or a sequence of three bools, got %.200s",
                 Py_TYPE(object)->tp_name);
    return false;
  }
  // A tuple of its own, so that nothing the items run can change what is read.
  const Owned items(PySequence_Tuple(object));
  if (items.get() == nullptr)
    return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  if (count != 3) {
    PyErr_Format(PyExc_ValueError, "pbc: expected a bool or a sequence of three bools, got %zd %s",
                 count, count == 1 ? "item" : "items");
    return false;
  }
  for (Py_ssize_t axis = 0; axis < 3; ++axis) {
    PyObject *item = PyTuple_GET_ITEM(items.get(), axis);
    char where[16];
    PyOS_snprintf(where, sizeof where, "pbc[%zd]", axis);
    const Flag flag = read_flag(item, where);
    if (flag == Flag::failed)
      return false;
    if (flag == Flag::not_a_flag) {
      PyErr_Format(PyExc_TypeError, "%s: expected a bool, got %.200s", where,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    pbc[static_cast<std::size_t>(axis)] = flag == Flag::yes;
  }
  return true;
}

PyObject *periodicity_tuple(const Periodicity &pbc) {
  return PyTuple_Pack(3, pbc[0] ? Py_True : Py_False, pbc[1] ? Py_True : Py_False,
                      pbc[2] ? Py_True : Py_False);
}

} // namespace pelmar
