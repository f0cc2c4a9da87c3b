// M2MU32: a many-to-many relation between 32-bit ids, answered exactly in
// both directions with id sets. Here a left id is an owner (an object one
// level up) and a right id is an object nested in it.
//
// Each pair is kept twice. By left, as one 64-bit key (left << 32 | right)
// in an ordered set: an owner's nested objects are one contiguous range of
// it, and a pair costs 8 bytes whatever the number of owners (most owners
// have a single nested object, and owners arrive mostly in ascending order,
// which appends to the set and leaves its nodes full). By right, as a list of
// the right's lefts under the right in a hash table: queries go from nested
// objects to their owners, and a nested object shared by many owners hands
// them over as one id set instead of a walk over tree nodes.
//
//   M2MU32 rel;
//   rel.add_pair(5, 300);
//   IdSet owners = rel.lefts_of_all(IdSet{300});  // {5}
//   IdSet nested = rel.rights_of_all(IdSet{5});   // {300}
//   rel.remove_pair(5, 300);                      // rel.is_empty()
//
// No lock of its own: the owner keeps the relation behind its reader-writer lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "absl/container/btree_set.h"
#include "absl/container/flat_hash_map.h"
#include "index/common/fxhash.h"
#include "index/common/id_set.h"

namespace calderwick {

class M2MU32 {
 public:
  // A right keeps up to this many lefts in a list, more in an id set.
  static constexpr uint32_t kListedLefts = 64;

  // Records the pair; returns false (changing nothing) if it was already there.
  bool add_pair(uint32_t left, uint32_t right);
  // Records every (left, right) pair of `pairs` (those already there change
  // nothing), the ordered set written in ascending key order.
  void add_pairs(std::span<const std::pair<uint32_t, uint32_t>> pairs);
  // Forgets the pair; returns false (changing nothing) if it was absent.
  bool remove_pair(uint32_t left, uint32_t right);

  bool contains_pair(uint32_t left, uint32_t right) const { return by_left_.contains(key(left, right)); }
  // True if `right` is the right of some pair.
  bool has_right(uint32_t right) const;
  size_t owner_count(uint32_t right) const;
  IdSet lefts_of(uint32_t right) const { return lefts_of_all(IdSet{right}); }
  IdSet rights_of(uint32_t left) const { return rights_of_all(IdSet{left}); }
  // Every left paired with a right of `rights`, and the converse.
  IdSet lefts_of_all(const IdSet& rights) const;
  IdSet rights_of_all(const IdSet& lefts) const;
  // Every right id that has a pair.
  IdSet all_rights() const;
  size_t pair_count() const { return by_left_.size(); }
  bool is_empty() const { return by_left_.empty(); }

 private:
  // The lefts of one right in 8 bytes: a nested object owned by one record
  // keeps its owner inline, up to kListedLefts go to one heap block, unordered
  // (removal swaps with the last element), and more to an id set. A nested
  // object shared by many records (an airport, a customer) then hands them
  // to a query as a copy of its set, costs at most 2 bytes an owner instead
  // of 4, and loses one in O(log n) instead of a scan. A set stays a set
  // until it empties.
  class Partners {
   public:
    Partners() = default;
    Partners(Partners&& o) noexcept : word_(std::exchange(o.word_, 0)) {}
    Partners& operator=(Partners&& o) noexcept {
      std::swap(word_, o.word_);
      return *this;
    }
    Partners(const Partners&) = delete;
    Partners& operator=(const Partners&) = delete;
    ~Partners();

    size_t size() const;
    bool empty() const { return word_ == 0; }
    // The id set, when they are held in one; else null, and they are the
    // span of list().
    const IdSet* set() const { return is_set() ? set_ptr() : nullptr; }
    std::span<const uint32_t> list() const;
    void push_back(uint32_t id);
    // Removes `id`; false if it was not there.
    bool erase(uint32_t id);

   private:
    struct Heap {
      uint32_t size;
      uint32_t capacity;
      uint32_t ids[1];
    };
    static constexpr uint64_t kInline = 1;
    static constexpr uint64_t kSet = 2;
    bool is_inline() const { return word_ & kInline; }
    bool is_set() const { return (word_ & 3) == kSet; }
    Heap* heap() const { return reinterpret_cast<Heap*>(word_); }
    IdSet* set_ptr() const { return reinterpret_cast<IdSet*>(word_ & ~kSet); }
    void release();

    // 0: empty; low bit set: one partner in the high 32 bits; low bits 10:
    // an IdSet*; else a Heap*.
    uint64_t word_ = 0;
  };
  using Keys = absl::btree_set<uint64_t>;
  static uint64_t key(uint32_t high, uint32_t low) { return (uint64_t{high} << 32) | low; }
  // Inserts the keys of `batch` (ascending), each after the last one placed;
  // moves the keys that were new to the front of `batch` and returns their count.
  static size_t insert_sorted(Keys& keys, std::span<uint64_t> batch);

  Keys by_left_;  // left << 32 | right
  absl::flat_hash_map<uint32_t, Partners, FxIdHash> by_right_;
};

}  // namespace calderwick
