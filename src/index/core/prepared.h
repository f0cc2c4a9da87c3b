// PreparedElements: the converted elements of every container value that an
// insertion may file, built with the GIL held before any index lock is taken.
//
// Container elements are Python objects that may fail to convert (an int of
// 2**64, an unhashable value). Converting them all up front means a value
// that cannot be filed fails before anything changes, and filing itself never
// needs the GIL. The walk follows list/tuple/set elements and the attribute
// values of nested Indexable objects, at every depth; a container or object
// met again is walked once, and nesting deeper than `kMaxNesting` fails.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "index/value.h"

namespace calderwick {

struct IndexableNative;

// The error for nesting beyond PreparedElements::kMaxNesting.
[[noreturn]] void nesting_too_deep();

class PreparedElements {
 public:
  static constexpr int kMaxNesting = 200;

  // Walks one value that will be filed into an index at depth `depth` (0 for
  // a top-level index). Needs the GIL. Throws InternalError on a value that
  // cannot be converted or on nesting beyond kMaxNesting.
  void add_value(const PyValue& value, int depth = 0);
  // Walks every attribute value of an object. Needs the GIL.
  void add_object(const IndexableNative& object, int depth = 0);
  // Called after `walked` of `total` objects of a batch: makes room for
  // the containers of the rest at the rate seen so far (the tables then
  // grow once, not by doubling).
  void expect(size_t walked, size_t total) {
    if (!walked) return;
    elements_.reserve(elements_.size() * total / walked);
    converted_.reserve(converted_.size() * total / walked);
  }

  // The converted elements of `container`, or nullopt if it was not walked.
  std::optional<std::span<const PyValue>> find(const PyObject* container) const;
  // Asks for find(container)'s slot to be brought into the cache.
  void prefetch(const PyObject* container) const { elements_.prefetch(container); }

 private:
  void walk_value(const PyValue& value, int depth);
  void walk_object(const IndexableNative& object, int depth);

  // Where each walked container's elements lie in `converted_`: one array for
  // the whole walk, so a large batch leaves no small blocks behind.
  struct Slice {
    uint32_t offset = 0;
    uint32_t count = 0;
  };
  absl::flat_hash_map<const PyObject*, Slice> elements_;
  std::vector<PyValue> converted_;
  absl::flat_hash_set<const void*> objects_seen_;
};

}  // namespace calderwick
