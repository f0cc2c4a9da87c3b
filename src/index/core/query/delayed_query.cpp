#include "index/core/query/delayed_query.h"

namespace calderwick {

BulkQueryMapAdder::BulkQueryMapAdder(QueryMap& map) : map_(map) {
  strings_.emplace(map.strings_.write());
  numbers_.emplace(map.numbers_.write());
  bools_.emplace(map.bools_.write());
  elements_.emplace(map);
}

BulkQueryMapAdder::~BulkQueryMapAdder() {
  if (**numbers_) (**numbers_)->flush_all();
  if (**bools_) {
    (**bools_)->true_ids.flush();
    (**bools_)->false_ids.flush();
  }
  if (**strings_) (**strings_)->flush_all();
  elements_.reset();
  strings_.reset();
  numbers_.reset();
  bools_.reset();
}

void BulkQueryMapAdder::add(const PyValue& value, uint32_t id, const PreparedElements& prepared,
                            std::vector<DeferredIndexable>& deferred) {
  deferred_ = &deferred;
  map_.insert_via(value, id, prepared, *this);
}

void BulkQueryMapAdder::number(const Number& n, uint32_t id) {
  auto& numbers = **numbers_;
  if (!numbers) numbers = std::make_unique<NumericalBitmap>();
  numbers->buffered_insert(n, id);
}

void BulkQueryMapAdder::string(std::string_view bytes, uint32_t id) {
  auto& strings = **strings_;
  if (!strings) strings = std::make_unique<PositionalBitmap>();
  strings->buffered_insert(bytes, id);
}

void BulkQueryMapAdder::boolean(bool b, uint32_t id) {
  auto& bools = **bools_;
  if (!bools) bools = std::make_unique<BoolSets>();
  bools->of(b).buffered_add(id);
}

void BulkQueryMapAdder::indexable(const PyValue& value, uint32_t owner) {
  deferred_->push_back(DeferredIndexable{&map_, value, owner});
}

}  // namespace calderwick
