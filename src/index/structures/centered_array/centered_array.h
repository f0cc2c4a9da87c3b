// CenteredArray: a sorted set of at most four distinct 32-bit ids kept inline.
//
// The ids live in a fixed buffer of four slots as one ascending run
// data[start .. start+length-1]. The run is kept near the middle of the buffer
// so that an insertion can usually shift the shorter side (left or right) by a
// single slot instead of moving everything. When the run touches slot 0 or the
// last slot, an insertion first re-centres it to slot (4 - length) / 2; a
// removal never re-centres. Slots outside the run hold stale values and mean
// nothing.
//
//   CenteredArray a;
//   a.insert(10);                         // slot 2: start 2, length 1
//   a.insert(20);
//   a.insert(30);                         // re-centred: slots 1..3
//   for (uint32_t id : a.slice()) ...     // 10, 20, 30
//   a.remove(20);
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "index/common/error.h"

namespace calderwick {

struct CenteredArray {
  static constexpr size_t kCapacity = 4;

  // Slot where a run of `n` ids starts after re-centring.
  static constexpr size_t centre_for(size_t n) { return (kCapacity - n) / 2; }

  std::array<uint32_t, kCapacity> data{};
  size_t start = 0;
  size_t length = 0;

  size_t size() const { return length; }
  bool empty() const { return length == 0; }

  // The occupied slots, ascending.
  std::span<const uint32_t> slice() const {
    check_run();
    return {data.data() + start, length};
  }

  bool contains(uint32_t id) const {
    const auto run = slice();
    return std::binary_search(run.begin(), run.end(), id);
  }

  // Adds `id`; a duplicate leaves the ids as they are (the run may still be
  // re-centred). Throws when the array already holds four ids, even if `id`
  // is one of them: callers switch representation before that point.
  void insert(uint32_t id) {
    check_run();
    if (length >= kCapacity) internal_error("CenteredArray full");
    if (start == 0 || start + length >= kCapacity) move_run_to(centre_for(length));
    const auto run = slice();
    const auto it = std::lower_bound(run.begin(), run.end(), id);
    if (it != run.end() && *it == id) return;
    const size_t p = static_cast<size_t>(it - run.begin());
    if (start > 0 && p < length / 2) {
      // Fewer ids below the new one: shift them one slot left.
      std::memmove(data.data() + start - 1, data.data() + start, p * sizeof(uint32_t));
      --start;
    } else {
      // After re-centring there is always a free slot right of the run.
      std::memmove(data.data() + start + p + 1, data.data() + start + p, (length - p) * sizeof(uint32_t));
    }
    data[start + p] = id;
    ++length;
  }

  // Drops `id` if present, closing the gap from whichever side the slot
  // position selects.
  void remove(uint32_t id) {
    check_run();
    if (length == 0) return;
    const auto run = slice();
    const auto it = std::lower_bound(run.begin(), run.end(), id);
    if (it == run.end() || *it != id) return;
    const size_t p = static_cast<size_t>(it - run.begin());
    const size_t slot = start + p;
    if (slot < length / 2) {
      std::memmove(data.data() + start + 1, data.data() + start, p * sizeof(uint32_t));
      ++start;
    } else {
      std::memmove(data.data() + slot, data.data() + slot + 1, (length - p - 1) * sizeof(uint32_t));
    }
    --length;
  }

 private:
  // The fields are public for inspection; a run that no longer fits the
  // buffer is refused rather than read or written out of bounds.
  void check_run() const {
    if (start > kCapacity || length > kCapacity - start) {
      internal_error("CenteredArray run out of range: start " + std::to_string(start) + ", length " +
                     std::to_string(length));
    }
  }
  void move_run_to(size_t slot) {
    if (slot == start) return;
    std::memmove(data.data() + slot, data.data() + start, length * sizeof(uint32_t));
    start = slot;
  }
};

}  // namespace calderwick
