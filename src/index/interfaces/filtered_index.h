// The Python class `FilteredIndex`: a narrowed view of an index (see
// FilteredIndexCore). No constructor: views come from Index.reduced,
// Index.reduced_query and the same methods of another view.
#pragma once

#include <Python.h>

#include "index/core/filtered_index.h"

namespace calderwick {

PyTypeObject* filtered_index_type();

// Wraps a view in a new Python FilteredIndex (new reference). Needs the GIL.
PyObject* wrap_filtered(FilteredIndexCore core);

}  // namespace calderwick
