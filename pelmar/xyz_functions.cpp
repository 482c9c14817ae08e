// load_xyz and write_xyz: the crystal library's reader and writer for Python.
// The library keeps no shared state, so both run without the interpreter lock.
#include "pelmar/xyz_functions.hpp"

#include "crystal/errors.hpp"
#include "crystal/xyz.hpp"
#include "pelmar/crystal_type.hpp"
#include "pelmar/owned.hpp"

#include <cerrno>
#include <exception>
#include <new>
#include <string>

namespace pelmar {

namespace {

using morvak::crystal::Crystal;

// How a call into the library ended, kept while the interpreter lock is released.
struct Outcome {
  enum class Kind { done, interrupted, file, memory, value };
  Kind kind = Kind::done;
  int error_number = 0;
  std::string message;

  void fail(Kind failed, const char *text) noexcept {
    kind = failed;
    try {
      message = text;
    } catch (...) {
      kind = Kind::memory;
    }
  }
};

// Runs `work` without the interpreter lock. `work` gets a stop request that
// takes the lock back for a moment to run pending signal handlers, so that
// Ctrl-C ends a read that waits for input; the handler's exception (such as
// KeyboardInterrupt) is then set when this returns.
template <class Work> Outcome run_without_lock(Work &&work) {
  Outcome outcome;
  PyThreadState *state = PyEval_SaveThread();
  const morvak::crystal::StopRequest stop = [&state] {
    PyEval_RestoreThread(state);
    const bool stopped = PyErr_CheckSignals() != 0;
    state = PyEval_SaveThread();
    return stopped;
  };
  try {
    work(stop);
  } catch (const morvak::crystal::Interrupted &e) {
    outcome.fail(Outcome::Kind::interrupted, e.what());
  } catch (const morvak::crystal::FileError &e) {
    outcome.fail(Outcome::Kind::file, e.what());
    outcome.error_number = e.error_number() > 0 ? e.error_number() : EIO;
  } catch (const std::bad_alloc &e) {
    outcome.fail(Outcome::Kind::memory, e.what());
  } catch (const std::exception &e) {
    outcome.fail(Outcome::Kind::value, e.what());
  } catch (...) {
    outcome.fail(Outcome::Kind::value, "unknown error in the XYZ library");
  }
  PyEval_RestoreThread(state);
  return outcome;
}

// Messages hold the file name as the file system spells it.
void raise_with_message(PyObject *type, const std::string &message) {
  PyObject *text =
      PyUnicode_DecodeFSDefaultAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
  if (text == nullptr)
    return;
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

// The exceptions of read_xyz: OSError with errno and file name, MemoryError,
// ValueError with the library's message.
void raise_failure(const Outcome &outcome, PyObject *filename) {
  switch (outcome.kind) {
  case Outcome::Kind::file:
    if (outcome.error_number == ENOMEM) {
      raise_with_message(PyExc_MemoryError, outcome.message);
    } else {
      errno = outcome.error_number;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
    }
    break;
  case Outcome::Kind::memory:
    if (outcome.message.empty())
      PyErr_NoMemory();
    else
      raise_with_message(PyExc_MemoryError, outcome.message);
    break;
  case Outcome::Kind::value:
    raise_with_message(PyExc_ValueError, outcome.message);
    break;
  case Outcome::Kind::interrupted: // the signal handler's exception is set
  case Outcome::Kind::done:
    break;
  }
}

// A path argument: `fspath` is os.fspath(path), the file name of OSError;
// `name` its file-system encoding, handed to the library.
struct Path {
  Owned fspath;
  Owned encoded;
  std::string name;
};

bool read_path(PyObject *object, const char *function, Path &path) {
  const bool path_like =
      PyUnicode_Check(object) || PyBytes_Check(object) ||
      PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(object)), "__fspath__");
  if (!path_like) {
    PyErr_Format(PyExc_TypeError, "%s: path must be str, bytes or os.PathLike, not %.200s",
                 function, Py_TYPE(object)->tp_name);
    return false;
  }
  // An __fspath__ that fails or returns another type keeps the interpreter's
  // message, which says what it returned.
  *path.fspath.out() = PyOS_FSPath(object);
  if (path.fspath.get() == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyObject *type = nullptr;
      PyObject *value = nullptr;
      PyObject *traceback = nullptr;
      PyErr_Fetch(&type, &value, &traceback);
      PyErr_Format(PyExc_TypeError, "%s: %S", function, value);
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
    }
    return false;
  }
  if (PyUnicode_FSConverter(path.fspath.get(), path.encoded.out()) == 0)
    return false;
  const char *bytes = PyBytes_AS_STRING(path.encoded.get());
  path.name.assign(bytes, static_cast<std::size_t>(PyBytes_GET_SIZE(path.encoded.get())));
  // The library drops trailing blanks from file names, which would name another file.
  if (!path.name.empty() && path.name.back() == ' ') {
    PyErr_Format(PyExc_ValueError, "%s: file names ending in a blank are not supported: %R",
                 function, path.fspath.get());
    return false;
  }
  return true;
}

} // namespace

PyObject *load_xyz(PyObject * /*module*/, PyObject *argument) {
  Path path;
  if (!read_path(argument, "load_xyz", path))
    return nullptr;
  Crystal record;
  const Outcome outcome = run_without_lock([&](const morvak::crystal::StopRequest &stop) {
    morvak::crystal::read_xyz(record, path.name, stop);
  });
  if (outcome.kind != Outcome::Kind::done) {
    raise_failure(outcome, path.fspath.get());
    return nullptr;
  }
  return wrap_crystal(std::move(record));
}

PyObject *write_xyz(PyObject * /*module*/, PyObject *args) {
  PyObject *target = nullptr;
  PyObject *crystal = nullptr;
  if (!PyArg_UnpackTuple(args, "write_xyz", 2, 2, &target, &crystal))
    return nullptr;
  Path path;
  if (!read_path(target, "write_xyz", path))
    return nullptr;
  const Crystal *record = record_of(crystal);
  if (record == nullptr) {
    PyErr_Format(PyExc_TypeError, "write_xyz: crystal must be pelmar.Crystal, not %.200s",
                 Py_TYPE(crystal)->tp_name);
    return nullptr;
  }
  // The argument tuple keeps the record alive; being immutable, it can't change meanwhile.
  const Outcome outcome = run_without_lock([&](const morvak::crystal::StopRequest &) {
    morvak::crystal::write_xyz(*record, path.name);
  });
  if (outcome.kind != Outcome::Kind::done) {
    raise_failure(outcome, path.fspath.get());
    return nullptr;
  }
  Py_RETURN_NONE;
}

} // namespace pelmar
