// The Python class `Index`: a thin shell around one shared IndexAPI. Each
// method converts its arguments with the GIL held, releases the GIL for the
// core work, and converts the result back.
#pragma once

#include <Python.h>

#include <memory>
#include <span>

#include "index/core/filtered_index.h"
#include "index/core/index.h"

namespace calderwick {

PyTypeObject* index_type();

// Wraps `api` in a new Python Index (new reference). Needs the GIL.
PyObject* wrap_index(std::shared_ptr<IndexAPI> api);

// Adds `objects` to `index`, taking their items: converts every container
// element they hold with the GIL (once for the whole batch, so objects and
// containers held by many members are walked once), then adds them with the
// GIL released. The caller holds the write gate.
void add_from_python(IndexAPI& index, std::span<StoredItem> objects);

// The view's objects, in ascending id order, as a new list; vacant slots
// (objects removed meanwhile) are skipped. Needs the GIL.
PyObject* collect_items(const FilteredIndexCore& view);

}  // namespace calderwick
