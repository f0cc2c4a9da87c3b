#include "index/structures/string_interner/string_interner.h"

#include <bit>
#include <cstring>
#include <limits>
#include <string>

#include "index/common/error.h"
#include "index/common/fxhash.h"

namespace calderwick {

using interner_detail::Entry;
using interner_detail::kFirstSegment;
using interner_detail::kSegments;
using interner_detail::Table;

namespace {

// Name bytes are copied into chunks of this size; a longer name gets a chunk
// of its own.
constexpr size_t kChunkBytes = 64 * 1024;

// Segment and offset of an id: segment k starts at kFirstSegment * (2^k - 1).
struct SegmentPos {
  size_t segment;
  size_t offset;
};
SegmentPos segment_of(uint32_t id) {
  const uint64_t j = uint64_t(id) / kFirstSegment + 1;
  const size_t k = size_t(std::bit_width(j)) - 1;
  return {k, size_t(uint64_t(id) - kFirstSegment * ((uint64_t(1) << k) - 1))};
}
size_t segment_size(size_t k) { return kFirstSegment << k; }

}  // namespace

uint64_t hash_str(std::string_view text) { return fx_hash_u64(byte_digest(text)); }

Table::Table(size_t capacity) : mask(capacity - 1), slots(new std::atomic<uint64_t>[capacity]) {
  for (size_t i = 0; i < capacity; ++i) slots[i].store(0, std::memory_order_relaxed);
}

std::optional<uint32_t> ImmutableInterner::get(std::string_view text) const {
  if (count_ == 0) return std::nullopt;
  const auto id = owner_->find(*table_, text, owner_->hash_fn_(text));
  if (id && *id < count_) return id;
  return std::nullopt;
}

std::string_view ImmutableInterner::resolve(uint32_t id) const {
  if (id >= count_) {
    internal_error("index out of range: the index is " + std::to_string(id) + " but the length is " +
                   std::to_string(count_));
  }
  const Entry& e = owner_->entry(id);
  return {e.data, e.len};
}

uint64_t ImmutableInterner::hash_str(std::string_view text) const { return owner_->hash_fn_(text); }

StrInterner::StrInterner(HashFn hash_fn, size_t initial_slots) : hash_fn_(hash_fn) {
  table_.store(new Table(std::bit_ceil(std::max<size_t>(initial_slots, 2))), std::memory_order_release);
}

StrInterner::~StrInterner() {
  delete table_.load(std::memory_order_acquire);
  for (auto& s : segments_) delete[] s.load(std::memory_order_acquire);
}

const Entry& StrInterner::entry(uint32_t id) const {
  const auto [k, offset] = segment_of(id);
  return segments_[k].load(std::memory_order_acquire)[offset];
}

std::optional<uint32_t> StrInterner::find(const Table& table, std::string_view text, uint64_t hash) const {
  const uint64_t tag = tag_of(hash);
  for (size_t i = hash & table.mask;; i = (i + 1) & table.mask) {
    const uint64_t slot = table.slots[i].load(std::memory_order_acquire);
    if (slot == 0) return std::nullopt;
    if ((slot >> 32) != tag) continue;
    const auto id = static_cast<uint32_t>((slot & 0xffffffffu) - 1);
    const Entry& e = entry(id);
    if (e.len == text.size() && std::memcmp(e.data, text.data(), text.size()) == 0) return id;
  }
}

void StrInterner::place(Table& table, uint64_t hash, uint32_t id) {
  size_t i = hash & table.mask;
  while (table.slots[i].load(std::memory_order_relaxed) != 0) i = (i + 1) & table.mask;
  table.slots[i].store((tag_of(hash) << 32) | (uint64_t(id) + 1), std::memory_order_release);
}

const char* StrInterner::store_bytes(Writer& w, std::string_view text) {
  if (text.size() > w.chunk_left) {
    const size_t size = std::max(kChunkBytes, text.size());
    w.chunks.push_back(std::make_unique<char[]>(size));
    w.chunk_pos = w.chunks.back().get();
    w.chunk_left = size;
  }
  char* out = w.chunk_pos;
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  w.chunk_pos += text.size();
  w.chunk_left -= text.size();
  return out;
}

StrInterner::Snapshot StrInterner::snapshot() const {
  // Count first: the table loaded after it holds every id below the count.
  const uint32_t count = count_.load(std::memory_order_acquire);
  const Table* table = table_.load(std::memory_order_acquire);
  return Snapshot(ImmutableInterner(this, table, count));
}

uint32_t StrInterner::intern(std::string_view text) {
  if (auto id = snapshot()->get(text)) return *id;
  const uint64_t hash = hash_fn_(text);

  auto w = writer_.lock();
  // Another thread may have added the name since the probe above.
  Table* table = table_.load(std::memory_order_relaxed);
  if (auto id = find(*table, text, hash)) return *id;

  const uint32_t id = count_.load(std::memory_order_relaxed);
  if (id == std::numeric_limits<uint32_t>::max()) internal_error("the string interner is full");
  if (text.size() > std::numeric_limits<uint32_t>::max()) internal_error("a name longer than 4 GiB cannot be interned");

  const auto [k, offset] = segment_of(id);
  Entry* segment = segments_[k].load(std::memory_order_relaxed);
  if (!segment) {
    segment = new Entry[segment_size(k)];
    segments_[k].store(segment, std::memory_order_release);
  }
  segment[offset] = Entry{store_bytes(*w, text), static_cast<uint32_t>(text.size())};

  // Keep the table at most half full after this id is placed.
  const size_t capacity = table->mask + 1;
  if (2 * (size_t(id) + 1) > capacity) {
    auto grown = std::make_unique<Table>(capacity * 2);
    for (uint32_t old = 0; old < id; ++old) {
      const Entry& e = entry(old);
      place(*grown, hash_fn_({e.data, e.len}), old);
    }
    place(*grown, hash, id);
    table_.store(grown.release(), std::memory_order_release);
    // Readers may still be probing the old table.
    w->retired.emplace_back(table);
  } else {
    place(*table, hash, id);
  }
  count_.store(id + 1, std::memory_order_release);
  return id;
}

StrInterner& INTERNER() {
  static StrInterner* interner = new StrInterner();
  return *interner;
}

}  // namespace calderwick
