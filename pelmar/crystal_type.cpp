// pelmar.Crystal: an immutable record of one structure. The cell and the
// positions are exported read-only through the buffer protocol, so that
// numpy.asarray(crystal.positions) views the record's own storage.
#include "pelmar/crystal_type.hpp"

#include "crystal/element.hpp"
#include "pelmar/formula.hpp"
#include "pelmar/owned.hpp"
#include "pelmar/periodicity.hpp"
#include "pelmar/real_rows.hpp"

#include <array>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

namespace pelmar {

namespace {

using morvak::crystal::Crystal;
using morvak::crystal::Symbol;
using morvak::crystal::Vec3;

static_assert(sizeof(Vec3) == 3 * sizeof(double), "a row of coordinates must be three doubles");
static_assert(sizeof(Crystal::cell) == 9 * sizeof(double), "the cell must be nine doubles");

struct CrystalObject {
  PyObject_HEAD Crystal record;
  Periodicity pbc;
  PyObject *symbols; // the tuple of symbols, made on first use
  Py_hash_t hash;    // -1 until first computed
};

// The exporter behind the memoryviews of `cell` and `positions`. It keeps its
// record alive for as long as any view of the data exists.
struct ArrayObject {
  PyObject_HEAD PyObject *owner;
  const double *data;
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
};

PyTypeObject *crystal_type = nullptr;
PyTypeObject *array_type = nullptr;

// Where a view of zero atoms points: buffers need an address even when empty.
const double no_data = 0.0;

CrystalObject *as_crystal(PyObject *object) { return reinterpret_cast<CrystalObject *>(object); }

const morvak::crystal::Element_map &element_table() {
  static const morvak::crystal::Element_map table = [] {
    morvak::crystal::Element_map map;
    map.initialize();
    return map;
  }();
  return table;
}

// The table's symbol when `text` is written exactly as the table writes it,
// without padding: "Si", "H".
std::optional<Symbol> element_symbol(std::string_view text) {
  if (text.empty() || text.size() > Symbol::size() || text.find(' ') != std::string_view::npos)
    return std::nullopt;
  const auto &table = element_table();
  const std::int32_t number = table.get_element_number(text);
  if (number == 0)
    return std::nullopt;
  return table.get_element_symbol(number);
}

// --- construction -------------------------------------------------------------

void set_unknown_symbol(Py_ssize_t index, PyObject *item, std::string_view text) {
  std::string capitalised(text);
  for (std::size_t k = 0; k < capitalised.size(); ++k) {
    const auto c = static_cast<unsigned char>(capitalised[k]);
    capitalised[k] = static_cast<char>(k == 0 ? std::toupper(c) : std::tolower(c));
  }
  if (capitalised != text && element_symbol(capitalised))
    PyErr_Format(PyExc_ValueError, "symbols[%zd]: unknown element symbol %R (did you mean '%s'?)",
                 index, item, capitalised.c_str());
  else
    PyErr_Format(PyExc_ValueError, "symbols[%zd]: unknown element symbol %R", index, item);
}

bool read_symbols(PyObject *object, std::vector<Symbol> &symbols) {
  if (!PySequence_Check(object) || PyUnicode_Check(object) || PyBytes_Check(object)) {
    PyErr_Format(PyExc_TypeError, "symbols: expected a sequence of str, one per atom, got %.200s",
                 Py_TYPE(object)->tp_name);
    return false;
  }
  // A tuple of its own: the repr of an item in a message may run code that
  // changes the caller's sequence.
  const Owned items(PySequence_Tuple(object));
  if (items.get() == nullptr)
    return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  if (count > INT32_MAX) {
    PyErr_Format(PyExc_ValueError, "symbols: at most %d atoms, got %zd", INT32_MAX, count);
    return false;
  }
  symbols.reserve(static_cast<std::size_t>(count));
  // Structures repeat a few elements, often as the same str object: a small
  // cache keyed by the object (alive in `items` throughout) skips the table.
  struct Cached {
    PyObject *item = nullptr;
    Symbol symbol;
  };
  std::array<Cached, 16> cache{};
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject *item = PyTuple_GET_ITEM(items.get(), i);
    Cached &slot = cache[(reinterpret_cast<std::uintptr_t>(item) >> 4) % cache.size()];
    if (slot.item == item) {
      symbols.push_back(slot.symbol);
      continue;
    }
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "symbols[%zd]: expected str, got %.200s", i,
                   Py_TYPE(item)->tp_name);
      return false;
    }
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(item, &size);
    if (text == nullptr)
      return false;
    const std::string_view name(text, static_cast<std::size_t>(size));
    const auto symbol = element_symbol(name);
    if (!symbol) {
      set_unknown_symbol(i, item, name);
      return false;
    }
    symbols.push_back(*symbol);
    slot = {item, *symbol};
  }
  return true;
}

