// BufferedBitmap<N>: an id set with a small write buffer in front of it.
//
// The set it stands for is `bitmap() ∪ pending`. Only the bulk writer goes
// through the buffer (`buffered_add`), so that a long run of inserts reaches
// the bitmap as one `add_many` per N ids instead of N single adds; every other
// reader and writer uses `bitmap()` directly and must only do so after the
// bulk writer called `flush()`.
//
// These cells are very numerous (two per key bit of every number index, and
// hundreds per position of the string index), so an idle cell costs only the
// bitmap, a null pointer and a one-byte count: the N-slot buffer is allocated
// on the first `buffered_add` and released again by `flush()`.
//
//   BufferedBitmap<64> cell;
//   for (uint32_t id : ids) cell.buffered_add(id);
//   cell.flush();                       // now cell.bitmap() holds every id
//   bool has = cell.bitmap().contains(7);
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "index/common/error.h"
#include "index/common/id_set.h"

namespace calderwick {

template <size_t N>
class BufferedBitmap {
  static_assert(N > 0 && N <= 255, "the pending count is kept in one byte");

 public:
  static constexpr size_t kCapacity = N;

  BufferedBitmap() = default;
  BufferedBitmap(BufferedBitmap&& other) noexcept
      : bitmap_(std::move(other.bitmap_)), pending_(std::move(other.pending_)), len_(std::exchange(other.len_, 0)) {}
  BufferedBitmap& operator=(BufferedBitmap&& other) noexcept {
    if (this != &other) {
      bitmap_ = std::move(other.bitmap_);
      pending_ = std::move(other.pending_);
      len_ = std::exchange(other.len_, 0);
    }
    return *this;
  }
  BufferedBitmap(const BufferedBitmap& other) : bitmap_(other.bitmap_), len_(other.len_) {
    if (other.pending_) {
      pending_ = std::make_unique<uint32_t[]>(N);
      for (size_t i = 0; i < len_; ++i) pending_[i] = other.pending_[i];
    }
  }
  BufferedBitmap& operator=(const BufferedBitmap& other) {
    if (this != &other) *this = BufferedBitmap(other);
    return *this;
  }

  // Queues `id`; a full buffer is first applied to the bitmap in one batch.
  void buffered_add(uint32_t id) {
    if (!pending_) {
      pending_ = std::make_unique<uint32_t[]>(N);
      len_ = 0;
    }
    if (len_ == N) {
      bitmap_.add_many(pending_.get(), N);
      len_ = 0;
    }
    pending_[len_++] = id;
  }

  // Applies the pending ids to the bitmap and releases the buffer.
  void flush() {
    if (len_ > N) {
      internal_error("index out of range: the index is " + std::to_string(len_) + " but the length is " +
                     std::to_string(N));
    }
    if (len_ > 0) {
      bitmap_.add_many(pending_.get(), len_);
      len_ = 0;
    }
    pending_.reset();
  }

  const IdSet& bitmap() const { return bitmap_; }
  IdSet& bitmap() { return bitmap_; }

  // Ids queued but not yet in the bitmap.
  size_t pending_count() const { return len_; }
  std::span<const uint32_t> pending() const { return {pending_.get(), len_}; }

 private:
  IdSet bitmap_;
  std::unique_ptr<uint32_t[]> pending_;  // null while nothing is queued and after flush()
  uint8_t len_ = 0;
};

}  // namespace calderwick
