// IdSet: an owned compressed bitmap of 32-bit ids, held by value.
//
// This is the only place that reaches the bitmap library; every id set of the
// system (members, query results, views, index cells) is one of these. Sets
// iterate in ascending id order. Allocation failures that the library reports
// become `InternalError`.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "index/common/error.h"
#include "roaring.h"

namespace calderwick {

class IdSet {
 public:
  IdSet() { init(); }
  IdSet(std::initializer_list<uint32_t> ids) : IdSet() { add_many(ids.begin(), ids.size()); }
  IdSet(const IdSet& other) : IdSet() { overwrite(other); }
  IdSet(IdSet&& other) noexcept : bm_(other.bm_) {
    // The moved-from set takes over an empty, allocation-free state.
    roaring_bitmap_init_cleared(&other.bm_);
  }
  IdSet& operator=(const IdSet& other) {
    if (this != &other) overwrite(other);
    return *this;
  }
  IdSet& operator=(IdSet&& other) noexcept {
    if (this != &other) {
      roaring_bitmap_clear(&bm_);
      bm_ = other.bm_;
      roaring_bitmap_init_cleared(&other.bm_);
    }
    return *this;
  }
  ~IdSet() { roaring_bitmap_clear(&bm_); }

  void add(uint32_t id) { roaring_bitmap_add(&bm_, id); }
  void add_many(const uint32_t* ids, size_t n) {
    if (n) roaring_bitmap_add_many(&bm_, n, ids);
  }
  void add_many(std::span<const uint32_t> ids) { add_many(ids.data(), ids.size()); }
  IdSet& remove(uint32_t id) {
    roaring_bitmap_remove(&bm_, id);
    return *this;
  }
  // The same, for a set written one id at a time at random places (an index
  // cell): a chunk of 64k ids holding kDenseAt ids or more is kept as a
  // bitset, so a write sets or clears one word. The library keeps such a
  // chunk as a sorted array up to 4096 ids, and every write binary-searches
  // and shifts up to 8 KB of it; here it becomes a bitset at kDenseAt ids
  // (8 KB instead of 2 bytes an id, at most twice the array) and an array
  // again below kDenseAt / 2. Other operations accept either form.
  // A chunk changes form on its first single write, not in bulk loads, so
  // an index that is only loaded and read keeps the compact arrays.
  static constexpr int32_t kDenseAt = 2048;
  void add_in_place(uint32_t id) { set_in_place(id, true); }
  void remove_in_place(uint32_t id) { set_in_place(id, false); }
  // Adds `id` when `present`, else removes it; a bitset chunk takes either
  // write without a branch on `present`.
  void set_in_place(uint32_t id, bool present) {
    using namespace roaring::internal;
    roaring_array_t& ra = bm_.high_low_container;
    const int32_t i = chunk_index(ra, static_cast<uint16_t>(id >> 16));
    if (i >= 0 && present) to_bitset_if_dense(ra, i);
    if (i >= 0 && ra.typecodes[i] == BITSET_CONTAINER_TYPE) {
      auto* bits = static_cast<bitset_container_t*>(ra.containers[i]);
      uint64_t& word = bits->words[(id & 0xFFFF) >> 6];
      const uint64_t had = (word >> (id & 63)) & 1;
      word = (word & ~(uint64_t(1) << (id & 63))) | (uint64_t(present) << (id & 63));
      bits->cardinality += int32_t(present) - int32_t(had);
      if (bits->cardinality < kDenseAt / 2) to_array(ra, i);
    } else if (present) {
      roaring_bitmap_add(&bm_, id);
    } else {
      roaring_bitmap_remove(&bm_, id);
    }
  }
  bool contains(uint32_t id) const { return roaring_bitmap_contains(&bm_, id); }
  uint64_t cardinality() const { return roaring_bitmap_get_cardinality(&bm_); }
  bool is_empty() const { return roaring_bitmap_is_empty(&bm_); }
  // Largest id, or 0 for an empty set.
  uint32_t maximum() const { return roaring_bitmap_maximum(&bm_); }

  // Stores long runs of consecutive ids as runs and releases spare capacity;
  // the contents stay the same.
  void run_optimize() {
    roaring_bitmap_run_optimize(&bm_);
    roaring_bitmap_shrink_to_fit(&bm_);
  }

  // Releases the contents; the set is empty afterwards.
  void clear() {
    roaring_bitmap_clear(&bm_);
    roaring_bitmap_init_cleared(&bm_);
  }
  // Replaces the contents by a copy of `other`.
  void overwrite(const IdSet& other) {
    if (!roaring_bitmap_overwrite(&bm_, &other.bm_)) internal_error("failed to copy an id set: out of memory");
  }

