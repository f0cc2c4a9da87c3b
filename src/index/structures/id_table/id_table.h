// IdTable: values by 32-bit id, in whichever of two layouts the ids held
// make cheaper:
//   dense   an array indexed by id, a vacant value (`V{}`, or whatever
//           `Vacant` says) marking an id not held: sizeof(V) per id of the
//           range spanned, so sizeof(V) / occupancy per entry;
//   sparse  a hash table of (id, value): about (slot size + 1) / load per
//           entry, whatever the range.
// Ids drawn downwards from the top of the id space (container elements)
// are laid out from the top (`kFromTop`), so that they too start at slot 0.
//
// A table starts sparse and turns dense once its ids fill half of the range
// they span (or the range is at most kSmallSpan ids); it turns sparse again
// when an id far beyond the range would leave it under a quarter full, or
// removals leave it under an eighth full. So the items of a sub-index whose
// objects are scattered over a million ids cost a few words each instead of
// a slot for every id, and the items of an index whose ids run in long
// stretches stay a plain array read with one load.
//
//   IdTable<uint32_t> owners;
//   owners.put(7, 3);                     // the replaced value, or 0
//   if (const uint32_t* o = owners.find(7)) ...
//   owners.take(7);                       // the value, now gone
//
// Not synchronised: readers share it, a writer holds it alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "index/common/fxhash.h"

namespace calderwick {

template <typename V>
struct DefaultVacant {
  bool operator()(const V& v) const { return v == V{}; }
};

template <typename V, bool kFromTop = false, typename Vacant = DefaultVacant<V>, typename Alloc = std::allocator<V>>
class IdTable {
 public:
  // Ranges this short are always dense.
  static constexpr size_t kSmallSpan = 64;

  const V* find(uint32_t id) const {
    const uint32_t s = slot_of(id);
    if (dense_) {
      if (s >= array_.size() || Vacant{}(array_[s])) return nullptr;
      return &array_[s];
    }
    auto it = map_.find(s);
    return it == map_.end() ? nullptr : &it->second;
  }
  V* find(uint32_t id) { return const_cast<V*>(std::as_const(*this).find(id)); }
  bool contains(uint32_t id) const { return find(id) != nullptr; }

  // Stores `value` (not vacant) under `id`; hands back the value it replaced,
  // vacant if none.
  V put(uint32_t id, V value) {
    const uint32_t s = slot_of(id);
    if (dense_ && s >= array_.size()) fit(size_ + 1, s);
    if (dense_) {
      V& at = array_[s];
      if (Vacant{}(at)) ++size_;
      return std::exchange(at, std::move(value));
    }
    auto [it, added] = map_.try_emplace(s);
    if (added) {
      ++size_;
      span_ = std::max<size_t>(span_, size_t{s} + 1);
      if (worth_dense(size_, span_)) {
        it->second = std::move(value);
        to_dense(span_);
        return V{};
      }
    }
    return std::exchange(it->second, std::move(value));
  }

  // Removes what `id` holds and hands it back (vacant if nothing).
  V take(uint32_t id) {
    const uint32_t s = slot_of(id);
    V out{};
    if (dense_) {
      if (s >= array_.size() || Vacant{}(array_[s])) return out;
      out = std::exchange(array_[s], V{});
      --size_;
      if (array_.size() > kSmallSpan && size_ * 8 < array_.size()) to_sparse();
      return out;
    }
    auto it = map_.find(s);
    if (it == map_.end()) return out;
    out = std::move(it->second);
    map_.erase(it);
    --size_;
    return out;
  }

  // Makes room for up to `more` new ids, none further from the table's end
  // of the id space than `last`.
  void reserve(size_t more, uint32_t last) { fit(size_ + more, slot_of(last)); }
  // The same for `more` ids that continue the range held (ids drawn in
  // order, as element ids are).
  void reserve_next(size_t more) {
    if (more == 0) return;
    const size_t span = dense_ ? array_.size() : span_;
    fit(size_ + more, static_cast<uint32_t>(std::min<size_t>(span + more - 1, 0xFFFFFFFEu)));
  }

  void prefetch(uint32_t id) const {
    const uint32_t s = slot_of(id);
    if (dense_) {
      if (s < array_.size()) __builtin_prefetch(&array_[s]);
    } else {
      map_.prefetch(s);
    }
  }

  // f(id, value) for every id held; in id order (from the table's end) when
  // dense, in no order when sparse.
  template <typename F>
  void for_each(F&& f) const {
    if (dense_) {
      for (size_t s = 0; s < array_.size(); ++s) {
        if (!Vacant{}(array_[s])) f(id_of(static_cast<uint32_t>(s)), array_[s]);
      }
    } else {
      for (const auto& [s, v] : map_) f(id_of(s), v);
    }
  }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool is_dense() const { return dense_; }
  void clear() {
    Array().swap(array_);
    Map().swap(map_);
    size_ = 0;
    span_ = 0;
    dense_ = false;
  }
  // Bytes held by the layout (for tests and benchmarks).
  size_t bytes() const {
    return dense_ ? array_.capacity() * sizeof(V) : map_.capacity() * (sizeof(std::pair<uint32_t, V>) + 1);
  }

 private:
  using Array = std::vector<V, Alloc>;
  using Map = absl::flat_hash_map<uint32_t, V, FxIdHash>;

  static uint32_t slot_of(uint32_t id) { return kFromTop ? ~id : id; }
  static uint32_t id_of(uint32_t slot) { return kFromTop ? ~slot : slot; }
  static bool worth_dense(size_t held, size_t span) { return span <= kSmallSpan || held * 2 >= span; }

  // Room for `held` ids with `slot` among them.
  void fit(size_t held, uint32_t slot) {
    const size_t span = std::max(dense_ ? array_.size() : span_, size_t{slot} + 1);
    if (dense_) {
      if (span <= array_.size()) return;
      if (span <= kSmallSpan || held * 4 >= span) {
        array_.resize(span);
        return;
      }
      to_sparse();
    }
    if (worth_dense(held, span)) {
      to_dense(span);
    } else {
      map_.reserve(held);
    }
  }

  void to_dense(size_t span) {
    Array array(span);
    for (auto& [s, v] : map_) array[s] = std::move(v);
    Map().swap(map_);
    array_ = std::move(array);
    dense_ = true;
  }

  void to_sparse() {
    Map map;
    map.reserve(size_);
    span_ = 0;
    for (size_t s = 0; s < array_.size(); ++s) {
      if (Vacant{}(array_[s])) continue;
      map.emplace(static_cast<uint32_t>(s), std::move(array_[s]));
      span_ = s + 1;
    }
    Array().swap(array_);
    map_ = std::move(map);
    dense_ = false;
  }

  Array array_;
  Map map_;
  size_t size_ = 0;
  size_t span_ = 0;  // sparse: above every slot held since the table last turned sparse
  bool dense_ = false;
};

}  // namespace calderwick
