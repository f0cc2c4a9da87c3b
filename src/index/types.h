// Process-wide Python type lists used to classify values, filled lazily on
// first use and never refreshed. Each list holds the built-in type first and
// the matching numpy scalar type second when numpy can be imported. All
// accessors need the GIL (which also guards their one-time filling).
#pragma once

#include <Python.h>

namespace calderwick {

struct TypeList {
  PyTypeObject* builtin = nullptr;
  PyTypeObject* numpy = nullptr;  // null when numpy is absent

  bool contains(PyTypeObject* t) const { return t == builtin || (numpy && t == numpy); }
};

const TypeList& INT_TYPES();
const TypeList& FLOAT_TYPES();
const TypeList& STR_TYPES();
const TypeList& BOOL_TYPES();

// The Indexable class (set when the class is created).
PyTypeObject* INDEXABLE_TYPE();
void set_indexable_type(PyTypeObject* type);

}  // namespace calderwick
