#include "haldo/bindings.hpp"
#include "haldo/fast_access.hpp"
#include "haldo/version_check.hpp"

#include <complex>
#include <exception>

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
  py::detail::get_internals();
  try {
    auto m = py::module_::create_extension_module("haldo", nullptr, &module_def);
    register_classes(m);
    haldo::install_fast_access();
    remove_binding_hooks(m);
    return m.release().ptr();
  } catch (py::error_already_set &e) {
    py::raise_from(e, PyExc_ImportError, "initialization failed");
    return nullptr;
  } catch (const std::exception &e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
}
