#include "pelmar/real_rows.hpp"

#include "pelmar/owned.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>

namespace pelmar {

namespace {

constexpr Py_ssize_t columns = 3;
constexpr bool native_little = std::endian::native == std::endian::little;

std::string shape_text(const std::vector<Py_ssize_t> &shape) {
  std::string text = "(";
  for (std::size_t k = 0; k < shape.size(); ++k) {
    if (k > 0)
      text += ", ";
    text += std::to_string(shape[k]);
  }
  return text + (shape.size() == 1 ? ",)" : ")");
}

void set_shape_error(const RowsArgument &argument, const std::string &got) {
  PyErr_Format(PyExc_ValueError, "%s: expected shape %s, got %s", argument.name,
               argument.shape.c_str(), got.c_str());
}

bool shape_matches(const RowsArgument &argument, const std::vector<Py_ssize_t> &shape) {
  if (shape.size() == 1)
    return argument.rows == 0 && shape[0] == 0;
  return shape.size() == 2 && shape[0] == argument.rows && shape[1] == columns;
}

bool store(double value, const RowsArgument &argument, Py_ssize_t row, Py_ssize_t column,
           std::vector<double> &values) {
  if (!std::isfinite(value)) {
    PyErr_Format(PyExc_ValueError, "%s[%zd][%zd]: expected a finite real number, got %s",
                 argument.name, row, column,
                 std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf"));
    return false;
  }
  values.push_back(value);
  return true;
}

// --- objects with the buffer protocol ---------------------------------------

// One item format of the struct module's syntax: a type code with an optional
// byte-order prefix. Formats of several items ("Zd", "2d", "T{...}") have none.
struct ItemFormat {
  char code;
  bool little;
};

std::optional<ItemFormat> parse_format(const char *format, Py_ssize_t itemsize) {
  if (format == nullptr)
    format = "B";
  bool little = native_little;
  bool native = true;
  switch (*format) {
  case '@':
  case '=':
    ++format;
    break;
  case '<':
    little = true;
    native = little == native_little;
    ++format;
    break;
  case '>':
  case '!':
    little = false;
    native = little == native_little;
    ++format;
    break;
  default:
    break;
  }
  if (format[0] == '\0' || format[1] != '\0')
    return std::nullopt;
  const char code = format[0];
  bool fits = false;
  switch (code) {
  case 'd':
    fits = itemsize == 8;
    break;
  case 'f':
    fits = itemsize == 4;
    break;
  case 'e':
    fits = itemsize == 2;
    break;
  case 'g':
    fits = native && itemsize == static_cast<Py_ssize_t>(sizeof(long double));
    break;
  case '?':
    fits = itemsize == 1;
    break;
  case 'b':
  case 'B':
  case 'h':
  case 'H':
  case 'i':
  case 'I':
  case 'l':
  case 'L':
  case 'q':
  case 'Q':
  case 'n':
  case 'N':
    fits = itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
    break;
  default:
    break;
  }
  if (!fits)
    return std::nullopt;
  return ItemFormat{code, little};
}

double read_integer(const unsigned char *p, Py_ssize_t itemsize, bool little, bool is_signed) {
  std::uint64_t bits = 0;
  for (Py_ssize_t k = 0; k < itemsize; ++k)
    bits = bits << 8 | p[little ? itemsize - 1 - k : k];
  const int width = static_cast<int>(itemsize) * 8;
  if (is_signed && width < 64 && (bits >> (width - 1)) != 0)
    bits |= ~std::uint64_t{0} << width;
  return is_signed ? static_cast<double>(static_cast<std::int64_t>(bits))
                   : static_cast<double>(bits);
}

double read_item(const char *p, const ItemFormat &format, Py_ssize_t itemsize) {
  const int le = format.little ? 1 : 0;
  switch (format.code) {
  case 'd':
    return PyFloat_Unpack8(p, le);
  case 'f':
    return PyFloat_Unpack4(p, le);
  case 'e':
    return PyFloat_Unpack2(p, le);
  case 'g': {
    long double value = 0;
    std::memcpy(&value, p, sizeof value);
    return static_cast<double>(value);
  }
  case '?':
    return *p != 0 ? 1.0 : 0.0;
  default: {
    const bool is_signed = format.code == 'b' || format.code == 'h' || format.code == 'i' ||
                           format.code == 'l' || format.code == 'q' || format.code == 'n';
    return read_integer(reinterpret_cast<const unsigned char *>(p), itemsize, format.little,
                        is_signed);
  }
  }
}

const char *follow(const char *p, const Py_buffer &view, int dimension) {
  if (view.suboffsets != nullptr && view.suboffsets[dimension] >= 0)
    p = *reinterpret_cast<char *const *>(p) + view.suboffsets[dimension];
  return p;
}

// Address of item (row, column) of a two-dimensional buffer; without strides
// the buffer is C-contiguous.
const char *item_at(const Py_buffer &view, Py_ssize_t row, Py_ssize_t column) {
  const Py_ssize_t row_stride = view.strides ? view.strides[0] : view.shape[1] * view.itemsize;
  const Py_ssize_t column_stride = view.strides ? view.strides[1] : view.itemsize;
  const char *p = follow(static_cast<const char *>(view.buf) + row * row_stride, view, 0);
  return follow(p + column * column_stride, view, 1);
}

class BufferHold {
public:
  BufferHold() = default;
  BufferHold(const BufferHold &) = delete;
  BufferHold &operator=(const BufferHold &) = delete;
  ~BufferHold() {
    if (held_)
      PyBuffer_Release(&view_);
  }
  bool acquire(PyObject *object) {
    held_ = PyObject_GetBuffer(object, &view_, PyBUF_FULL_RO) == 0;
    return held_;
  }
  const Py_buffer &view() const { return view_; }

private:
  Py_buffer view_{};
  bool held_ = false;
};

enum class Outcome { done, failed, use_sequence };

Outcome read_buffer(PyObject *object, const RowsArgument &argument, std::vector<double> &values) {
  BufferHold hold;
  if (!hold.acquire(object))
    return Outcome::failed;
  const Py_buffer &view = hold.view();
  // Arrays of Python objects hand over their items through the sequence protocol.
  if (view.format != nullptr && std::strcmp(view.format, "O") == 0 && PySequence_Check(object))
    return Outcome::use_sequence;
  const auto format = parse_format(view.format, view.itemsize);
  if (!format) {
    PyErr_Format(PyExc_TypeError, "%s: expected real numbers, got items of buffer format '%s'",
                 argument.name, view.format);
    return Outcome::failed;
  }
  std::vector<Py_ssize_t> shape;
  if (view.shape == nullptr)
    shape.push_back(view.len / view.itemsize);
  else
    shape.assign(view.shape, view.shape + view.ndim);
  if (!shape_matches(argument, shape)) {
    set_shape_error(argument, shape_text(shape));
    return Outcome::failed;
  }
  if (shape.size() == 1)
    return Outcome::done;
  values.reserve(values.size() + static_cast<std::size_t>(argument.rows * columns));
  for (Py_ssize_t i = 0; i < argument.rows; ++i)
    for (Py_ssize_t j = 0; j < columns; ++j) {
      const double value = read_item(item_at(view, i, j), *format, view.itemsize);
      if (value == -1.0 && PyErr_Occurred())
        return Outcome::failed;
      if (!store(value, argument, i, j, values))
        return Outcome::failed;
    }
  return Outcome::done;
}

// --- nested sequences -------------------------------------------------------

bool is_text(PyObject *object) {
  return PyUnicode_Check(object) || PyBytes_Check(object) || PyByteArray_Check(object);
}

bool is_row(PyObject *object) { return PySequence_Check(object) && !is_text(object); }

// The shape of a sequence of rows as messages show it: "(2, 4)" when all rows
// have one length, "(2,)" when no item is a row.
std::optional<std::string> sequence_shape(PyObject *const *items, Py_ssize_t count,
                                          Py_ssize_t &common_length) {
  common_length = -1;
  Py_ssize_t rows = 0;
  bool ragged = false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!is_row(items[i]))
      continue;
    const Py_ssize_t length = PySequence_Size(items[i]);
    if (length < 0)
      return std::nullopt;
    ragged = ragged || (rows > 0 && length != common_length);
    common_length = length;
    ++rows;
  }
  if (rows == 0)
    return shape_text({count});
  if (rows != count)
    return "a mix of rows and single items";
  if (ragged)
    return "rows of different lengths";
  return shape_text({count, common_length});
}

bool read_number(PyObject *item, const RowsArgument &argument, Py_ssize_t row, Py_ssize_t column,
                 std::vector<double> &values) {
  const double value = PyFloat_AsDouble(item);
  if (value == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s[%zd][%zd]: expected a real number, got %.200s",
                   argument.name, row, column, Py_TYPE(item)->tp_name);
    } else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError,
                   "%s[%zd][%zd]: expected a finite real number, got an int too large for a "
                   "float",
                   argument.name, row, column);
    }
    return false;
  }
  return store(value, argument, row, column, values);
}

