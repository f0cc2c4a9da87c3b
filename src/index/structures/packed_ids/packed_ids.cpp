#include "index/structures/packed_ids/packed_ids.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace calderwick {

static_assert(std::endian::native == std::endian::little, "an inline id is the word's high half");
static_assert(alignof(IdSet) >= 4 && alignof(std::max_align_t) >= 4, "the form is told by the pointer's low bits");

PackedIds::Block* PackedIds::new_block(std::span<const uint32_t> ids, uint32_t capacity) {
  auto* b = static_cast<Block*>(std::malloc(sizeof(Block) + (capacity - 1) * sizeof(uint32_t)));
  if (!b) throw std::bad_alloc();
  b->size = static_cast<uint32_t>(ids.size());
  b->capacity = capacity;
  std::memcpy(b->ids, ids.data(), ids.size() * sizeof(uint32_t));
  return b;
}

void PackedIds::grow_block() {
  Block* b = block();
  if (b->size < b->capacity) return;
  const uint32_t capacity = std::min(b->capacity * 2, kListMax);
  auto* grown = static_cast<Block*>(std::realloc(b, sizeof(Block) + (capacity - 1) * sizeof(uint32_t)));
  if (!grown) throw std::bad_alloc();
  grown->capacity = capacity;
  word_ = reinterpret_cast<uint64_t>(grown);
}

void PackedIds::clear() {
  if (is_set()) {
    delete set_ptr();
  } else if (word_ && !is_inline()) {
    std::free(block());
  }
  word_ = 0;
}

size_t PackedIds::size() const {
  if (!word_) return 0;
  if (is_inline()) return 1;
  return is_set() ? set_ptr()->cardinality() : block()->size;
}

std::span<const uint32_t> PackedIds::list() const {
  if (is_inline()) return {reinterpret_cast<const uint32_t*>(&word_) + 1, 1};
  if (!word_ || is_set()) return {};
  return {block()->ids, block()->size};
}

bool PackedIds::contains(uint32_t id) const {
  if (is_set()) return set_ptr()->contains(id);
  const auto ids = list();
  return std::binary_search(ids.begin(), ids.end(), id);
}

bool PackedIds::add(uint32_t id) {
  if (!word_) {
    word_ = (uint64_t{id} << 32) | kInline;
    return true;
  }
  if (is_set()) {
    IdSet& set = *set_ptr();
    if (set.contains(id)) return false;
    set.add_in_place(id);
    return true;
  }
  if (is_inline()) {
    const uint32_t held = inline_id();
    if (held == id) return false;
    const uint32_t pair[] = {std::min(held, id), std::max(held, id)};
    word_ = reinterpret_cast<uint64_t>(new_block(pair, 4));
    return true;
  }
  Block* b = block();
  uint32_t* const end = b->ids + b->size;
  uint32_t* at = end;
  if (id < end[-1]) {
    at = std::lower_bound(b->ids, end, id);
    if (*at == id) return false;
  } else if (id == end[-1]) {
    return false;
  }
  if (b->size == kListMax) {
    auto set = std::make_unique<IdSet>();
    set->add_many(b->ids, b->size);
    set->add(id);
    std::free(b);
    word_ = reinterpret_cast<uint64_t>(set.release()) | kSet;
    return true;
  }
  const size_t offset = static_cast<size_t>(at - b->ids);
  grow_block();
  b = block();
  std::memmove(b->ids + offset + 1, b->ids + offset, (b->size - offset) * sizeof(uint32_t));
  b->ids[offset] = id;
  ++b->size;
  return true;
}

bool PackedIds::remove(uint32_t id) {
  if (!word_) return false;
  if (is_inline()) {
    if (inline_id() != id) return false;
    word_ = 0;
    return true;
  }
  if (is_set()) {
    IdSet& set = *set_ptr();
    if (!set.contains(id)) return false;
    set.remove_in_place(id);
  } else {
    Block* b = block();
    uint32_t* const end = b->ids + b->size;
    uint32_t* at = std::lower_bound(b->ids, end, id);
    if (at == end || *at != id) return false;
    std::memmove(at, at + 1, static_cast<size_t>(end - at - 1) * sizeof(uint32_t));
    --b->size;
  }
  settle();
  return true;
}

void PackedIds::filter(const IdSet& set, bool inside) {
  if (!word_) return;
  if (is_inline()) {
    if (set.contains(inline_id()) != inside) word_ = 0;
    return;
  }
  if (is_set()) {
    if (inside) {
      set_ptr()->and_inplace(set);
    } else {
      set_ptr()->andnot_inplace(set);
    }
  } else {
    Block* b = block();
    b->size = static_cast<uint32_t>(
        std::remove_if(b->ids, b->ids + b->size, [&](uint32_t id) { return set.contains(id) != inside; }) - b->ids);
  }
  settle();
}

void PackedIds::settle() {
  if (is_set()) {
    const IdSet& set = *set_ptr();
    const uint64_t n = set.cardinality();
    if (n > kListMax / 2) return;
    const std::vector<uint32_t> ids = set.to_vector();
    delete set_ptr();
    word_ = 0;
    if (ids.empty()) return;
    word_ = reinterpret_cast<uint64_t>(new_block(ids, kListMax / 2));
  }
  if (!word_ || is_inline()) return;
  Block* b = block();
  if (b->size > 1) return;
  const uint64_t next = b->size == 1 ? (uint64_t{b->ids[0]} << 32) | kInline : 0;
  std::free(b);
  word_ = next;
}

void PackedIds::or_into(IdSet& out) const {
  if (const IdSet* set = this->set()) {
    if (out.is_empty()) {
      out = *set;
    } else {
      out.or_inplace(*set);
    }
    return;
  }
  const auto ids = list();
  if (ids.size() == 1) {
    out.add(ids[0]);
  } else {
    out.add_many(ids);
  }
}

IdSet PackedIds::to_set() const {
  if (const IdSet* set = this->set()) return *set;
  return IdSet::from_sorted(list());
}

}  // namespace calderwick
