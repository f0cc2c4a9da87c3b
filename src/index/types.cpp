#include "index/types.h"

#include "index/binding/py_ref.h"

namespace calderwick {
namespace {

// Reads numpy.<name> if numpy imports and the attribute is a type; swallows
// every failure, so the system works without numpy.
PyTypeObject* numpy_type(const char* name) {
  py::PyRef module = py::PyRef::steal(PyImport_ImportModule("numpy"));
  if (!module) {
    PyErr_Clear();
    return nullptr;
  }
  py::PyRef attr = py::PyRef::steal(PyObject_GetAttrString(module.get(), name));
  if (!attr || !PyType_Check(attr.get())) {
    PyErr_Clear();
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(attr.release());  // kept for the life of the process
}

// The GIL guards the one-time filling. Importing numpy may let other threads
// run; they may fill the same list meanwhile, with the same result, so the
// first finished list is kept and no C++ static guard is held across Python
// code (which could deadlock against the GIL).
const TypeList& fill(TypeList& list, bool& ready, PyTypeObject* builtin, const char* numpy_name) {
  if (!ready) {
    PyTypeObject* np = numpy_type(numpy_name);
    if (!ready) {
      list.builtin = builtin;
      list.numpy = np;
      ready = true;
    }
  }
  return list;
}

PyTypeObject* indexable_type = nullptr;

}  // namespace

#define CALDERWICK_TYPE_LIST(NAME, BUILTIN, NUMPY_NAME) \
  const TypeList& NAME() {                              \
    static TypeList list;                               \
    static bool ready = false;                          \
    return fill(list, ready, BUILTIN, NUMPY_NAME);      \
  }

CALDERWICK_TYPE_LIST(INT_TYPES, &PyLong_Type, "int64")
CALDERWICK_TYPE_LIST(FLOAT_TYPES, &PyFloat_Type, "float64")
CALDERWICK_TYPE_LIST(STR_TYPES, &PyUnicode_Type, "str_")
CALDERWICK_TYPE_LIST(BOOL_TYPES, &PyBool_Type, "bool")

#undef CALDERWICK_TYPE_LIST

PyTypeObject* INDEXABLE_TYPE() { return indexable_type; }
void set_indexable_type(PyTypeObject* type) { indexable_type = type; }

}  // namespace calderwick
