#include "index/binding/errors.h"

#include "index/binding/module_state.h"

namespace calderwick::py {

PyObject* internal_error_type() {
  PyObject*& type = module_state().internal_error;
  if (!type) {
    type = PyErr_NewExceptionWithDoc(
        "Calderwick.InternalError",
        "Raised when an internal invariant of Calderwick is broken or an internal operation fails.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PythonError PythonError::fetch() {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  PythonError e;
#if PY_VERSION_HEX >= 0x030C0000
  e.value_ = PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb) PyException_SetTraceback(value, tb);
  e.type_ = PyRef::steal(type);
  e.value_ = PyRef::steal(value);
  e.traceback_ = PyRef::steal(tb);
#endif
  return e;
}

void PythonError::restore() && {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(value_.release());
#else
  PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

void throw_python_error() { throw PythonError::fetch(); }

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw_python_error();
}

std::string describe_exception(PyObject* value) {
  if (!value) return "None";
  std::string out = Py_TYPE(value)->tp_name;
  const PyRef text = PyRef::steal(PyObject_Str(value));
  if (text) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(text.get(), &n);
    if (s) {
      out += ": ";
      out.append(s, static_cast<size_t>(n));
    }
  }
  PyErr_Clear();
  return out;
}

void set_internal_error(const char* message) {
  PyObject* type = internal_error_type();
  if (!type) return;  // creating the type failed; its error is already set
  PyErr_SetString(type, message);
}

}  // namespace calderwick::py
