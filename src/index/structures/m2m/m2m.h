// M2MU32: a many-to-many relation between 32-bit ids, answered exactly in
// both directions with id sets. Here a left id is an owner (an object one
// level up) and a right id is an object nested in it.
//
// Each pair is kept twice. By left, as one 64-bit key (left << 32 | right)
// in an ordered set: an owner's nested objects are one contiguous range of
// it, and a pair costs 8 bytes whatever the number of owners (most owners
// have a single nested object, and owners arrive mostly in ascending order,
// which appends to the set and leaves its nodes full). By right, as the
// right's lefts (PackedIds: inline when one, as most are, a sorted list when
// a few, an id set past that) under the right in a hash table: queries go
// from nested objects to their owners, and a nested object shared by many
// owners hands them over as one id set instead of a walk over tree nodes.
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
#include "index/structures/packed_ids/packed_ids.h"

namespace calderwick {

class M2MU32 {
 public:
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
  using Keys = absl::btree_set<uint64_t>;
  static uint64_t key(uint32_t high, uint32_t low) { return (uint64_t{high} << 32) | low; }
  // Inserts the keys of `batch` (ascending), each after the last one placed;
  // moves the keys that were new to the front of `batch` and returns their count.
  static size_t insert_sorted(Keys& keys, std::span<uint64_t> batch);

  Keys by_left_;  // left << 32 | right
  absl::flat_hash_map<uint32_t, PackedIds, FxIdHash> by_right_;
};

}  // namespace calderwick