  IdSet& and_inplace(const IdSet& o) {
    roaring_bitmap_and_inplace(&bm_, &o.bm_);
    return *this;
  }
  // and_inplace for a universe: nothing is done when `o` holds every id
  // from this set's smallest to its largest (a query answer cut to the
  // members of an index that removed none, say), which costs a lookup per
  // 64k ids spanned instead of a copy of each chunk.
  IdSet& and_within(const IdSet& o) { return spanned_by(o) ? *this : and_inplace(o); }
  // Whether `o` holds every id from this set's smallest to its largest (true
  // for an empty set).
  bool spanned_by(const IdSet& o) const {
    if (is_empty()) return true;
    return roaring_bitmap_contains_range(&o.bm_, roaring_bitmap_minimum(&bm_), uint64_t{maximum()} + 1);
  }
  IdSet& or_inplace(const IdSet& o) {
    roaring_bitmap_or_inplace(&bm_, &o.bm_);
    return *this;
  }
  IdSet& andnot_inplace(const IdSet& o) {
    roaring_bitmap_andnot_inplace(&bm_, &o.bm_);
    return *this;
  }
  static IdSet and_(const IdSet& a, const IdSet& b) { return IdSet(roaring_bitmap_and(&a.bm_, &b.bm_)); }
  // and_(a, universe), a copy of `a` when the universe holds its whole range.
  static IdSet within(const IdSet& a, const IdSet& universe) {
    return a.spanned_by(universe) ? a : and_(a, universe);
  }
  static IdSet andnot(const IdSet& a, const IdSet& b) { return IdSet(roaring_bitmap_andnot(&a.bm_, &b.bm_)); }

  // The union of `sets` in one pass (containers gathered as bitsets, not
  // merged pairwise).
  static IdSet union_of(std::span<const IdSet> sets) {
    if (sets.empty()) return IdSet();
    if (sets.size() == 1) return sets[0];
    absl::InlinedVector<const roaring_bitmap_t*, 16> all;
    for (const IdSet& s : sets) all.push_back(&s.bm_);
    return IdSet(roaring_bitmap_or_many(all.size(), all.data()));
  }
  static IdSet union_of(std::span<const IdSet* const> sets) {
    if (sets.empty()) return IdSet();
    if (sets.size() == 1) return *sets[0];
    absl::InlinedVector<const roaring_bitmap_t*, 16> all;
    for (const IdSet* s : sets) all.push_back(&s->bm_);
    return IdSet(roaring_bitmap_or_many(all.size(), all.data()));
  }

  // Before one id is added to or removed from several sets: brings in, for
  // every set, the memory that write will read (the directory, the container
  // and the word or element that holds `id`), one level at a time across all
  // the sets, so that the misses of different sets overlap instead of
  // following one another.
  static void prefetch_for_write(std::span<IdSet* const> sets, uint32_t id) {
    using namespace roaring::internal;
    const uint16_t key = static_cast<uint16_t>(id >> 16);
    const uint16_t low = static_cast<uint16_t>(id);
    for (IdSet* s : sets) {
      const roaring_array_t& ra = s->bm_.high_low_container;
      if (ra.size == 0) continue;
      const size_t guess = std::min<size_t>(static_cast<size_t>(ra.size - 1), key);
      __builtin_prefetch(ra.keys + guess);
      __builtin_prefetch(ra.containers + guess);
      __builtin_prefetch(ra.typecodes + guess);
    }
    const container_t* found[kMaxPrefetch];
    uint8_t types[kMaxPrefetch];
    const size_t n = std::min(sets.size(), kMaxPrefetch);
    for (size_t k = 0; k < n; ++k) {
      const roaring_array_t& ra = sets[k]->bm_.high_low_container;
      const int32_t i = chunk_index(ra, key);
      found[k] = nullptr;
      if (i < 0) continue;
      found[k] = ra.containers[i];
      types[k] = ra.typecodes[i];
      __builtin_prefetch(found[k], 1);
    }
    for (size_t k = 0; k < n; ++k) {
      if (!found[k]) continue;
      switch (types[k]) {
        case BITSET_CONTAINER_TYPE:
          __builtin_prefetch(static_cast<const bitset_container_t*>(found[k])->words + (low >> 6), 1);
          break;
        case ARRAY_CONTAINER_TYPE: {
          const auto* a = static_cast<const array_container_t*>(found[k]);
          __builtin_prefetch(a->array + a->cardinality / 2, 1);
          break;
        }
        case RUN_CONTAINER_TYPE: {
          const auto* r = static_cast<const run_container_t*>(found[k]);
          __builtin_prefetch(r->runs + r->n_runs / 2, 1);
          break;
        }
        default:
          break;
      }
    }
  }
  static constexpr size_t kMaxPrefetch = 128;
  // Asks for the word (or the array's middle) that a single write of `id`
  // will touch, when the directory and chunk headers are likely cached: a
  // writer with many ids to write asks a few ids ahead of its writes.
  void prefetch_write_of(uint32_t id) const {
    using namespace roaring::internal;
    const roaring_array_t& ra = bm_.high_low_container;
    const int32_t i = chunk_index(ra, static_cast<uint16_t>(id >> 16));
    if (i < 0) return;
    if (ra.typecodes[i] == BITSET_CONTAINER_TYPE) {
      __builtin_prefetch(static_cast<const bitset_container_t*>(ra.containers[i])->words + ((id & 0xFFFF) >> 6), 1);
    } else if (ra.typecodes[i] == ARRAY_CONTAINER_TYPE) {
      const auto* a = static_cast<const array_container_t*>(ra.containers[i]);
      __builtin_prefetch(a->array + a->cardinality / 2, 1);
    }
  }

