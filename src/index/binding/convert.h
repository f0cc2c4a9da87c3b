// Conversions between Python objects and C++ values, for the code above the
// binding layer. Every function needs the GIL; failures throw PythonError
// (the pending Python exception), so callers never look at the error
// indicator themselves.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <vector>

#include "index/binding/errors.h"
#include "index/binding/py_ref.h"

namespace calderwick::py {

// A new reference to None, for returning from entry points.
inline PyObject* none() { return PyRef::borrow(Py_None).release(); }
// A new reference to `obj`, for returning it to CPython.
inline PyObject* new_ref(PyObject* obj) { return PyRef::borrow(obj).release(); }

// PyLong_AsLong, PyFloat_AsDouble, PyObject_Hash, with failures thrown.
long long_value(PyObject* obj);
double float_value(PyObject* obj);
Py_hash_t hash(PyObject* obj);
// The UTF-8 form of a str (borrowed from the object; valid while it lives).
std::string_view utf8(PyObject* str);
// A new str from UTF-8 bytes.
// Cuts a list made by PyList_New(n), and filled in its first `size` slots,
// down to `size` items (the slots beyond are still empty).
inline void shrink_list(PyObject* list, Py_ssize_t size) { Py_SET_SIZE(list, size); }

// The slot array of a list made by PyList_New, for filling it in place.
inline PyObject** list_slots(PyObject* list) { return reinterpret_cast<PyListObject*>(list)->ob_item; }

// Counts one more reference to each of `objs`. Needs the GIL.
inline void count_references(PyObject* const* objs, Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n; ++i) Py_INCREF(objs[i]);
}

// Keeps a new container out of the collector's sight while it holds objects
// it does not count yet (filled without the GIL); tracked again at scope end.
class Untracked {
 public:
  explicit Untracked(PyObject* obj) : obj_(obj) { PyObject_GC_UnTrack(obj_); }
  Untracked(const Untracked&) = delete;
  Untracked& operator=(const Untracked&) = delete;
  ~Untracked() { PyObject_GC_Track(obj_); }

 private:
  PyObject* obj_;
};

PyRef new_str(std::string_view text);

// The next element of an iterator; null at its end.
PyRef next_item(PyObject* iterator);
// Calls f(PyRef) for each element of an iterable as it is read.
template <typename F>
void for_each_item(PyObject* iterable, F&& f) {
  // Lists and tuples by index, a list measured again at every step as its
  // own iterator does (f may run code that changes it); others by iterator.
  if (PyList_CheckExact(iterable)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) f(PyRef::borrow(PyList_GET_ITEM(iterable, i)));
    return;
  }
  if (PyTuple_CheckExact(iterable)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i) f(PyRef::borrow(PyTuple_GET_ITEM(iterable, i)));
    return;
  }
  PyRef it = check(PyObject_GetIter(iterable));
  while (PyRef item = next_item(it.get())) f(std::move(item));
}

// obj.name, or null when the lookup fails (the error is dropped).
PyRef getattr_or_null(PyObject* obj, const char* name);

// Generic attribute lookup; a missing attribute raises AttributeError whose
// only argument is `name`.
PyRef generic_getattr(PyObject* obj, PyObject* name);
// Drops any pending error and raises AttributeError(name).
[[noreturn]] void attribute_error(PyObject* name);

}  // namespace calderwick::py
