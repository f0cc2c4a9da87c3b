#include "index/binding/args.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace calderwick::py {
namespace {

std::string plural(size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

[[noreturn]] void type_error(const std::string& message) { raise(PyExc_TypeError, message); }

[[noreturn]] void too_many_positional(const char* fname, size_t accepted, Py_ssize_t given) {
  type_error(std::string(fname) + "() takes " + plural(accepted, "positional argument", "positional arguments") +
             " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given");
}

[[noreturn]] void missing(const char* fname, const std::vector<const char*>& names) {
  std::string message = fname;
  message += "() missing ";
  message += plural(names.size(), "required positional argument", "required positional arguments");
  message += ": ";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) message += (names.size() == 2) ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    message += '\'';
    message += names[i];
    message += '\'';
  }
  type_error(message);
}

}  // namespace

void bind_fast(const char* fname, std::initializer_list<const char*> names, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  const size_t n = names.size();
  if (static_cast<size_t>(nargs) > n) too_many_positional(fname, n, nargs);
  for (size_t i = 0; i < n; ++i) out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const char* kname = PyUnicode_AsUTF8(key);
    if (!kname) throw_python_error();
    size_t i = 0;
    for (const char* name : names) {
      if (std::strcmp(name, kname) == 0) break;
      ++i;
    }
    if (i == n) type_error(std::string(fname) + "() got an unexpected keyword argument '" + kname + "'");
    if (out[i]) type_error(std::string(fname) + "() got multiple values for argument '" + kname + "'");
    out[i] = args[nargs + k];
  }

  std::vector<const char*> absent;
  size_t i = 0;
  for (const char* name : names) {
    if (!out[i++]) absent.push_back(name);
  }
  if (!absent.empty()) missing(fname, absent);
}

void refuse_keywords(const char* fname, PyObject* kwnames) {
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    const char* kname = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, 0));
    if (!kname) throw_python_error();
    type_error(std::string(fname) + "() got an unexpected keyword argument '" + kname + "'");
  }
}

void refuse_positionals(const char* fname, PyObject* args) {
  if (args && PyTuple_GET_SIZE(args) > 0) too_many_positional(fname, 0, PyTuple_GET_SIZE(args));
}

void refuse_arguments(const char* fname, PyObject* args, PyObject* kwargs) {
  refuse_positionals(fname, args);
  if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    PyDict_Next(kwargs, &pos, &key, &value);
    PyRef text = check(PyObject_Str(key));
    const char* kname = PyUnicode_AsUTF8(text.get());
    if (!kname) throw_python_error();
    type_error(std::string(fname) + "() got an unexpected keyword argument '" + kname + "'");
  }
}

void argument_error(const char* name) {
  PythonError original = PythonError::fetch();
  PyRef text = check(PyObject_Str(original.value()));
  const char* msg = PyUnicode_AsUTF8(text.get());
  if (!msg) throw_python_error();
  PyRef err = check(PyObject_CallFunction(PyExc_TypeError, "s", (std::string("argument '") + name + "': " + msg).c_str()));
  PyException_SetCause(err.get(), PyRef::borrow(original.value()).release());  // steals the cause
  PyErr_SetObject(PyExc_TypeError, err.get());
  throw_python_error();
}

std::string downcast_message(PyObject* obj, const char* target) {
  return std::string("'") + Py_TYPE(obj)->tp_name + "' object cannot be converted to '" + target + "'";
}

void downcast_error(const char* name, PyObject* obj, const char* target) {
  type_error(std::string("argument '") + name + "': " + downcast_message(obj, target));
}

std::vector<PyRef> extract_sequence(const char* name, PyObject* obj, const char* str_message) {
  if (PyUnicode_Check(obj)) type_error(std::string("argument '") + name + "': " + str_message);
  if (!PySequence_Check(obj)) downcast_error(name, obj, "Sequence");
  std::vector<PyRef> items;
  // The length is a hint: it may be huge, negative or fail. It sizes at most
  // a modest first allocation; the iteration decides. Only an exception
  // outside Exception (KeyboardInterrupt, SystemExit, ...) is let through.
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw_python_error();
    PyErr_Clear();
  } else {
    constexpr size_t kMaxReserved = size_t{1} << 16;
    items.reserve(std::min(static_cast<size_t>(hint), kMaxReserved));
  }
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) argument_error(name);
  while (PyObject* item = PyIter_Next(it.get())) items.push_back(PyRef::steal(item));
  if (PyErr_Occurred()) argument_error(name);
  return items;
}

uint64_t to_u64(const char* name, PyObject* obj) {
  PyRef index;
  if (!PyLong_CheckExact(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) argument_error(name);
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
  return v;
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", _PyType_Name(type));
  return nullptr;
}

}  // namespace calderwick::py