  bool operator==(const IdSet& o) const { return roaring_bitmap_equals(&bm_, &o.bm_); }

  // Calls f(id) for every id in ascending order.
  template <typename F>
  void for_each(F&& f) const {
    for_each_batch([&](std::span<const uint32_t> ids) {
      for (uint32_t id : ids) f(id);
    });
  }

  // Calls f(id) for every id in [low, high], in ascending order.
  template <typename F>
  void for_each_in(uint32_t low, uint32_t high, F&& f) const {
    roaring_uint32_iterator_t it;
    roaring_iterator_init(&bm_, &it);
    if (!roaring_uint32_iterator_move_equalorlarger(&it, low)) return;
    // Small batches: the last one reads past `high`.
    uint32_t buf[64];
    while (const uint32_t n = roaring_uint32_iterator_read(&it, buf, 64)) {
      for (uint32_t i = 0; i < n; ++i) {
        if (buf[i] > high) return;
        f(buf[i]);
      }
    }
  }
  // The least id >= `id`, if any.
  std::optional<uint32_t> next_at_or_after(uint32_t id) const {
    roaring_uint32_iterator_t it;
    roaring_iterator_init(&bm_, &it);
    if (!roaring_uint32_iterator_move_equalorlarger(&it, id)) return std::nullopt;
    return it.current_value;
  }

  // Calls f(ids) with the ids in ascending order, up to kBatch at a time
  // (read a container at a time, and room for a caller to prefetch).
  static constexpr uint32_t kBatch = 256;
  // From this many ids on, for_each_batch reads them all up front.
  static constexpr uint64_t kBulkRead = 1 << 14;
  template <typename F>
  void for_each_batch(F&& f) const {
    if (cardinality() >= kBulkRead) {
      // The whole set at once: the library reads dense chunks word by word
      // with vector instructions, several times faster than its iterator.
      const std::vector<uint32_t> all = to_vector();
      for (size_t i = 0; i < all.size(); i += kBatch) {
        f(std::span<const uint32_t>(all.data() + i, std::min<size_t>(kBatch, all.size() - i)));
      }
      return;
    }
    roaring_uint32_iterator_t it;
    roaring_iterator_init(&bm_, &it);
    uint32_t buf[kBatch];
    while (const uint32_t n = roaring_uint32_iterator_read(&it, buf, kBatch)) f(std::span<const uint32_t>(buf, n));
  }

