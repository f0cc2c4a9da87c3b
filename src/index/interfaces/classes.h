// The four Python classes, one source file each:
//   Index          (index.cpp)           a shell around one shared IndexAPI
//   FilteredIndex  (filtered_index.cpp)  a narrowed view of an index; no constructor
//   Indexable      (indexable.cpp)       the objects indexes hold: construction,
//                                        attribute reads and assignment, dir, repr,
//                                        the collector's slots
//   PyQueryExpr    (query.cpp)           immutable query trees built by fourteen
//                                        static constructors (eq, ne, gt, ge, le, bt,
//                                        lt, in_, and_, or_, not_, starts_with,
//                                        ends_with, contains)
// Each method binds and converts its arguments, calls the one function of
// core/operations.h that does its work, and wraps the result. Everything
// here needs the GIL.
#pragma once

#include <Python.h>

#include <memory>
#include <vector>

#include "index/core/filtered_index.h"
#include "index/core/index.h"
#include "index/core/query/query_ops.h"

namespace calderwick {

// Each creates its type object once and returns it, or null with an error set.
PyTypeObject* index_type();
PyTypeObject* filtered_index_type();
PyTypeObject* indexable_type();
// An instance holds one tree (never null), shared with every tree it is part of.
PyTypeObject* query_type();

// `api` in a new Python Index (new reference).
PyObject* wrap_index(std::shared_ptr<IndexAPI> api);
// A view in a new Python FilteredIndex (new reference).
PyObject* wrap_filtered(FilteredIndexCore core);

// The expression of a PyQueryExpr argument (shared with it), or a TypeError naming `arg`.
const QueryExpr::Node& extract_query(const char* arg, PyObject* obj);
// The keyword arguments of a call (may be null) as one equality each.
std::vector<QueryExpr> keyword_equalities(PyObject* kwargs);

}  // namespace calderwick
