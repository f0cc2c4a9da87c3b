#include "index/binding/convert.h"

namespace calderwick::py {

long long_value(PyObject* obj) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) throw_python_error();
  return v;
}

double float_value(PyObject* obj) {
  const double x = PyFloat_AsDouble(obj);
  if (x == -1.0 && PyErr_Occurred()) throw_python_error();
  return x;
}

Py_hash_t hash(PyObject* obj) {
  const Py_hash_t h = PyObject_Hash(obj);
  if (h == -1 && PyErr_Occurred()) throw_python_error();
  return h;
}

std::string_view utf8(PyObject* str) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(str, &n);
  if (!s) throw_python_error();
  return {s, static_cast<size_t>(n)};
}

PyRef new_str(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyRef next_item(PyObject* iterator) {
  PyRef item = PyRef::steal(PyIter_Next(iterator));
  if (!item && PyErr_Occurred()) throw_python_error();
  return item;
}

PyRef getattr_or_null(PyObject* obj, const char* name) {
  PyRef attr = PyRef::steal(PyObject_GetAttrString(obj, name));
  if (!attr) PyErr_Clear();
  return attr;
}

PyRef generic_getattr(PyObject* obj, PyObject* name) {
  if (PyObject* found = PyObject_GenericGetAttr(obj, name)) return PyRef::steal(found);
  if (PyErr_ExceptionMatches(PyExc_AttributeError)) attribute_error(name);
  throw_python_error();
}

void attribute_error(PyObject* name) {
  PyErr_Clear();
  PyErr_SetObject(PyExc_AttributeError, name);
  throw_python_error();
}

}  // namespace calderwick::py