  // The set of `ids`, which must be strictly ascending. Every container is
  // made once at its final size (added one by one, they grow step by step):
  // the ids are written in the library's portable form and read back.
  static IdSet from_sorted(std::span<const uint32_t> ids) {
    if (ids.size() < kFromSortedMin) {
      IdSet out;
      out.add_many(ids);
      return out;
    }
    // Portable form without run containers: cookie, container count, then
    // per container its key and cardinality - 1, its offset, and its values
    // (an array of 16-bit values, or a 65536-bit bitset above 4096 values).
    static_assert(std::endian::native == std::endian::little, "the portable form is little-endian");
    constexpr uint32_t kCookie = 12346;
    constexpr size_t kArrayMax = 4096;
    uint32_t chunks = 0;
    size_t data_bytes = 0;
    for_each_chunk(ids, [&](std::span<const uint32_t> chunk) {
      ++chunks;
      data_bytes += chunk.size() > kArrayMax ? 8192 : 2 * chunk.size();
    });
    absl::InlinedVector<char, 4096> buf(8 + 8 * size_t(chunks) + data_bytes);
    char* const base = buf.data();
    const auto put = [](char* at, auto v) { std::memcpy(at, &v, sizeof v); };
    put(base, kCookie);
    put(base + 4, chunks);
    size_t k = 0;
    uint32_t offset = 8 + 8 * chunks;
    for_each_chunk(ids, [&](std::span<const uint32_t> chunk) {
      put(base + 8 + 4 * k, uint16_t(chunk[0] >> 16));
      put(base + 10 + 4 * k, uint16_t(chunk.size() - 1));
      put(base + 8 + 4 * size_t(chunks) + 4 * k, offset);
      char* data = base + offset;
      if (chunk.size() > kArrayMax) {
        uint64_t words[1024] = {};
        for (uint32_t id : chunk) words[(id & 0xFFFF) >> 6] |= uint64_t(1) << (id & 63);
        std::memcpy(data, words, sizeof words);
        offset += 8192;
      } else {
        for (uint32_t id : chunk) {
          put(data, uint16_t(id));
          data += 2;
        }
        offset += uint32_t(2 * chunk.size());
      }
      ++k;
    });
    return IdSet(roaring_bitmap_portable_deserialize_safe(base, buf.size()));
  }
  // Below this many ids, adding them one by one costs less.
  static constexpr size_t kFromSortedMin = 32;

  std::vector<uint32_t> to_vector() const {
    std::vector<uint32_t> out(cardinality());
    roaring_bitmap_to_uint32_array(&bm_, out.data());
    return out;
  }

 private:
  // Takes over a heap-allocated bitmap returned by the library.
  explicit IdSet(roaring_bitmap_t* r) {
    if (!r) internal_error("failed to compute an id set: out of memory");
    bm_ = *r;
    roaring_free(r);  // frees the header only; the containers now belong to bm_
  }
  // The index of the chunk of 64k ids under `key` in the set's directory, or
  // -1. Ids are dense from 0, so a chunk's index is usually its key: that
  // guess is checked first, which spares a binary search whose branches
  // cannot be predicted.
  static int32_t chunk_index(const roaring_array_t& ra, uint16_t key) {
    if (key < ra.size && ra.keys[key] == key) return key;
    const uint16_t* const begin = ra.keys;
    const uint16_t* const end = begin + ra.size;
    const uint16_t* const at = std::lower_bound(begin, end, key);
    return at != end && *at == key ? static_cast<int32_t>(at - begin) : -1;
  }
  static void to_bitset_if_dense(roaring_array_t& ra, int32_t i) {
    using namespace roaring::internal;
    if (ra.typecodes[i] != ARRAY_CONTAINER_TYPE) return;
    auto* array = static_cast<array_container_t*>(ra.containers[i]);
    if (array->cardinality < kDenseAt) return;
    bitset_container_t* bits = bitset_container_from_array(array);
    if (!bits) internal_error("failed to grow an id set: out of memory");
    array_container_free(array);
    ra.containers[i] = bits;
    ra.typecodes[i] = BITSET_CONTAINER_TYPE;
  }
  // The bitset chunk at `i` has fallen below kDenseAt / 2 ids (never to 0,
  // so the chunk stays): it becomes an array again.
  static void to_array(roaring_array_t& ra, int32_t i) {
    using namespace roaring::internal;
    auto* bits = static_cast<bitset_container_t*>(ra.containers[i]);
    array_container_t* array = array_container_from_bitset(bits);
    if (!array) internal_error("failed to shrink an id set: out of memory");
    bitset_container_free(bits);
    ra.containers[i] = array;
    ra.typecodes[i] = ARRAY_CONTAINER_TYPE;
  }
  // Calls f(chunk) for each run of `ids` sharing their upper 16 bits.
  template <typename F>
  static void for_each_chunk(std::span<const uint32_t> ids, F&& f) {
    // Each chunk's end is found by binary search: a few hundred ids spread
    // over many chunks are not read one by one, twice.
    for (auto start = ids.begin(); start != ids.end();) {
      const auto end = std::upper_bound(start + 1, ids.end(), *start | 0xFFFFu);
      f(std::span<const uint32_t>(start, end));
      start = end;
    }
  }
  void init() {
    if (!roaring_bitmap_init_with_capacity(&bm_, 0)) internal_error("failed to create an id set: out of memory");
  }

  roaring_bitmap_t bm_;
};

}  // namespace calderwick
