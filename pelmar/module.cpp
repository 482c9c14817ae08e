// The pelmar extension module: read_xyz on top of the reader of the C entry c_read_xyz, and
// the Crystal record with load_xyz and write_xyz.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "c_binding/pelmar_c_binding.h"
#include "c_binding/read_status.hpp"
#include "pelmar/crystal_type.hpp"
#include "pelmar/release_check.hpp"
#include "pelmar/xyz_functions.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#define PELMAR_STRINGIFY_(x) #x
#define PELMAR_STRINGIFY(x) PELMAR_STRINGIFY_(x)

namespace {

// The release of the headers this module is compiled against, e.g. "3.11".
constexpr const char built_for[] =
    PELMAR_STRINGIFY(PY_MAJOR_VERSION) "." PELMAR_STRINGIFY(PY_MINOR_VERSION);

constexpr const char module_doc[] =
    "Reader for crystal-structure files in the XYZ layout.\n"
    "\n"
    "Reference: how native extensions receive and convert Python strings is explained\n"
    "in \"Parsing arguments and building values\", "
    "https://docs.python.org/3/c-api/arg.html\n";

// The module made by the first import. The module keeps process-wide state in
// this pointer and in its types, which is why only one interpreter per process
// may load it: the main one, so that a sub-interpreter that tried first never
// takes the module away from it.
PyObject *the_module = nullptr;

// Raises the exception that matches a failed c_read_xyz status.
void raise_read_failure(int status, PyObject *path) {
  const char *message = c_read_xyz_error();
  if (status == ENOMEM) {
    PyErr_SetString(PyExc_MemoryError, message);
  } else if (status > 0) {
    errno = status;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  } else {
    PyErr_SetString(PyExc_ValueError, message);
  }
}

PyObject *read_xyz(PyObject * /*module*/, PyObject *xyz_file_in) {
  // A subclass of str (numpy.str_) is a str.
  if (!PyUnicode_Check(xyz_file_in)) {
    if (xyz_file_in == Py_None)
      PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "encode");
    else
      PyErr_Format(PyExc_TypeError,
                   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   "xyz_file_in", PyUnicode_Type.tp_name, Py_TYPE(xyz_file_in)->tp_name);
    return nullptr;
  }
  PyObject *encoded = PyUnicode_AsUTF8String(xyz_file_in);
  if (encoded == nullptr)
    return nullptr;
  const char *path = PyBytes_AS_STRING(encoded);
  // The C entry stops at the first NUL, which would name a different file.
  if (std::strlen(path) != static_cast<std::size_t>(PyBytes_GET_SIZE(encoded))) {
    Py_DECREF(encoded);
    PyErr_SetString(PyExc_ValueError, "embedded null character in path");
    return nullptr;
  }
  // Waiting for input (a FIFO, a terminal) gives signal handlers a chance to
  // run, so that Ctrl-C stops the read with KeyboardInterrupt.
  const int status =
      morvak::c_binding::read_xyz_status(path, [] { return PyErr_CheckSignals() != 0; });
  Py_DECREF(encoded);
  if (PyErr_Occurred())
    return nullptr;
  if (status != 0) {
    raise_read_failure(status, xyz_file_in);
    return nullptr;
  }
  Py_RETURN_NONE;
}

// The text signature names the parameter; with nothing after it, __doc__ stays None.
PyMethodDef module_methods[] = {
    {"read_xyz", read_xyz, METH_O, "read_xyz($module, xyz_file_in, /)\n--\n\n"},
    {"load_xyz", pelmar::load_xyz, METH_O,
     "load_xyz($module, path, /)\n--\n\n"
     "Read the XYZ file at path (str, bytes or os.PathLike) into a new Crystal."},
    {"write_xyz", pelmar::write_xyz, METH_VARARGS,
     "write_xyz($module, path, crystal, /)\n--\n\n"
     "Write crystal to path in the XYZ record layout, replacing a regular file atomically."},
    {nullptr, nullptr, 0, nullptr},
};

