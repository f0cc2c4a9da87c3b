// The work of each Python method, as one call each: the Python classes bind
// and convert their arguments, call one of these, and wrap what it returns.
//
// Every function here is called with the GIL held and releases it while the
// indexes work. A write (an assignment, an add, a merge, a narrowing, a
// rebase) is one step under the write gate: it converts what it will file
// (containers, nested objects) before anything changes, so a value that
// cannot be filed changes nothing, then changes the indexes without the GIL,
// then stores (an assignment's value, a rebase's new index) and releases
// what it dropped. Queries take no gate.
#pragma once

#include <Python.h>

#include <memory>
#include <span>
#include <vector>

#include "index/binding/py_ref.h"
#include "index/core/filtered_index.h"
#include "index/core/index.h"
#include "index/core/stored_item.h"
#include "index/value.h"

namespace calderwick {

struct QueryExpr;

namespace ops {

// Index.add_object / add_object_many: makes every object of `objects` a
// member of `index`, taking their items.
void add(IndexAPI& index, std::span<StoredItem> objects);
// Index.union_with: adds every member of `source` to `target`.
void merge(IndexAPI& target, const IndexAPI& source);
// Index.reduce: narrows `index` to the members that satisfy every equality.
void narrow(IndexAPI& index, const std::vector<QueryExpr>& equalities);
// FilteredIndex.rebase: a new top-level index of the view's objects.
std::shared_ptr<IndexAPI> rebase(const FilteredIndexCore& view);
// Indexable attribute assignment: `attribute` of `object` becomes `value` in
// the object and in every index that holds it.
void assign(IndexableNative& object, uint32_t attribute, PyValue value);
// The collector's clear slot: empties the attribute map, unless a writer
// holds the gate (then the cycle is left for a later collection).
void clear_attributes(IndexableNative& object);

// Views: the members of `index` (or of `view`) that satisfy every equality /
// the expression.
FilteredIndexCore select(const IndexAPI& index, const std::vector<QueryExpr>& equalities);
FilteredIndexCore select(const IndexAPI& index, const QueryExpr& expr);
FilteredIndexCore select(const FilteredIndexCore& view, const std::vector<QueryExpr>& equalities);
FilteredIndexCore select(const FilteredIndexCore& view, const QueryExpr& expr);
// The members of `index` as a view.
FilteredIndexCore all_of(const std::shared_ptr<IndexAPI>& index);
// The view's objects, in ascending id order, as a new list; slots emptied
// since the view was made are skipped.
py::PyRef collect(const FilteredIndexCore& view);

}  // namespace ops
}  // namespace calderwick