PyObject *make_crystal(PyTypeObject *type, Crystal &&record, const Periodicity &pbc) {
  PyObject *self = type->tp_alloc(type, 0);
  if (self == nullptr)
    return nullptr;
  CrystalObject *crystal = as_crystal(self);
  std::construct_at(&crystal->record, std::move(record));
  crystal->pbc = pbc;
  crystal->symbols = nullptr;
  crystal->hash = -1;
  return self;
}

PyObject *crystal_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
  static const char *keywords[] = {"cell", "symbols", "positions", "pbc", nullptr};
  PyObject *cell = nullptr;
  PyObject *symbols = nullptr;
  PyObject *positions = nullptr;
  PyObject *periodic = Py_True;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|$O:Crystal", const_cast<char **>(keywords),
                                   &cell, &symbols, &positions, &periodic))
    return nullptr;
  try {
    Periodicity pbc{};
    if (!read_periodicity(periodic, pbc))
      return nullptr;
    std::vector<Symbol> names;
    if (!read_symbols(symbols, names))
      return nullptr;
    const auto natom = static_cast<Py_ssize_t>(names.size());
    std::vector<double> cell_values;
    if (!read_real_rows(cell, {"cell", 3, "(3, 3)"}, cell_values))
      return nullptr;
    std::vector<double> xyz_values;
    const std::string shape = "(natom, 3) with natom = " + std::to_string(natom) + " from symbols";
    if (!read_real_rows(positions, {"positions", natom, shape}, xyz_values))
      return nullptr;

    Crystal record;
    std::memcpy(record.cell.data(), cell_values.data(), sizeof record.cell);
    record.natom = static_cast<std::int32_t>(natom);
    record.xyz.emplace(names.size());
    if (natom > 0)
      std::memcpy(record.xyz->data(), xyz_values.data(), xyz_values.size() * sizeof(double));
    record.name = std::move(names);
    return make_crystal(type, std::move(record), pbc);
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
}

void crystal_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  CrystalObject *crystal = as_crystal(self);
  Py_CLEAR(crystal->symbols);
  std::destroy_at(&crystal->record);
  type->tp_free(self);
  Py_DECREF(type);
}

// --- attributes ---------------------------------------------------------------

PyObject *make_view(PyObject *owner, const double *data, Py_ssize_t rows) {
  ArrayObject *array = PyObject_New(ArrayObject, array_type);
  if (array == nullptr)
    return nullptr;
  array->owner = Py_NewRef(owner);
  array->data = rows > 0 ? data : &no_data;
  array->shape[0] = rows;
  array->shape[1] = 3;
  array->strides[0] = 3 * sizeof(double);
  array->strides[1] = sizeof(double);
  PyObject *view = PyMemoryView_FromObject(reinterpret_cast<PyObject *>(array));
  Py_DECREF(array);
  return view;
}

PyObject *get_natom(PyObject *self, void *) {
  return PyLong_FromLong(as_crystal(self)->record.natom);
}

