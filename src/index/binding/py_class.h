// Type-object plumbing for the module's classes.
//
// Every class is a Python object header followed by one C++ value (the
// payload): `PyBox<Payload>`. `PyClass<Payload>` allocates and wraps
// instances, gives the payload back, and provides the deallocator (and, for
// classes in the cyclic garbage collector, the traversal of the type), so
// each class only writes its methods. Type objects are created from their
// slot tables on first request and kept in the module state.
#pragma once

#include <Python.h>

#include <new>
#include <utility>

#include "index/binding/errors.h"
#include "index/binding/py_ref.h"

namespace calderwick::py {

template <typename Payload>
struct PyBox {
  PyObject_HEAD
  Payload payload;
};

// Creates the type described by `layout` into `slot` on first call (kept for
// the life of the process); afterwards returns it. Null with an error set on
// failure.
inline PyTypeObject* type_from_spec(PyTypeObject*& slot, PyType_Spec& layout) {
  if (!slot) slot = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&layout));
  return slot;
}

template <typename Payload>
class PyClass {
 public:
  using Box = PyBox<Payload>;

  // The payload of an instance (borrowed; the caller checked the type).
  static Payload& of(PyObject* obj) { return reinterpret_cast<Box*>(obj)->payload; }

  // A new instance of `type` (or a subclass) holding `payload`. Throws
  // PythonError; `payload` is dropped then.
  static PyRef wrap(PyTypeObject* type, Payload payload) {
    if (!type) throw_python_error();
    PyObject* obj = type->tp_alloc(type, 0);
    if (!obj) throw_python_error();
    new (&of(obj)) Payload(std::move(payload));
    return PyRef::steal(obj);
  }

  // tp_dealloc of a class outside the garbage collector.
  static void dealloc(PyObject* obj) {
    GilHeld held;
    PyTypeObject* type = Py_TYPE(obj);
    of(obj).~Payload();
    type->tp_free(obj);
    Py_DECREF(type);  // heap types: every instance holds its type
  }

  // tp_dealloc of a class in the garbage collector. Dropping the payload may
  // release the last reference to the next object of a long chain: the
  // trashcan defers deep deallocations instead of recursing once per link.
  static void gc_dealloc(PyObject* obj) {
    GilHeld held;
    PyTypeObject* type = Py_TYPE(obj);
    PyObject_GC_UnTrack(obj);
    Py_TRASHCAN_BEGIN(obj, gc_dealloc)
    of(obj).~Payload();
    type->tp_free(obj);
    Py_DECREF(type);
    Py_TRASHCAN_END
  }

  // tp_traverse: the type, then every reference the payload owns, reported
  // by `Visit(payload, visit, arg)`.
  template <int (*Visit)(const Payload&, visitproc, void*)>
  static int traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(obj));
    return Visit(of(obj), visit, arg);
  }
};

}  // namespace calderwick::py