bool read_sequence(PyObject *object, const RowsArgument &argument, std::vector<double> &values) {
  if (!is_row(object)) {
    PyErr_Format(PyExc_TypeError,
                 "%s: expected nested sequences of real numbers or an object with the buffer "
                 "protocol, shape %s, got %.200s",
                 argument.name, argument.shape.c_str(), Py_TYPE(object)->tp_name);
    return false;
  }
  // Tuples of our own, outer and per row: the items' __len__, __iter__ or
  // __float__ may run code that changes the caller's sequences, which must
  // neither change what is read nor free what is being read.
  const Owned outer(PySequence_Tuple(object));
  if (outer.get() == nullptr)
    return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(outer.get());
  PyObject *const *rows = &PyTuple_GET_ITEM(outer.get(), 0);
  Py_ssize_t length = -1;
  const auto shape = sequence_shape(rows, count, length);
  if (!shape)
    return false;
  if (!(count == 0 && argument.rows == 0) && *shape != shape_text({argument.rows, columns})) {
    set_shape_error(argument, *shape);
    return false;
  }
  values.reserve(values.size() + static_cast<std::size_t>(count * columns));
  for (Py_ssize_t i = 0; i < count; ++i) {
    const Owned row(PySequence_Tuple(rows[i]));
    if (row.get() == nullptr)
      return false;
    // A row whose length changed since it was measured is still refused.
    if (PyTuple_GET_SIZE(row.get()) != columns) {
      set_shape_error(argument, "rows of different lengths");
      return false;
    }
    for (Py_ssize_t j = 0; j < columns; ++j)
      if (!read_number(PyTuple_GET_ITEM(row.get(), j), argument, i, j, values))
        return false;
  }
  return true;
}

