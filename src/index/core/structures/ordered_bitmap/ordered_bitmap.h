// NumericalBitmap: the order-preserving index of numbers, as bit slices.
//
// Every number (a 64-bit integer or a double) is mapped to a 76-bit key whose
// unsigned order is the numeric order of the values, integers and floats
// compared by value (so 5 and 5.0 share a key, and 2^53 + 1 stays above the
// float 2^53). Slice i holds two id sets: element 0 has the ids whose key has
// bit i clear, element 1 those with bit i set; slice 0 is the least
// significant key bit. Every indexed id is in exactly one element of every
// slice, so equality is the AND of 76 elements and a range query is one
// most-significant-first sweep over the slices.
//
//   NumericalBitmap index;
//   index.insert(int64_t{5}, 1);
//   index.insert(5.5, 2);
//   IdSet out;
//   index.get_gt_into(NumericalBitmap::key_of(5.0), out, candidates);  // out |= {2} ∩ candidates
//
// Readers see only the slice bitmaps: after a run of `buffered_insert` the bulk
// writer must call `flush_all()` before any query.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <variant>

#include "index/common/id_set.h"
#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"

namespace calderwick {

// The 76-bit key: `low` holds key bits 0..63 (the mantissa part), `high` key
// bits 64..75 (sign and exponent) in its low 12 bits. Ordered by high, then low.
struct NumKey {
  uint64_t low = 0;
  uint16_t high = 0;

  friend bool operator==(const NumKey&, const NumKey&) = default;
  friend std::strong_ordering operator<=>(const NumKey& a, const NumKey& b) {
    if (auto c = a.high <=> b.high; c != 0) return c;
    return a.low <=> b.low;
  }
  // Key bit i (0 = least significant), 0 or 1.
  int bit(size_t i) const {
    return i < 64 ? static_cast<int>((low >> i) & 1u) : static_cast<int>((high >> (i - 64)) & 1u);
  }
};

using Number = std::variant<int64_t, double>;

class NumericalBitmap {
 public:
  static constexpr size_t kSlices = 76;
  using Cell = BufferedBitmap<64>;
  using SweepFn = void (NumericalBitmap::*)(const NumKey&, IdSet&, const IdSet&) const;

  static NumKey key_of(int64_t v);
  static NumKey key_of(double v);
  static NumKey key_of(const Number& v);

  // Direct writes to the slice bitmaps. `remove` must be given the value the
  // id was inserted with.
  void insert(const Number& v, uint32_t id) { insert_key(key_of(v), id); }
  void remove(const Number& v, uint32_t id) { remove_key(key_of(v), id); }
  void insert_key(const NumKey& key, uint32_t id);
  void remove_key(const NumKey& key, uint32_t id);

  // Bulk writer only: queues the id in the cell buffers; `flush_all` applies
  // them (slice 0 to 75, in each the bit-0 element first).
  void buffered_insert(const Number& v, uint32_t id);
  void flush_all();
  // Drops every id outside `keep` from every cell (narrowing of the index).
  void keep_only(const IdSet& keep);

  // Ids whose number equals the key; no candidate set is involved.
  IdSet equal(const NumKey& key) const;
  IdSet equal(const Number& v) const { return equal(key_of(v)); }

  // result |= { id ∈ candidates : key(id) > key } (resp. >=, <, <=). `result`
  // is only added to, never cleared; `candidates` is read only. The work is
  // the bitmap library's, which picks its own SIMD code for the CPU at run
  // time.
  void get_gt_into(const NumKey& key, IdSet& result, const IdSet& candidates) const;
  void get_gte_into(const NumKey& key, IdSet& result, const IdSet& candidates) const;
  void get_lt_into(const NumKey& key, IdSet& result, const IdSet& candidates) const;
  void get_lte_into(const NumKey& key, IdSet& result, const IdSet& candidates) const;

  // Element `bit` (0 or 1) of slice `slice`, for tests and debug output.
  const Cell& cell(size_t slice, int bit) const;

 private:
  template <bool kGreater, bool kInclusive>
  void sweep(const NumKey& key, IdSet& result, const IdSet& candidates) const;

  std::array<std::array<Cell, 2>, kSlices> slices_;
};

}  // namespace calderwick