PyObject *get_cell(PyObject *self, void *) {
  return make_view(self, as_crystal(self)->record.cell[0].data(), 3);
}

PyObject *get_positions(PyObject *self, void *) {
  const Crystal &record = as_crystal(self)->record;
  return make_view(self, record.natom > 0 ? (*record.xyz)[0].data() : nullptr, record.natom);
}

PyObject *get_pbc(PyObject *self, void *) { return periodicity_tuple(as_crystal(self)->pbc); }

PyObject *make_symbols(const Crystal &record) {
  PyObject *tuple = PyTuple_New(record.natom);
  if (tuple == nullptr)
    return nullptr;
  PyObject *previous = nullptr; // structures mostly repeat a few elements
  for (std::int32_t i = 0; i < record.natom; ++i) {
    const Symbol &symbol = (*record.name)[i];
    PyObject *text = nullptr;
    if (i > 0 && symbol == (*record.name)[i - 1]) {
      text = Py_NewRef(previous);
    } else {
      const std::string_view trimmed = symbol.trimmed();
      text = PyUnicode_FromStringAndSize(trimmed.data(), static_cast<Py_ssize_t>(trimmed.size()));
      if (text == nullptr) {
        Py_DECREF(tuple);
        return nullptr;
      }
    }
    PyTuple_SET_ITEM(tuple, i, text);
    previous = text;
  }
  return tuple;
}

PyObject *get_symbols(PyObject *self, void *) {
  CrystalObject *crystal = as_crystal(self);
  if (crystal->symbols == nullptr)
    crystal->symbols = make_symbols(crystal->record);
  return Py_XNewRef(crystal->symbols);
}

// --- protocols ------------------------------------------------------------------

Py_ssize_t crystal_length(PyObject *self) { return as_crystal(self)->record.natom; }

// "<pelmar.Crystal Si8, 8 atoms>"; a structure that is not periodic along
// every axis adds ", pbc=(True, True, False)".
PyObject *crystal_repr(PyObject *self) {
  const CrystalObject *crystal = as_crystal(self);
  const Crystal &record = crystal->record;
  const Periodicity &pbc = crystal->pbc;
  try {
    std::string text = "<pelmar.Crystal ";
    if (record.natom > 0)
      text += hill_formula(*record.name) + ", ";
    text += std::to_string(record.natom) + (record.natom == 1 ? " atom" : " atoms");
    if (!(pbc[0] && pbc[1] && pbc[2]))
      for (std::size_t axis = 0; axis < 3; ++axis)
        text += std::string(axis == 0 ? ", pbc=(" : ", ") + (pbc[axis] ? "True" : "False");
    text += pbc[0] && pbc[1] && pbc[2] ? ">" : ")>";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  } catch (const std::bad_alloc &) {
    return PyErr_NoMemory();
  }
}

bool same_record(const Crystal &a, const Crystal &b) {
  if (a.natom != b.natom || *a.name != *b.name)
    return false;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      if (a.cell[i][j] != b.cell[i][j])
        return false;
  for (std::int32_t atom = 0; atom < a.natom; ++atom)
    for (int j = 0; j < 3; ++j)
      if ((*a.xyz)[atom][j] != (*b.xyz)[atom][j])
        return false;
  return true;
}

PyObject *crystal_richcompare(PyObject *self, PyObject *other, int op) {
  if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(other, crystal_type))
    Py_RETURN_NOTIMPLEMENTED;
  const bool equal = as_crystal(self)->pbc == as_crystal(other)->pbc &&
                     same_record(as_crystal(self)->record, as_crystal(other)->record);
  return PyBool_FromLong(equal == (op == Py_EQ));
}

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
  value *= 0x9e3779b97f4a7c15u;
  value ^= value >> 32;
  return (hash ^ value) * 0x100000001b3u;
}

std::uint64_t mix(std::uint64_t hash, double value) {
  // Equal values hash alike: -0.0 counts as 0.0, as in comparison.
  const double normalised = value + 0.0;
  std::uint64_t bits = 0;
  std::memcpy(&bits, &normalised, sizeof bits);
  return mix(hash, bits);
}

