// BulkQueryMapAdder: batched writes into one QueryMap.
//
// It holds the write locks of the map's `strings`, `numbers`, `bools` and
// container bookkeeping for its whole life (the order is in
// common/write_gate.h) and appends ids to the cells'
// buffers instead of inserting them one by one; full buffers move into their
// bitmaps with one bulk add. Dropping it flushes every buffer (numbers,
// booleans, strings) and releases the locks (strings, numbers, booleans), also
// when the batch fails part-way. The containers it files must have been
// forgotten first (QueryMap::forget_elements), as re-filing one would take
// the locks it holds. Nested objects are not filed while the locks are
// held (filing them takes the sub-index's locks and this map's bookkeeping):
// they are collected and filed by the caller after the adders are gone.
#pragma once

#include <optional>
#include <vector>

#include "index/core/query/query.h"

namespace calderwick {

class BulkQueryMapAdder final : public ValueSink {
 public:
  explicit BulkQueryMapAdder(QueryMap& map);
  BulkQueryMapAdder(const BulkQueryMapAdder&) = delete;
  BulkQueryMapAdder& operator=(const BulkQueryMapAdder&) = delete;
  ~BulkQueryMapAdder();

  // Files `value` under `id`; nested objects are appended to `deferred`.
  void add(const PyValue& value, uint32_t id, const PreparedElements& prepared, std::vector<DeferredIndexable>& deferred);

  void number(const Number& n, uint32_t id) override;
  void string(std::string_view bytes, uint32_t id) override;
  void boolean(bool b, uint32_t id) override;
  void indexable(const PyValue& value, uint32_t owner) override;
  ElementLocks* element_locks() override { return &*elements_; }

 private:
  QueryMap& map_;
  std::optional<RwLock<std::unique_ptr<PositionalBitmap>>::WriteGuard> strings_;
  std::optional<RwLock<std::unique_ptr<NumericalBitmap>>::WriteGuard> numbers_;
  std::optional<RwLock<std::unique_ptr<BoolSets>>::WriteGuard> bools_;
  std::optional<ElementLocks> elements_;
  std::vector<DeferredIndexable>* deferred_ = nullptr;
};

}  // namespace calderwick
