// The Python class `PyQueryExpr`: immutable query trees built by fourteen
// static constructors (eq, ne, gt, ge, le, bt, lt, in_, and_, or_, not_,
// starts_with, ends_with, contains) and combined with and_/or_/not_.
#pragma once

#include <Python.h>

#include <vector>

#include "index/core/query/query_ops.h"

namespace calderwick {

// An instance holds one tree (never null), shared with every tree it is part of.
PyTypeObject* query_type();

// The expression of a PyQueryExpr argument (shared with it), or a TypeError naming `arg`.
const QueryExpr::Node& extract_query(const char* arg, PyObject* obj);

// The keyword arguments of a call (may be null) as one equality each. Needs the GIL.
std::vector<QueryExpr> keyword_equalities(PyObject* kwargs);

}  // namespace calderwick
