// The Python class `Indexable`: construction from keyword arguments,
// attribute reads, `dir`, `repr`, attribute assignment (which moves the value
// in every index that holds the object) and the garbage collector's slots.
// The native part it carries is in index/indexable.h.
#pragma once

#include <Python.h>

namespace calderwick {

// Creates the Indexable type (once) and returns it, or null with an error set.
PyTypeObject* indexable_type();

}  // namespace calderwick
