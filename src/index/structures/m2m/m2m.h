// M2MU32: a many-to-many relation between 32-bit ids, answered exactly with
// id sets. Here a left id is an owner (an object one level up) and a right
// id is an object nested in it.
//
// Each right keeps its lefts (PackedIds: inline when one, as most are, a
// sorted list when a few, an id set past that) under it in a hash table:
// queries go from nested objects to their owners, and a nested object
// shared by many owners hands them over as one id set. The lefts of a right
// are all the relation needs to hold: an owner's own nested objects are
// only asked for when owners are narrowed away, and that visits every right
// anyway.
//
//   M2MU32 rel;
//   rel.add_pair(5, 300);
//   IdSet owners = rel.lefts_of_all(IdSet{300});  // {5}
//   rel.remove_lefts(IdSet{5});                   // rel.is_empty()
//
// No lock of its own: the owner keeps the relation behind its reader-writer lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

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
  // nothing).
  void add_pairs(std::span<const std::pair<uint32_t, uint32_t>> pairs);
  // Forgets the pair; returns false (changing nothing) if it was absent.
  bool remove_pair(uint32_t left, uint32_t right);
  // Forgets every pair whose left is in `lefts`.
  void remove_lefts(const IdSet& lefts);

  bool contains_pair(uint32_t left, uint32_t right) const;
  // True if `right` is the right of some pair.
  bool has_right(uint32_t right) const;
  size_t owner_count(uint32_t right) const;
  IdSet lefts_of(uint32_t right) const { return lefts_of_all(IdSet{right}); }
  // Every left paired with a right of `rights`.
  IdSet lefts_of_all(const IdSet& rights) const;
  // Every right id that has a pair.
  IdSet all_rights() const;
  size_t pair_count() const { return pairs_; }
  bool is_empty() const { return pairs_ == 0; }

 private:
  absl::flat_hash_map<uint32_t, PackedIds, FxIdHash> by_right_;
  size_t pairs_ = 0;
};

}  // namespace calderwick
