// FilteredIndexCore: a view of an index. It keeps the source index alive and
// owns only the ids that passed the filter, so later attribute changes of its
// objects reach its queries (also after the Python Index is gone) while its
// membership stays a snapshot.
//
// A narrowing of the source empties the slots of the objects it removes; an
// id freed that way may later be taken by a new object. The view remembers
// the source's store stamp when it was made and ignores every object stored
// after it, so it only ever returns objects that it selected.
#pragma once

#include <memory>

#include "index/common/id_set.h"
#include "index/core/index.h"

namespace calderwick {

struct QueryExpr;

struct FilteredIndexCore {
  std::shared_ptr<IndexAPI> source;
  IdSet ids;
  // Items stored in the source after this stamp are not the view's.
  uint64_t stamp = 0;

  // The view's objects in `items` (the source's items, held by the caller),
  // in ascending id order.
  template <typename F>
  void for_each_item(const Items& items, F&& f) const {
    ids.for_each([&](uint32_t id) {
      if (const StoredItem* item = visible(items, id)) f(*item);
    });
  }

  // The same objects, handed over up to IdSet::kBatch at a time: reading a
  // batch of items before touching any object lets the cache misses of
  // both overlap.
  template <typename F>
  void for_each_object_batch(const Items& items, F&& f) const {
    PyObject* objects[IdSet::kBatch];
    ids.for_each_batch([&](std::span<const uint32_t> batch) {
      // A large answer's items lie spread over the store: the batch's
      // misses are taken together first.
      for (uint32_t id : batch) {
        items.prefetch(id);
      }
      size_t n = 0;
      for (uint32_t id : batch) {
        if (const StoredItem* item = visible(items, id)) objects[n++] = item->object();
      }
      f(std::span<PyObject* const>(objects, n));
    });
  }

  // Narrows the view by a query over its own ids.
  FilteredIndexCore reduced_query(const QueryExpr& expr) const;
  FilteredIndexCore reduced_all(const std::vector<QueryExpr>& equalities) const;

 private:
  // The item at `id` if it is one of the view's objects.
  const StoredItem* visible(const Items& items, uint32_t id) const {
    const StoredItem* item = items.find(id);
    return item == nullptr || item->stamp > stamp ? nullptr : item;
  }
};

}  // namespace calderwick
