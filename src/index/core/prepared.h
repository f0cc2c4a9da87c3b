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
    walked_.reserve(starts_.size() * total / walked);
    starts_.reserve(starts_.size() * total / walked);
    converted_.reserve(converted_.size() * total / walked);
  }

  // Frees the conversions; find() then finds nothing. No GIL needed.
  void release();

  // The converted elements of `container`, or nullopt if it was not walked.
  std::optional<std::span<const PyValue>> find(const PyObject* container) const;
  // Asks for find(container)'s slot to be brought into the cache.
  void prefetch(const PyObject* container) const { walked_.prefetch(container); }

 private:
  void walk_value(const PyValue& value, int depth);
  void walk_object(const IndexableNative& object, int depth);

  // Each walked container by its address, with the order it was walked in:
  // open addressing over two arrays sized by the batch and kept at most 4/5
  // full, 12 bytes a slot (a general hash map of container -> slice takes
  // 35 bytes a container at 10^6, most of a load's temporary memory).
  class Walked {
   public:
    static constexpr uint32_t kNone = ~uint32_t{0};
    uint32_t find(const PyObject* container) const;
    // Files `container` as the walk's `order`-th; false if it is filed.
    bool insert(const PyObject* container, uint32_t order);
    void reserve(size_t n);
    void prefetch(const PyObject* container) const;

   private:
    size_t home(const PyObject* container) const;
    void rehash(size_t slots);
    std::vector<const PyObject*> keys_;  // null: a free slot
    std::vector<uint32_t> order_;
    size_t size_ = 0;
  };
  Walked walked_;
  // The converted elements of every container, one array for the whole
  // walk, so a large batch leaves no small blocks behind: the k-th container
  // walked holds [starts_[k], starts_[k + 1]) (the last: to the end).
  std::vector<uint32_t> starts_;
  std::vector<PyValue> converted_;
  absl::flat_hash_set<const void*> objects_seen_;
};

}  // namespace calderwick
