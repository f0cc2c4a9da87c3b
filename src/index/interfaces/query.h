// The Python class `PyQueryExpr`: immutable query trees built by fourteen
// static constructors (eq, ne, gt, ge, le, bt, lt, in_, and_, or_, not_,
// starts_with, ends_with, contains) and combined with and_/or_/not_.
#pragma once

#include <Python.h>

#include "index/core/query/query_ops.h"

namespace calderwick {

struct PyQuery {
  PyObject_HEAD
  QueryExpr::Node expr;  // never null
};

PyTypeObject* query_type();

// The expression of a PyQueryExpr argument (shared with it), or a TypeError naming `arg`.
const QueryExpr::Node& extract_query(const char* arg, PyObject* obj);

}  // namespace calderwick