Py_hash_t crystal_hash(PyObject *self) {
  CrystalObject *crystal = as_crystal(self);
  if (crystal->hash != -1)
    return crystal->hash;
  const Crystal &record = crystal->record;
  const Periodicity &pbc = crystal->pbc;
  std::uint64_t hash = mix(0xcbf29ce484222325u, static_cast<std::uint64_t>(record.natom));
  hash = mix(hash, std::uint64_t{pbc[0]} | std::uint64_t{pbc[1]} << 1 | std::uint64_t{pbc[2]} << 2);
  for (const Vec3 &vector : record.cell)
    for (const double component : vector)
      hash = mix(hash, component);
  for (std::int32_t atom = 0; atom < record.natom; ++atom) {
    const Symbol &symbol = (*record.name)[atom];
    hash = mix(hash, static_cast<std::uint64_t>(static_cast<unsigned char>(symbol[0])) << 8 |
                         static_cast<unsigned char>(symbol[1]));
    for (const double coordinate : (*record.xyz)[atom])
      hash = mix(hash, coordinate);
  }
  auto result = static_cast<Py_hash_t>(hash);
  if (result == -1)
    result = -2;
  crystal->hash = result;
  return result;
}

PyObject *nested_list(const double *data, Py_ssize_t rows) {
  PyObject *list = PyList_New(rows);
  if (list == nullptr)
    return nullptr;
  for (Py_ssize_t i = 0; i < rows; ++i) {
    PyObject *row = Py_BuildValue("[ddd]", data[3 * i], data[3 * i + 1], data[3 * i + 2]);
    if (row == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i, row);
  }
  return list;
}

// Pickles as copyreg.__newobj_ex__(Crystal, (cell, symbols, positions),
// {"pbc": pbc}), which every pickle protocol and the copy module understand.
PyObject *crystal_reduce(PyObject *self, PyObject *) {
  const Crystal &record = as_crystal(self)->record;
  const Owned copyreg(PyImport_ImportModule("copyreg"));
  if (copyreg.get() == nullptr)
    return nullptr;
  const Owned newobj(PyObject_GetAttrString(copyreg.get(), "__newobj_ex__"));
  const Owned cell(nested_list(record.cell[0].data(), 3));
  const Owned symbols(get_symbols(self, nullptr));
  const Owned positions(record.natom > 0 ? nested_list((*record.xyz)[0].data(), record.natom)
                                         : PyList_New(0));
  const Owned pbc(get_pbc(self, nullptr));
  if (newobj.get() == nullptr || cell.get() == nullptr || symbols.get() == nullptr ||
      positions.get() == nullptr || pbc.get() == nullptr)
    return nullptr;
  return Py_BuildValue("O(O(OOO){sO})", newobj.get(), Py_TYPE(self), cell.get(), symbols.get(),
                       positions.get(), "pbc", pbc.get());
}

// --- the exporter of the views -------------------------------------------------

