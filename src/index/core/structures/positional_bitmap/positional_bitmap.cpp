#include "index/core/structures/positional_bitmap/positional_bitmap.h"

#include <algorithm>
#include <string>
#include <utility>

#include "absl/container/inlined_vector.h"
#include "index/common/error.h"

namespace calderwick {

namespace {

inline uint8_t byte_at(std::string_view bytes, size_t k) { return static_cast<uint8_t>(bytes[k]); }

// The intersection of a handful of cells, ORed into a result. Cells are
// collected one by one; an empty cell makes the whole term empty, so the
// caller can drop the candidate position before touching the rest.
class Conjunction {
 public:
  // Returns false once the term is known to be empty.
  bool add(const IdSet& set) {
    if (set.is_empty()) return false;
    sets_.push_back({0, &set});
    return true;
  }
  void clear() { sets_.clear(); }

  void or_into(IdSet& out) {
    if (sets_.empty()) return;
    if (sets_.size() == 1) {
      out.or_inplace(*sets_[0].second);
      return;
    }
    // Smallest cells first, so the running intersection shrinks as early as it can.
    for (auto& entry : sets_) entry.first = entry.second->cardinality();
    std::sort(sets_.begin(), sets_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    IdSet acc = IdSet::and_(*sets_[0].second, *sets_[1].second);
    for (size_t i = 2; i < sets_.size() && !acc.is_empty(); ++i) acc.and_inplace(*sets_[i].second);
    if (acc.is_empty()) return;
    if (out.is_empty()) {
      out = std::move(acc);
    } else {
      out.or_inplace(acc);
    }
  }

 private:
  // Needles are short in practice; longer ones spill to the heap.
  absl::InlinedVector<std::pair<uint64_t, const IdSet*>, 24> sets_;
};

}  // namespace

const PositionalBitmap::Cell& PositionalBitmap::cell(size_t pos, size_t index) const {
  return checked_at(checked_at(positions_, pos)->cells, index);
}

PositionalBitmap::Cell& PositionalBitmap::cell(size_t pos, size_t index) {
  return checked_at(checked_at(positions_, pos)->cells, index);
}

void PositionalBitmap::expand_map(size_t n) {
  const size_t target = (n + 3) / 2 * 2;  // n + 2 rounded up to even
  const size_t old_width = width();
  if (old_width >= target) return;
  const size_t added = target - old_width;
  // Allocate first so that a failed allocation leaves the row untouched.
  std::vector<std::unique_ptr<Position>> fresh;
  fresh.reserve(added);
  for (size_t i = 0; i < added; ++i) fresh.push_back(std::make_unique<Position>());
  positions_.reserve(target);
  for (auto& p : fresh) positions_.push_back(std::move(p));
  // Half of the new positions go in front: every old position, and the
  // centre with it, moves up by added / 2.
  std::rotate(positions_.begin(), positions_.end() - static_cast<std::ptrdiff_t>(added / 2), positions_.end());
}

template <typename Add>
void PositionalBitmap::for_each_cell(std::string_view bytes, Add&& add) {
  const size_t n = bytes.size();
  const size_t s = start_of(n);
  add(cell(s, kStartCell));
  add(cell(s + n - 1, kEndCell));
  for (size_t k = 0; k < n; ++k) add(cell(s + k, byte_at(bytes, k)));
}

void PositionalBitmap::insert(std::string_view bytes, uint32_t id) {
  if (bytes.empty()) {
    empty_.bitmap().add(id);
    return;
  }
  expand_map(bytes.size());
  for_each_cell(bytes, [id](Cell& c) { c.bitmap().add(id); });
}

void PositionalBitmap::buffered_insert(std::string_view bytes, uint32_t id) {
  if (bytes.empty()) {
    empty_.buffered_add(id);
    return;
  }
  expand_map(bytes.size());
  for_each_cell(bytes, [id](Cell& c) { c.buffered_add(id); });
}

void PositionalBitmap::flush_all() {
  for (auto& position : positions_) {
    position->cells[kStartCell].flush();
    position->cells[kEndCell].flush();
    for (size_t b = 0; b < 256; ++b) position->cells[b].flush();
  }
  empty_.flush();
}

void PositionalBitmap::keep_only(const IdSet& keep) {
  flush_all();
  for (auto& position : positions_) {
    for (Cell& c : position->cells) {
      if (!c.bitmap().is_empty()) c.bitmap().and_inplace(keep);
    }
  }
  empty_.bitmap().and_inplace(keep);
}

void PositionalBitmap::remove(std::string_view bytes, uint32_t id) {
  // A queued copy of the id would come back at the next flush, so a cell
  // with pending ids is flushed before the id leaves it.
  auto drop = [id](Cell& c) {
    if (c.pending_count() > 0) c.flush();
    c.bitmap().remove(id);
  };
  if (bytes.empty()) {
    drop(empty_);
    return;
  }
  const size_t n = bytes.size();
  if (n + 2 > width()) {
    internal_error("index out of range: a string of " + std::to_string(n) +
                   " bytes does not fit a positional map of width " + std::to_string(width()));
  }
  for_each_cell(bytes, drop);
}

IdSet PositionalBitmap::equal(std::string_view bytes) const {
  const size_t n = bytes.size();
  if (n == 0) return empty_.bitmap();
  IdSet out;
  if (n + 2 > width()) return out;
  const size_t s = start_of(n);
  Conjunction term;
  if (!term.add(start_set(s)) || !term.add(end_set(s + n - 1))) return out;
  for (size_t k = 0; k < n; ++k) {
    if (!term.add(byte_set(s + k, byte_at(bytes, k)))) return out;
  }
  term.or_into(out);
  return out;
}

IdSet PositionalBitmap::starts_with(std::string_view bytes) const {
  const size_t n = bytes.size();
  if (n == 0) return any_string();
  IdSet out;
  const size_t w = width();
  if (n + 2 > w) return out;
  // A string of L >= n bytes starts at W/2 - L/2 - 1, never after the start
  // of a string of exactly n bytes.
  const size_t last_start = w / 2 - n / 2 - 1;
  Conjunction term;
  for (size_t s = 0; s <= last_start; ++s) {
    term.clear();
    bool live = term.add(start_set(s));
    for (size_t k = 0; live && k < n; ++k) live = term.add(byte_set(s + k, byte_at(bytes, k)));
    if (live) term.or_into(out);
  }
  return out;
}

IdSet PositionalBitmap::ends_with(std::string_view bytes) const {
  const size_t n = bytes.size();
  if (n == 0) return any_string();
  IdSet out;
  const size_t w = width();
  if (n + 2 > w) return out;
  // A string of L >= n bytes ends at W/2 + ceil(L/2) - 2, never before the
  // end of a string of exactly n bytes.
  const size_t first_end = w / 2 + (n + 1) / 2 - 2;
  Conjunction term;
  for (size_t e = first_end; e < w; ++e) {
    term.clear();
    bool live = term.add(end_set(e));
    for (size_t k = 0; live && k < n; ++k) live = term.add(byte_set(e - k, byte_at(bytes, n - 1 - k)));
    if (live) term.or_into(out);
  }
  return out;
}

IdSet PositionalBitmap::contains(std::string_view bytes) const {
  const size_t n = bytes.size();
  if (n == 0) return any_string();
  IdSet out;
  const size_t w = width();
  if (n > w) return out;
  // Byte cells only hold ids inside their own string, so n matching
  // consecutive cells are an occurrence; no boundary test is needed.
  Conjunction term;
  for (size_t s = 0; s + n <= w; ++s) {
    term.clear();
    bool live = true;
    for (size_t k = 0; live && k < n; ++k) live = term.add(byte_set(s + k, byte_at(bytes, k)));
    if (live) term.or_into(out);
  }
  return out;
}

IdSet PositionalBitmap::any_string() const {
  IdSet out = empty_.bitmap();
  // Every stored string starts in the front half.
  for (size_t s = 0; s < width() / 2; ++s) out.or_inplace(start_set(s));
  return out;
}

}  // namespace calderwick
