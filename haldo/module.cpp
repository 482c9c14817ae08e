#include "haldo/bindings.hpp"
#include "haldo/class_guard.hpp"
#include "haldo/fast_access.hpp"
#include "haldo/shared_blas.hpp"
#include "haldo/version_check.hpp"

#include <complex>
#include <exception>
#include <system_error>

namespace py = pybind11;

namespace {

// The registration order is part of the module's interface: each Operator
// class comes before the Hamiltonian class that derives from it.
void register_classes(py::module_ &m) {
  haldo::bind_operator<double>(m);
  haldo::bind_operator<std::complex<double>>(m);
  haldo::bind_basis<double>(m);
  haldo::bind_basis<std::complex<double>>(m);
  haldo::bind_hamiltonian<double>(m);
  haldo::bind_hamiltonian<std::complex<double>>(m);
}

// pybind11 2.13.6 adds an interoperability hook to every class it registers.
// The classes expose exactly their own method tables, so the hook is removed.
void remove_binding_hooks(py::module_ &m) {
  for (const char *name : {"OperatorReal", "OperatorComplex", "BasisReal", "BasisComplex",
                           "HamiltonianReal", "HamiltonianComplex"}) {
    py::object cls = m.attr(name);
    if (PyDict_GetItemString(reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict,
                             "_pybind11_conduit_v1_") != nullptr)
      py::delattr(cls, "_pybind11_conduit_v1_");
  }
}

// A failed write to standard output (print, print_eigen) becomes OSError with
// its errno, which Python maps to the matching subclass (BrokenPipeError, ...).
void translate_system_error(std::exception_ptr p) {
  try {
    std::rethrow_exception(p);
  } catch (const std::system_error &e) {
    PyErr_SetObject(PyExc_OSError, py::make_tuple(e.code().value(), e.what()).ptr());
  }
}

PyModuleDef module_def{};

} // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_haldo() {
  const char *runtime = Py_GetVersion();
  if (!haldo::version_matches(runtime, HALDO_PYTHON_VERSION)) {
    PyErr_Format(PyExc_ImportError,
                 "Python version mismatch: module was compiled for Python %s, but the interpreter "
                 "version is incompatible: %s.",
                 HALDO_PYTHON_VERSION, runtime);
    return nullptr;
  }
  // pybind11 keeps its state for the main interpreter only: its first import in
  // a sub-interpreter would deadlock on the main interpreter's thread state.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "haldo cannot be imported in a sub-interpreter: its binding library "
                    "(pybind11 2.x) supports the main interpreter only");
    return nullptr;
  }
  py::detail::get_internals();
  try {
    auto m = py::module_::create_extension_module("haldo", nullptr, &module_def);
    haldo::share_blas_with_numpy();
    register_classes(m);
    haldo::install_fast_access();
    haldo::guard_class_assignment(m);
    remove_binding_hooks(m);
    py::register_local_exception_translator(translate_system_error);
    return m.release().ptr();
  } catch (py::error_already_set &e) {
    py::raise_from(e, PyExc_ImportError, "initialization failed");
    return nullptr;
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
}
