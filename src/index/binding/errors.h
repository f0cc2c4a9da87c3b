// Error translation between the core and CPython.
//
// C++ code that finds a Python exception set throws `PythonError`, which takes
// the exception with it. Every Python entry point runs its body through
// `guarded`, which turns `PythonError` back into the pending Python exception,
// `InternalError` into `Calderwick.InternalError`, and anything else into an
// internal error too, so no C++ exception ever crosses into CPython.
#pragma once

#include <Python.h>

#include <string>
#include <utility>

#include "index/binding/py_ref.h"
#include "index/common/error.h"

namespace calderwick::py {

// The Python exception type `Calderwick.InternalError` (a BaseException
// subclass), created once per process.
PyObject* internal_error_type();

// A Python exception taken out of the interpreter's error indicator.
class PythonError {
 public:
  // Takes the currently set exception (SystemError if none is set). Needs the GIL.
  static PythonError fetch();
  // Puts the exception back as the current error. Needs the GIL.
  void restore() &&;
  PyObject* value() const { return value_.get(); }

 private:
  PyRef value_;
#if PY_VERSION_HEX < 0x030C0000
  PyRef type_, traceback_;
#endif
};

// Throws the currently set Python exception as a PythonError.
[[noreturn]] void throw_python_error();
// Raises `type(message)` and throws it as a PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Returns `obj` as an owned reference, or throws the pending Python error if
// it is null. For wrapping C-API calls that return new references.
inline PyRef check(PyObject* obj) {
  if (!obj) throw_python_error();
  return PyRef::steal(obj);
}
inline int check_status(int rc) {
  if (rc < 0) throw_python_error();
  return rc;
}

// Debug form of an exception value, as appended to internal-error messages:
// `TypeName: message`.
std::string describe_exception(PyObject* value);

void set_internal_error(const char* message);

// Runs an entry point body (marking the GIL as held by this thread) and
// translates any C++ exception into a Python exception; returns `on_error`
// in that case.
template <typename R, typename F>
R guarded_as(R on_error, F&& body) noexcept {
  GilHeld held;  // CPython calls entry points with the GIL
  drain_pending();
  try {
    return std::forward<F>(body)();
  } catch (PythonError& e) {
    std::move(e).restore();
  } catch (const InternalError& e) {
    set_internal_error(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_internal_error(e.what());
  } catch (...) {
    set_internal_error("unknown internal failure");
  }
  return on_error;
}

template <typename F>
PyObject* guarded(F&& body) noexcept {
  return guarded_as<PyObject*>(nullptr, std::forward<F>(body));
}

}  // namespace calderwick::py
