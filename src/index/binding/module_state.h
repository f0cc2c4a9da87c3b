// The module state: every process-wide Python object of the module, in one
// place. Each is created on first use and kept for the life of the process
// (there is no shutdown step). Every accessor needs the GIL, which also
// guards the one-time filling.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

namespace calderwick::py {

// A Python type that counts as one native value kind: the built-in type, and
// the matching numpy scalar type when numpy can be imported.
struct TypeList {
  PyTypeObject* builtin = nullptr;
  PyTypeObject* numpy = nullptr;  // null when numpy is absent

  bool contains(PyTypeObject* t) const { return t == builtin || (numpy && t == numpy); }
};

struct ModuleState {
  // Id of the first interpreter that imported the module; -1 until then.
  std::atomic<int64_t> first_interpreter{-1};
  // The module object after its first successful initialisation (owned).
  PyObject* module = nullptr;
  // `Calderwick.InternalError` (owned).
  PyObject* internal_error = nullptr;
  // The four classes (owned), each set when its type is first created.
  PyTypeObject* index_type = nullptr;
  PyTypeObject* filtered_index_type = nullptr;
  PyTypeObject* query_type = nullptr;
  PyTypeObject* indexable_type = nullptr;
  // The value kinds, filled on first use.
  TypeList int_types, float_types, str_types, bool_types;
  bool int_ready = false, float_ready = false, str_ready = false, bool_ready = false;
};

// The one state of the process (never destroyed).
ModuleState& module_state();

const TypeList& INT_TYPES();
const TypeList& FLOAT_TYPES();
const TypeList& STR_TYPES();
const TypeList& BOOL_TYPES();

// The Indexable class, or null before it was created (then no object of it exists).
inline PyTypeObject* INDEXABLE_TYPE() { return module_state().indexable_type; }

}  // namespace calderwick::py
