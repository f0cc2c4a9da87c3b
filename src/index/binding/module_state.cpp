#include "index/binding/module_state.h"

#include "index/binding/py_ref.h"

namespace calderwick::py {

ModuleState& module_state() {
  static ModuleState* state = new ModuleState();
  return *state;
}

namespace {

// Reads numpy.<name> if numpy imports and the attribute is a type; swallows
// every failure, so the system works without numpy. New reference or null.
PyTypeObject* numpy_type(const char* name) {
  PyRef module = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!module) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef attr = PyRef::steal(PyObject_GetAttrString(module.get(), name));
  if (!attr || !PyType_Check(attr.get())) {
    PyErr_Clear();
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(attr.release());  // kept for the life of the process
}

// Importing numpy may let other threads run; they may fill the same list
// meanwhile, with the same result, so the first finished list is kept and no
// C++ static guard is held across Python code (which could deadlock against
// the GIL).
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

}  // namespace

const TypeList& INT_TYPES() {
  ModuleState& s = module_state();
  return fill(s.int_types, s.int_ready, &PyLong_Type, "int64");
}
const TypeList& FLOAT_TYPES() {
  ModuleState& s = module_state();
  return fill(s.float_types, s.float_ready, &PyFloat_Type, "float64");
}
const TypeList& STR_TYPES() {
  ModuleState& s = module_state();
  return fill(s.str_types, s.str_ready, &PyUnicode_Type, "str_");
}
const TypeList& BOOL_TYPES() {
  ModuleState& s = module_state();
  // numpy 2 names its boolean scalar `numpy.bool` and keeps `bool_` as an
  // alias; numpy 1.x has only `bool_` (there `numpy.bool` raises, after a
  // FutureWarning). `bool_` is the one name both have.
  return fill(s.bool_types, s.bool_ready, &PyBool_Type, "bool_");
}

}  // namespace calderwick::py