int array_getbuffer(PyObject *self, Py_buffer *view, int flags) {
  const auto *array = reinterpret_cast<ArrayObject *>(self);
  view->obj = nullptr;
  if ((flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "pelmar.Crystal data is read-only");
    return -1;
  }
  // The rows are C-contiguous; a Fortran-ordered request fits only one row.
  if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && array->shape[0] > 1) {
    PyErr_SetString(PyExc_BufferError, "pelmar.Crystal data is C-contiguous, not Fortran");
    return -1;
  }
  const bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
  view->buf = const_cast<double *>(array->data);
  view->obj = Py_NewRef(self);
  view->len = array->shape[0] * array->shape[1] * static_cast<Py_ssize_t>(sizeof(double));
  view->readonly = 1;
  view->itemsize = shaped ? static_cast<Py_ssize_t>(sizeof(double)) : 1;
  view->format = nullptr;
  if ((flags & PyBUF_FORMAT) == PyBUF_FORMAT)
    view->format = const_cast<char *>(shaped ? "d" : "B");
  view->ndim = shaped ? 2 : 1;
  view->shape = shaped ? const_cast<Py_ssize_t *>(array->shape) : nullptr;
  view->strides =
      (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? const_cast<Py_ssize_t *>(array->strides) : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void array_dealloc(PyObject *self) {
  PyTypeObject *type = Py_TYPE(self);
  Py_DECREF(reinterpret_cast<ArrayObject *>(self)->owner);
  type->tp_free(self);
  Py_DECREF(type);
}

// --- type definitions -----------------------------------------------------------

PyGetSetDef crystal_getset[] = {
    {"natom", get_natom, nullptr, "Number of atoms.", nullptr},
    {"cell", get_cell, nullptr,
     "Read-only memoryview of float64, shape (3, 3): row i is cell vector i.", nullptr},
    {"positions", get_positions, nullptr,
     "Read-only memoryview of float64, shape (natom, 3): Cartesian coordinates of the atoms.",
     nullptr},
    {"symbols", get_symbols, nullptr, "Element symbol of each atom, a tuple of str.", nullptr},
    {"pbc", get_pbc, nullptr,
     "Periodicity along each cell vector, a tuple of three bools (all True by default).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef crystal_methods[] = {
    {"__reduce__", crystal_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char crystal_doc[] =
    "Crystal(cell, symbols, positions, *, pbc=(True, True, True))\n--\n\n"
    "An immutable record of one periodic structure.\n"
    "\n"
    "cell: 3 x 3 real numbers, row i being cell vector i. symbols: one element\n"
    "symbol per atom, written as the element table writes it ('Si', 'H').\n"
    "positions: natom x 3 Cartesian coordinates. The arrays may be nested\n"
    "sequences or any object with the buffer protocol, such as numpy arrays;\n"
    "all numbers must be finite. pbc: whether the structure is periodic along\n"
    "each cell vector, one bool for all three or three bools. Records compare\n"
    "equal when their cells, symbols, positions and pbc are equal value for\n"
    "value (-0.0 equals 0.0).";

PyType_Slot crystal_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(crystal_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(crystal_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(crystal_repr)},
    {Py_tp_richcompare, reinterpret_cast<void *>(crystal_richcompare)},
    {Py_tp_hash, reinterpret_cast<void *>(crystal_hash)},
    {Py_sq_length, reinterpret_cast<void *>(crystal_length)},
    {Py_tp_getset, crystal_getset},
    {Py_tp_methods, crystal_methods},
    {Py_tp_doc, const_cast<char *>(crystal_doc)},
    {0, nullptr},
};

PyType_Spec crystal_spec = {
    "pelmar.Crystal", sizeof(CrystalObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    crystal_slots,
};

PyType_Slot array_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(array_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void *>(array_getbuffer)},
    {0, nullptr},
};

PyType_Spec array_spec = {
    "pelmar._CrystalArray",
    sizeof(ArrayObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    array_slots,
};

} // namespace

int add_crystal_type(PyObject *module) {
  array_type =
      reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(module, &array_spec, nullptr));
  if (array_type == nullptr)
    return -1;
  crystal_type =
      reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(module, &crystal_spec, nullptr));
  if (crystal_type == nullptr)
    return -1;
  return PyModule_AddObjectRef(module, "Crystal", reinterpret_cast<PyObject *>(crystal_type));
}

PyObject *wrap_crystal(Crystal &&record) {
  // The XYZ layout stores no periodicity: its structures are periodic along every axis.
  return make_crystal(crystal_type, std::move(record), Periodicity{true, true, true});
}

const Crystal *record_of(PyObject *object) {
  if (crystal_type == nullptr || !PyObject_TypeCheck(object, crystal_type))
    return nullptr;
  return &as_crystal(object)->record;
}

} // namespace pelmar