int check_single_interpreter() {
  if (PyInterpreterState_Get() == PyInterpreterState_Main())
    return 0;
  PyErr_SetString(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one "
                  "interpreter per process. pelmar loads only into the main interpreter, not "
                  "into a sub-interpreter.");
  return -1;
}

// Copies spec.<from> into the module namespace as <to>; a missing attribute is
// skipped, and so is None unless `keep_none`.
int copy_spec_attribute(PyObject *spec, PyObject *dict, const char *from, const char *to,
                        bool keep_none) {
  PyObject *value = PyObject_GetAttrString(spec, from);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
      return -1;
    PyErr_Clear();
    return 0;
  }
  int result = 0;
  if (value != Py_None || keep_none)
    result = PyDict_SetItemString(dict, to, value);
  Py_DECREF(value);
  return result;
}

PyObject *create_module(PyObject *spec, PyModuleDef * /*def*/) {
  if (check_single_interpreter() < 0)
    return nullptr;
  if (the_module != nullptr)
    return Py_NewRef(the_module);
  PyObject *name = PyObject_GetAttrString(spec, "name");
  if (name == nullptr)
    return nullptr;
  PyObject *module = PyModule_NewObject(name);
  Py_DECREF(name);
  if (module == nullptr)
    return nullptr;
  PyObject *dict = PyModule_GetDict(module);
  if (copy_spec_attribute(spec, dict, "loader", "__loader__", true) < 0 ||
      copy_spec_attribute(spec, dict, "origin", "__file__", true) < 0 ||
      copy_spec_attribute(spec, dict, "parent", "__package__", true) < 0 ||
      copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", false) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}

int warn_on_release_mismatch() {
  const char *runtime = Py_GetVersion();
  if (pelmar::same_release(runtime, built_for))
    return 0;
  // The warning's formatter has no precision for %s taken from an argument.
  const std::string_view release = pelmar::release_of(runtime);
  char runtime_release[16];
  std::snprintf(runtime_release, sizeof runtime_release, "%.*s", static_cast<int>(release.size()),
                release.data());
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compiletime version %s of module '%.100s' does not match runtime "
                          "version %s",
                          built_for, "pelmar", runtime_release);
}

int add_attributes(PyObject *module) {
  // Set here rather than through the definition, which would replace the
  // docstring each time a later import hands back the existing module.
  if (PyModule_SetDocString(module, module_doc) < 0)
    return -1;
  PyObject *builtins = PyImport_ImportModule("builtins");
  if (builtins == nullptr)
    return -1;
  int result = PyModule_AddObjectRef(module, "__builtins__", builtins);
  Py_DECREF(builtins);
  if (result < 0)
    return -1;

  PyObject *name = PyModule_GetNameObject(module);
  if (name == nullptr)
    return -1;
  PyObject *entry = PyDict_SetDefault(PyImport_GetModuleDict(), name, module);
  Py_DECREF(name);
  if (entry == nullptr)
    return -1;

  if (PyModule_AddFunctions(module, module_methods) < 0 || pelmar::add_crystal_type(module) < 0)
    return -1;
  PyObject *test = PyDict_New();
  if (test == nullptr)
    return -1;
  result = PyModule_AddObjectRef(module, "__test__", test);
  Py_DECREF(test);
  return result;
}

int exec_module(PyObject *module) {
  if (the_module != nullptr) {
    if (the_module == module)
      return 0;
    PyErr_SetString(
        PyExc_RuntimeError,
        "Module 'pelmar' has already been imported. Re-initialisation is not supported.");
    return -1;
  }
  if (warn_on_release_mismatch() < 0 || add_attributes(module) < 0)
    return -1;
  the_module = Py_NewRef(module);
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(create_module)},
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "pelmar", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_pelmar() { return PyModuleDef_Init(&module_def); }
