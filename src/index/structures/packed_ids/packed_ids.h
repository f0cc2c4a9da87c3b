// PackedIds: a set of 32-bit ids in one word, for the many small sets an
// index keeps beside its large ones: the owners of a nested object, the ids
// holding a number that a few records share.
//
// Three forms, by size: one id inline in the word; 2 to kListMax ids in one
// heap block, ascending; more in an IdSet. A block costs 8 bytes plus 4 an
// id, where an IdSet costs about 100 bytes in three allocations before its
// first id, and 2 bytes an id past a few dozen. A block that outgrows
// kListMax ids becomes an IdSet, which turns back into a block once it falls
// to kListMax / 2, and one id left is held inline again.
//
//   PackedIds s;
//   s.add(7);                     // inline
//   s.add(3);                     // a block [3, 7]
//   s.or_into(out);               // out |= {3, 7}
//   s.remove(3); s.remove(7);     // empty, nothing allocated
//
// Not thread safe: the owner keeps it behind its own lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "index/common/id_set.h"

namespace calderwick {

class PackedIds {
 public:
  static constexpr uint32_t kListMax = 64;

  PackedIds() = default;
  PackedIds(PackedIds&& o) noexcept : word_(std::exchange(o.word_, 0)) {}
  PackedIds& operator=(PackedIds&& o) noexcept {
    std::swap(word_, o.word_);
    return *this;
  }
  PackedIds(const PackedIds&) = delete;
  PackedIds& operator=(const PackedIds&) = delete;
  ~PackedIds() { clear(); }

  // False (nothing changes) when `id` is there already, resp. absent. An id
  // above every id held (the usual order of a load) is appended without a
  // search.
  bool add(uint32_t id);
  bool remove(uint32_t id);
  void clear();
  // Drops every id outside `keep`, resp. in `gone`.
  void keep_only(const IdSet& keep) { filter(keep, true); }
  void remove_all(const IdSet& gone) { filter(gone, false); }

  size_t size() const;
  bool empty() const { return word_ == 0; }
  bool contains(uint32_t id) const;
  // The id set when they are held in one, else null: they are then list(),
  // ascending.
  const IdSet* set() const { return is_set() ? set_ptr() : nullptr; }
  std::span<const uint32_t> list() const;
  // out |= the ids.
  void or_into(IdSet& out) const;
  IdSet to_set() const;

 private:
  struct Block {
    uint32_t size;
    uint32_t capacity;
    uint32_t ids[1];
  };
  static constexpr uint64_t kInline = 1;
  static constexpr uint64_t kSet = 2;
  bool is_inline() const { return word_ & kInline; }
  bool is_set() const { return (word_ & 3) == kSet; }
  Block* block() const { return reinterpret_cast<Block*>(word_); }
  IdSet* set_ptr() const { return reinterpret_cast<IdSet*>(word_ & ~kSet); }
  uint32_t inline_id() const { return static_cast<uint32_t>(word_ >> 32); }
  // A block holding `ids` (ascending, at least `capacity` of room).
  static Block* new_block(std::span<const uint32_t> ids, uint32_t capacity);
  // Keeps the ids that are in `set` when `inside`, else those outside it.
  void filter(const IdSet& set, bool inside);
  // Makes room for one more id in the block.
  void grow_block();
  // After a removal: a set down to kListMax / 2 ids becomes a block, a
  // block down to one id inline, an empty one nothing.
  void settle();

  // 0: empty; low bit set: one id in the high 32 bits; low bits 10: an
  // IdSet*; else a Block*.
  uint64_t word_ = 0;
};

}  // namespace calderwick