// What __array__ returns for an array type without the buffer protocol (a
// tensor, a data frame), or nullptr, with an exception set only on failure.
PyObject *array_of(PyObject *object) {
  PyObject *method = PyObject_GetAttrString(object, "__array__");
  if (method == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError))
      PyErr_Clear();
    return nullptr;
  }
  PyObject *array = PyObject_CallNoArgs(method);
  Py_DECREF(method);
  return array;
}

} // namespace

bool read_real_rows(PyObject *object, const RowsArgument &argument, std::vector<double> &values) {
  try {
    Owned converted;
    PyObject *exporter = object;
    if (!PyObject_CheckBuffer(object) && !is_text(object)) {
      *converted.out() = array_of(object);
      if (converted.get() == nullptr && PyErr_Occurred())
        return false;
      if (converted.get() != nullptr)
        exporter = converted.get();
    }
    if (PyObject_CheckBuffer(exporter) && !is_text(exporter)) {
      switch (read_buffer(exporter, argument, values)) {
      case Outcome::done:
        return true;
      case Outcome::failed:
        return false;
      case Outcome::use_sequence:
        break;
      }
    }
    return read_sequence(exporter, argument, values);
  } catch (const std::bad_alloc &) {
    PyErr_NoMemory();
    return false;
  }
}

} // namespace pelmar
