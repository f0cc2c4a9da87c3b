// M2MU32: a many-to-many relation between 32-bit ids, answered in both
// directions with id sets. Here a left id is an owner (an object one level up)
// and a right id is an object nested in it.
//
// Lookups run on nibble slices. `NibbleIndexU32` is 16 id sets, one per value
// of a 4-bit nibble. by_left[i][v] holds every right r of a pair (l, r) whose
// left l has nibble v at position i (nibble i of x is (x >> 4i) & 0xF), and
// by_right[i][v] holds every left of a pair whose right has nibble v at
// position i. The partners of x are the intersection of the 8 sets picked by
// x's nibbles. The slices share bits between pairs, so that intersection may
// also hold an id whose several partners together supply each of x's nibbles
// position by position; an id with a single partner is never returned for
// another id. Callers that need the precise answer use the exact record kept
// beside the slices (lefts_of, rights_of, owner_count, contains_pair).
//
//   M2MU32 rel;
//   rel.add_pair(5, 300);
//   IdSet owners = rel.lefts_of_rights(IdSet{300});  // {5}
//   IdSet nested = rel.rights_of_lefts(IdSet{5});    // {300}
//   rel.remove_pair(5, 300);                         // rel.is_empty()
//
// No lock of its own: the owner keeps the relation behind its reader-writer lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "index/common/error.h"
#include "index/common/fxhash.h"
#include "index/common/id_set.h"

namespace calderwick {

// Nibble `position` (0 = lowest four bits) of `x`.
inline uint32_t nibble_of(uint32_t x, size_t position) { return (x >> (4 * position)) & 0xF; }

class NibbleIndexU32 {
 public:
  static constexpr size_t kValues = 16;

  const IdSet& operator[](size_t nibble) const { return checked_at(sets_, nibble); }
  IdSet& operator[](size_t nibble) { return checked_at(sets_, nibble); }

  // Every id in any of the 16 sets.
  IdSet union_all() const;
  bool operator==(const NibbleIndexU32& o) const { return sets_ == o.sets_; }

 private:
  std::array<IdSet, kValues> sets_;
};

class M2MU32 {
 public:
  static constexpr size_t kPositions = 8;

  // Records the pair; returns false (changing nothing) if it was already there.
  bool add_pair(uint32_t left, uint32_t right);
  // Records every (left, right) pair of `pairs` (those already there change
  // nothing), writing each slice once.
  void add_pairs(std::span<const std::pair<uint32_t, uint32_t>> pairs);
  // Forgets the pair; returns false (changing nothing) if it was absent.
  // Afterwards every slice equals what adding only the surviving pairs gives.
  bool remove_pair(uint32_t left, uint32_t right);

  // Nibble lookups: supersets of the exact partners (see the header comment).
  IdSet lefts_of_rights(const IdSet& rights) const;
  IdSet rights_of_lefts(const IdSet& lefts) const;
  // True if `right` is the right of some pair, read from the position-0 slices.
  bool has_right(uint32_t right) const;
  // Every right id that has a pair.
  IdSet all_rights() const;

  // Exact answers from the pair record.
  bool contains_pair(uint32_t left, uint32_t right) const;
  size_t owner_count(uint32_t right) const;
  IdSet lefts_of(uint32_t right) const;
  IdSet rights_of(uint32_t left) const;
  // Every left paired with a right of `rights`.
  IdSet lefts_of_all(const IdSet& rights) const;
  size_t pair_count() const { return pair_count_; }
  bool is_empty() const { return pair_count_ == 0; }

  const NibbleIndexU32& by_left(size_t position) const { return checked_at(by_left_, position); }
  const NibbleIndexU32& by_right(size_t position) const { return checked_at(by_right_, position); }

 private:
  // The partners of one id, unordered, in 8 bytes: most nested objects
  // have a single owner and most owners a single nested object per
  // attribute, so one partner is kept inline and more go to one heap block.
  // Order is not kept: removal swaps with the last element.
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
    const uint32_t* begin() const;
    const uint32_t* end() const { return begin() + size(); }
    bool contains(uint32_t id) const;
    void push_back(uint32_t id);
    // Removes `id`; false if it was not there.
    bool erase_unordered(uint32_t id);

   private:
    struct Heap {
      uint32_t size;
      uint32_t capacity;
      uint32_t ids[1];
    };
    static constexpr uint64_t kInline = 1;
    bool is_inline() const { return word_ & kInline; }
    Heap* heap() const { return reinterpret_cast<Heap*>(word_); }

    // 0: empty; low bit set: one partner in the high 32 bits; else a Heap*.
    uint64_t word_ = 0;
  };
  using Slices = std::array<NibbleIndexU32, kPositions>;

  static IdSet lookup(const Slices& slices, const IdSet& keys);
  // Records the pair in the exact record; false if it was there already.
  bool record_pair(uint32_t left, uint32_t right);
  static void clear_unshared(Slices& slices, uint32_t key, uint32_t id, const Partners& surviving);

  Slices by_left_;
  Slices by_right_;
  // The exact record in both directions: the owner count of a nested object
  // is one probe, and removal finds the surviving partners of both ends
  // without an 8-way intersection over slices as large as the relation.
  absl::flat_hash_map<uint32_t, Partners, FxIdHash> lefts_by_right_;
  absl::flat_hash_map<uint32_t, Partners, FxIdHash> rights_by_left_;
  size_t pair_count_ = 0;
};

}  // namespace calderwick
