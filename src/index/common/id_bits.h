// IdBits: a bit for each id, in two dense arrays that grow as ids are set.
// Object ids count up from 1 and element ids down from 0xFFFFFFFF, so the
// upper half is kept from its top. A test is one word read, where an IdSet's
// is a search: for marks set once and tested many times over a pass.
//
//   IdBits seen;
//   seen.set(7);
//   seen.test(7);  // true
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace calderwick {

class IdBits {
 public:
  bool test(uint32_t id) const {
    const std::vector<uint64_t>& bits = half(id);
    const uint32_t i = index(id);
    return (i >> 6) < bits.size() && ((bits[i >> 6] >> (i & 63)) & 1u) != 0;
  }
  void set(uint32_t id) {
    std::vector<uint64_t>& bits = half(id);
    const uint32_t i = index(id);
    const size_t w = i >> 6;
    if (w >= bits.size()) bits.resize(std::max(w + 1, bits.size() + bits.size() / 2), 0);
    bits[w] |= uint64_t{1} << (i & 63);
  }
  void clear() {
    std::fill(low_.begin(), low_.end(), 0);
    std::fill(high_.begin(), high_.end(), 0);
  }
  size_t bytes() const { return (low_.capacity() + high_.capacity()) * sizeof(uint64_t); }

 private:
  static constexpr uint32_t kHigh = 0x80000000u;
  static uint32_t index(uint32_t id) { return id < kHigh ? id : 0xFFFFFFFFu - id; }
  const std::vector<uint64_t>& half(uint32_t id) const { return id < kHigh ? low_ : high_; }
  std::vector<uint64_t>& half(uint32_t id) { return id < kHigh ? low_ : high_; }
  std::vector<uint64_t> low_;
  std::vector<uint64_t> high_;
};

}  // namespace calderwick
