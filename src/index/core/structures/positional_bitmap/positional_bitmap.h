// PositionalBitmap: the string index of one attribute.
//
// A growable row of W positions (W even, only grows, 0 for a new map). Every
// position holds 258 id-set cells: one per byte value 0..255 (ids whose string
// has that byte here), a START cell (ids whose string begins here) and an END
// cell (ids whose string ends here). Start and end are kept apart so that a
// one-byte prefix test cannot pick up a two-byte string by its second byte.
//
// A string of n >= 1 bytes is centred: it starts at s = W/2 - n/2 - 1, byte k
// sits at s+k, START at s, END at s+n-1 (the same position when n == 1).
// Before a string is stored the row is widened to at least n + 2 positions,
// half of the new positions in front, so every stored string keeps its place
// relative to the centre and the rule above stays exact after any growth.
// The empty string touches no position; its ids live in a separate set.
//
// Strings are raw bytes compared exactly. Each id holds at most one string.
// There is no lock here: the owning index calls every member under its own
// lock (queries under the read lock). Queries read the cells' bitmaps only,
// so ids queued by `buffered_insert` become visible after `flush_all()`.
//
//   PositionalBitmap map;
//   map.insert("hello", 1);
//   map.insert("lob", 2);
//   IdSet both = map.contains("lo");     // {1, 2}
//   IdSet one = map.ends_with("lo");     // {1}
//   map.remove("lob", 2);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "index/common/id_set.h"
#include "index/core/structures/buffered_bitmap/buffered_bitmap.h"

namespace calderwick {

class PositionalBitmap {
 public:
  using Cell = BufferedBitmap<32>;

  // Cell layout of one position: byte cells first, then the two boundaries.
  static constexpr size_t kStartCell = 256;
  static constexpr size_t kEndCell = 257;
  static constexpr size_t kCellsPerPosition = 258;

  PositionalBitmap() = default;
  PositionalBitmap(PositionalBitmap&&) noexcept = default;
  PositionalBitmap& operator=(PositionalBitmap&&) noexcept = default;

  // Stores `bytes` for `id` straight into the bitmaps.
  void insert(std::string_view bytes, uint32_t id);
  // The same through the cells' write buffers; call `flush_all()` before any
  // query is allowed to see the ids.
  void buffered_insert(std::string_view bytes, uint32_t id);
  // Applies every queued id: positions in order, at each START, END, then the
  // byte cells 0..255; the empty-string set last.
  void flush_all();
  // Drops `id` from every cell `bytes` occupies under the current width. A
  // string that could not have been stored at this width is an InternalError
  // raised before anything changes.
  void remove(std::string_view bytes, uint32_t id);
  // Drops every id outside `keep` from every cell (narrowing of the index).
  void keep_only(const IdSet& keep);

  // Each query returns a fresh set.
  IdSet equal(std::string_view bytes) const;
  IdSet starts_with(std::string_view bytes) const;
  IdSet ends_with(std::string_view bytes) const;
  IdSet contains(std::string_view bytes) const;
  // Every id that holds a string, "" included.
  IdSet any_string() const;

  size_t width() const { return positions_.size(); }

  // Cell views for tests and diagnostics; a position >= width() is an InternalError.
  const IdSet& byte_set(size_t pos, uint8_t byte) const { return cell(pos, byte).bitmap(); }
  const IdSet& start_set(size_t pos) const { return cell(pos, kStartCell).bitmap(); }
  const IdSet& end_set(size_t pos) const { return cell(pos, kEndCell).bitmap(); }
  const IdSet& empty_set() const { return empty_.bitmap(); }

 private:
  struct Position {
    std::array<Cell, kCellsPerPosition> cells;
  };

  const Cell& cell(size_t pos, size_t index) const;
  Cell& cell(size_t pos, size_t index);

  // Widens the row so that a string of n bytes fits (W >= n + 2, W even).
  void expand_map(size_t n);
  // Start position of a string of n >= 1 bytes under the current width; the
  // caller has made sure that n + 2 <= W.
  size_t start_of(size_t n) const { return width() / 2 - n / 2 - 1; }
  // Calls add(cell) for every cell a string of n >= 1 bytes occupies.
  template <typename Add>
  void for_each_cell(std::string_view bytes, Add&& add);

  // Positions are held by pointer so that growth moves pointers, not cells.
  std::vector<std::unique_ptr<Position>> positions_;
  Cell empty_;
};

}  // namespace calderwick
