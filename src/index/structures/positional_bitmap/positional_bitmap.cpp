#include "index/structures/positional_bitmap/positional_bitmap.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "absl/container/inlined_vector.h"
#include "index/common/error.h"
#include "index/structures/string_interner/string_interner.h"

namespace calderwick {

namespace {

inline uint8_t byte_at(std::string_view bytes, size_t k) { return static_cast<uint8_t>(bytes[k]); }
inline uint32_t id_of(uint64_t word) { return static_cast<uint32_t>(word); }

IdSet restricted(IdSet set, const IdSet* within) {
  if (within) set.and_within(*within);
  return set;
}

// The intersection of a handful of cells, ORed into a result. Cells are
// collected one by one; an empty cell makes the whole term empty, so the
// caller can drop the candidate position before touching the rest.
class Conjunction {
 public:
  using View = PositionalBitmap::CellView;

  // `within`, when given, is an operand of every term.
  explicit Conjunction(const IdSet* within) : within_(within) {}

  // Returns false once the term is known to be empty.
  bool add(const View& v) {
    if (v.empty() || (within_ && within_->is_empty())) return false;
    views_.push_back(v);
    return true;
  }
  void clear() { views_.clear(); }

  // ORs the term into `out`. `within` joins the term only when it is smaller
  // than every cell (a narrowed universe); a larger one would only add work,
  // and the caller cuts the final result to it anyway.
  void or_into(IdSet& out) {
    if (views_.empty()) return;
    if (within_) {
      uint64_t smallest = UINT64_MAX;
      for (const View& v : views_) smallest = std::min(smallest, v.size());
      if (within_->cardinality() < smallest) views_.push_back(View{within_, {}});
    }
    // A run holds few ids: test them one by one against the other cells
    // instead of intersecting bitmaps.
    const View* shortest = nullptr;
    for (const View& v : views_) {
      if (!v.bitmap && (!shortest || v.run.size() < shortest->run.size())) shortest = &v;
    }
    if (shortest) {
      absl::InlinedVector<uint32_t, PositionalBitmap::kPromoteAt> hits;
      for (uint64_t word : shortest->run) {
        const uint32_t id = id_of(word);
        bool all = true;
        for (const View& v : views_) {
          if (&v != shortest && !v.contains(id)) {
            all = false;
            break;
          }
        }
        if (all) hits.push_back(id);
      }
      out.add_many(hits.data(), hits.size());
      return;
    }
    if (views_.size() == 1) {
      out.or_inplace(*views_[0].bitmap);
      return;
    }
    // Smallest cells first, so the running intersection shrinks as early as it can.
    sized_.clear();
    for (const View& v : views_) sized_.push_back({v.bitmap->cardinality(), v.bitmap});
    std::sort(sized_.begin(), sized_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    IdSet acc = IdSet::and_(*sized_[0].second, *sized_[1].second);
    for (size_t i = 2; i < sized_.size() && !acc.is_empty(); ++i) acc.and_inplace(*sized_[i].second);
    if (acc.is_empty()) return;
    if (out.is_empty()) {
      out = std::move(acc);
    } else {
      out.or_inplace(acc);
    }
  }

 private:
  const IdSet* within_;
  // Needles are short in practice; longer ones spill to the heap.
  absl::InlinedVector<View, 24> views_;
  absl::InlinedVector<std::pair<uint64_t, const IdSet*>, 24> sized_;
};

// Calls f(id) for every id of a cell view in [low, high].
template <typename F>
void each_id_in(const PositionalBitmap::CellView& v, uint32_t low, uint32_t high, F&& f) {
  if (v.bitmap) {
    v.bitmap->for_each_in(low, high, f);
    return;
  }
  // Every word of a run has the same key, so words order like their ids.
  const uint64_t key_bits = v.run.empty() ? 0 : v.run.front() & ~uint64_t(0xffffffffu);
  for (auto it = std::lower_bound(v.run.begin(), v.run.end(), key_bits | low); it != v.run.end(); ++it) {
    if (id_of(*it) > high) return;
    f(id_of(*it));
  }
}

// The least id >= `id` of a cell view, if any.
std::optional<uint32_t> next_id(const PositionalBitmap::CellView& v, uint32_t id) {
  if (v.bitmap) return v.bitmap->next_at_or_after(id);
  const uint64_t key_bits = v.run.empty() ? 0 : v.run.front() & ~uint64_t(0xffffffffu);
  const auto it = std::lower_bound(v.run.begin(), v.run.end(), key_bits | id);
  if (it == v.run.end()) return std::nullopt;
  return id_of(*it);
}

// Calls f(byte, view) for every byte key that holds ids at position `p`.
template <typename Position, typename F>
void each_byte_cell(const Position& p, F&& f) {
  for (auto first = p.small.begin(); first != p.small.end();) {
    const uint64_t key = *first >> 32;
    auto last = first;
    while (last != p.small.end() && (*last >> 32) == key) ++last;
    if (key < 256) f(size_t(key), PositionalBitmap::CellView{nullptr, std::span<const uint64_t>(first, last)});
    first = last;
  }
  if (!p.big) return;
  p.big->for_each([&](size_t key, const auto& cell) {
    if (key < 256) f(key, PositionalBitmap::CellView{&cell.bitmap(), {}});
  });
}

}  // namespace

// One id set per pair of leading bytes (see the header comment). Each set is
// a bitmap cell, so that a bulk load queues its ids as it does for the row.
struct PositionalBitmap::LeadPairs {
  std::vector<uint16_t> keys;  // ascending
  std::vector<Cell> sets;      // sets[i] belongs to keys[i] and is never empty
  // first[b]: how many keys have a first byte below b. A key is searched
  // among the few that share its first byte: two cache lines instead of a
  // binary search over hundreds, which a write takes cold.
  std::array<uint32_t, 257> first{};

  size_t rank(uint16_t key) const {
    const auto begin = keys.begin() + first[key >> 8];
    const auto end = keys.begin() + first[(key >> 8) + 1];
    return size_t(std::lower_bound(begin, end, key) - keys.begin());
  }
  Cell* cell(uint16_t key) {
    const size_t i = rank(key);
    return i < keys.size() && keys[i] == key ? &sets[i] : nullptr;
  }
  // Readers: the set of `key`, flushed; null if the key has none.
  const IdSet* find(uint16_t key) const {
    const size_t i = rank(key);
    return i < keys.size() && keys[i] == key ? &sets[i].bitmap() : nullptr;
  }
  // The cell of `key`, made empty if the key has none.
  Cell& at(uint16_t key) {
    const size_t i = rank(key);
    if (i == keys.size() || keys[i] != key) {
      keys.insert(keys.begin() + std::ptrdiff_t(i), key);
      sets.insert(sets.begin() + std::ptrdiff_t(i), Cell());
      for (size_t b = (key >> 8) + 1; b < first.size(); ++b) ++first[b];
    }
    return sets[i];
  }
  // Drops `key`, which has a set.
  void erase(uint16_t key) {
    const size_t i = rank(key);
    keys.erase(keys.begin() + std::ptrdiff_t(i));
    sets.erase(sets.begin() + std::ptrdiff_t(i));
    for (size_t b = (key >> 8) + 1; b < first.size(); ++b) --first[b];
  }
  // Appends `key`, above every key held.
  void push_back(uint16_t key, IdSet set) {
    keys.push_back(key);
    sets.emplace_back();
    sets.back().bitmap() = std::move(set);
    for (size_t b = (key >> 8) + 1; b < first.size(); ++b) first[b] = uint32_t(keys.size());
  }
  // Drops every id outside `keep` (flushed sets), and the keys left empty.
  void keep_only(const IdSet& keep) {
    size_t kept = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      if (sets[i].bitmap().and_inplace(keep).is_empty()) continue;
      keys[kept] = keys[i];
      if (kept != i) sets[kept] = std::move(sets[i]);
      ++kept;
    }
    keys.resize(kept);
    sets.erase(sets.begin() + std::ptrdiff_t(kept), sets.end());
    size_t k = 0;
    for (size_t b = 0; b < first.size(); ++b) {
      while (k < keys.size() && size_t(keys[k] >> 8) < b) ++k;
      first[b] = uint32_t(k);
    }
  }
};

PositionalBitmap::PositionalBitmap() = default;
PositionalBitmap::~PositionalBitmap() = default;

PositionalBitmap::PositionalBitmap(PositionalBitmap&& other) noexcept
    : positions_(std::move(other.positions_)),
      empty_(std::move(other.empty_)),
      strings_(std::move(other.strings_)),
      queued_strings_(std::move(other.queued_strings_)),
      plan_(other.plan_),
      lead_(std::move(other.lead_)),
      moves_(std::move(other.moves_)),
      read_since_write_(other.read_since_write_.load(std::memory_order_relaxed)),
      owed_work_(other.owed_work_.load(std::memory_order_relaxed)),
      rebuild_work_(std::exchange(other.rebuild_work_, 0)),
      load_build_at_(other.load_build_at_),
      loaded_(std::exchange(other.loaded_, false)) {
  other.owed_work_.store(0, std::memory_order_relaxed);
}

PositionalBitmap& PositionalBitmap::operator=(PositionalBitmap&& other) noexcept {
  if (this != &other) {
    positions_ = std::move(other.positions_);
    empty_ = std::move(other.empty_);
    strings_ = std::move(other.strings_);
    queued_strings_ = std::move(other.queued_strings_);
    plan_ = other.plan_;
    lead_ = std::move(other.lead_);
    moves_ = std::move(other.moves_);
    read_since_write_.store(other.read_since_write_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    owed_work_.store(other.owed_work_.load(std::memory_order_relaxed), std::memory_order_relaxed);
    rebuild_work_ = std::exchange(other.rebuild_work_, 0);
    load_build_at_ = other.load_build_at_;
    loaded_ = std::exchange(other.loaded_, false);
    other.owed_work_.store(0, std::memory_order_relaxed);
  }
  return *this;
}

bool PositionalBitmap::CellView::contains(uint32_t id) const {
  if (bitmap) return bitmap->contains(id);
  // Every word of a run has the same key, so words order like their ids.
  const uint64_t key_bits = run.empty() ? 0 : run.front() & ~uint64_t(0xffffffffu);
  return std::binary_search(run.begin(), run.end(), key_bits | id);
}

uint32_t PositionalBitmap::hash_of(std::string_view bytes) {
  uint64_t x = hash_str(bytes);
  x ^= x >> 33;
  x *= 0xFF51AFD7ED558CCDull;
  x ^= x >> 33;
  return static_cast<uint32_t>(x >> 32);
}

bool PositionalBitmap::holds(uint32_t id, std::string_view bytes) const {
  // An id has one START and one END: at the places of a string of n bytes,
  // they give its length, and the byte cells its bytes.
  const size_t n = bytes.size();
  if (n == 0 || n + 2 > width()) return false;
  const size_t s = start_of(n);
  if (!view(s, kStartCell).contains(id) || !view(s + n - 1, kEndCell).contains(id)) return false;
  for (size_t k = 0; k < n; ++k) {
    if (!view(s + k, byte_at(bytes, k)).contains(id)) return false;
  }
  return true;
}

IdSet PositionalBitmap::to_set(const CellView& v) {
  if (v.bitmap) return *v.bitmap;
  IdSet out;
  for (uint64_t word : v.run) out.add(id_of(word));
  return out;
}

void PositionalBitmap::BigCells::insert(size_t key, Cell cell) {
  cells_.insert(cells_.begin() + static_cast<std::ptrdiff_t>(rank(key)), std::move(cell));
  mask_[key / 64] |= uint64_t(1) << (key % 64);
  for (size_t w = key / 64 + 1; w < kWords; ++w) ++before_[w];
}

void PositionalBitmap::BigCells::erase(size_t key) {
  cells_.erase(cells_.begin() + static_cast<std::ptrdiff_t>(rank(key)));
  mask_[key / 64] &= ~(uint64_t(1) << (key % 64));
  for (size_t w = key / 64 + 1; w < kWords; ++w) --before_[w];
}

PositionalBitmap::CellView PositionalBitmap::view(size_t pos, size_t key) const {
  const Position& p = position(pos);
  if (p.big) {
    if (const Cell* c = p.big->find(key)) return CellView{&c->bitmap(), {}};
  }
  const auto first = std::lower_bound(p.small.begin(), p.small.end(), pack(key, 0));
  const auto last = std::lower_bound(first, p.small.end(), pack(key + 1, 0));
  return CellView{nullptr, std::span<const uint64_t>(first, last)};
}

void PositionalBitmap::promote(Position& p, size_t key) {
  const auto first = std::lower_bound(p.small.begin(), p.small.end(), pack(key, 0));
  const auto last = std::lower_bound(first, p.small.end(), pack(key + 1, 0));
  Cell cell;
  for (auto it = first; it != last; ++it) cell.bitmap().add(id_of(*it));
  if (!p.big) p.big = std::make_unique<BigCells>();
  p.big->insert(key, std::move(cell));
  p.small.erase(first, last);
}

void PositionalBitmap::add(size_t pos, size_t key, uint32_t id, bool buffered) {
  Position& p = positions_[pos];
  if (p.big) {
    if (Cell* c = p.big->find(key)) {
      if (buffered) {
        c->buffered_add(id);
      } else {
        c->bitmap().add_in_place(id);
      }
      return;
    }
  }
  const uint64_t word = pack(key, id);
  const auto at = std::lower_bound(p.small.begin(), p.small.end(), word);
  if (at != p.small.end() && *at == word) return;
  p.small.insert(at, word);
  const auto first = std::lower_bound(p.small.begin(), p.small.end(), pack(key, 0));
  const auto last = std::lower_bound(first, p.small.end(), pack(key + 1, 0));
  if (size_t(last - first) >= kPromoteAt) promote(p, key);
}

void PositionalBitmap::drop(size_t pos, size_t key, uint32_t id) {
  Position& p = positions_[pos];
  if (p.big) {
    if (Cell* c = p.big->find(key)) {
      // A queued copy of the id would come back at the next flush.
      if (c->pending_count() > 0) c->flush();
      c->bitmap().remove_in_place(id);
      if (c->bitmap().is_empty()) {
        p.big->erase(key);
        if (p.big->empty()) p.big.reset();
      }
      return;
    }
  }
  const auto at = std::lower_bound(p.small.begin(), p.small.end(), pack(key, id));
  if (at != p.small.end() && *at == pack(key, id)) p.small.erase(at);
}

std::vector<size_t> PositionalBitmap::keys_at(size_t pos) const {
  const Position& p = position(pos);
  std::vector<size_t> keys;
  for (uint64_t word : p.small) {
    const size_t key = size_t(word >> 32);
    if (keys.empty() || keys.back() != key) keys.push_back(key);
  }
  if (p.big) {
    p.big->for_each([&](size_t key, const Cell&) { keys.push_back(key); });
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

size_t PositionalBitmap::bitmap_cells() const {
  size_t n = 0;
  for (const Position& p : positions_) n += p.big ? p.big->size() : 0;
  return n;
}

void PositionalBitmap::expand_map(size_t n) {
  const size_t target = (n + 3) / 2 * 2;  // n + 2 rounded up to even
  const size_t old_width = width();
  if (old_width >= target) return;
  const size_t added = target - old_width;
  // New positions are empty and allocate nothing; reserve first so that a
  // failed allocation leaves the row untouched.
  positions_.reserve(target);
  positions_.resize(target);
  // Half of the new positions go in front: every old position, and the
  // centre with it, moves up by added / 2.
  std::rotate(positions_.begin(), positions_.end() - static_cast<std::ptrdiff_t>(added / 2), positions_.end());
}

template <typename F>
void PositionalBitmap::for_each_key(std::string_view bytes, F&& f) const {
  const size_t n = bytes.size();
  const size_t s = start_of(n);
  // The one range check for the whole string; `add` and `drop` rely on it.
  if (n + 2 > width()) {
    internal_error("index out of range: a string of " + std::to_string(n) +
                   " bytes does not fit a positional map of width " + std::to_string(width()));
  }
  f(s, kStartCell);
  f(s + n - 1, kEndCell);
  for (size_t k = 0; k < n; ++k) f(s + k, byte_at(bytes, k));
}

void PositionalBitmap::add_queued_strings() {
  for (const QueuedString& q : queued_strings_) strings_.add(q.id, q.hash);
  queued_strings_.clear();
}

void PositionalBitmap::insert(std::string_view bytes, uint32_t id) {
  add_queued_strings();
  apply_moves();
  if (bytes.empty()) {
    empty_.bitmap().add(id);
    return;
  }
  expand_map(bytes.size());
  for_each_key(bytes, [&](size_t pos, size_t key) { add(pos, key, id, false); });
  strings_added(bytes, id);
  lead_added(bytes, id);
}

void PositionalBitmap::buffered_insert(std::string_view bytes, uint32_t id) {
  apply_moves();
  loaded_ = true;
  if (bytes.empty()) {
    empty_.buffered_add(id);
    return;
  }
  expand_map(bytes.size());
  for_each_key(bytes, [&](size_t pos, size_t key) { add(pos, key, id, true); });
  const uint32_t hash = hash_of(bytes);
  strings_.prefetch(hash);
  queued_strings_.push_back({hash, id});
  if (queued_strings_.size() == kStringBatch) add_queued_strings();
  if (LeadPairs* lead = lead_.owned(); lead && bytes.size() >= 2) lead->at(pair_of(bytes)).buffered_add(id);
}

void PositionalBitmap::flush_all() {
  add_queued_strings();
  apply_moves();
  for (Position& p : positions_) {
    if (!p.big) continue;
    p.big->for_each([](size_t, Cell& c) { c.flush(); });
  }
  empty_.flush();
  if (!std::exchange(loaded_, false)) return;
  // After a bulk load the lead pairs are current before any query runs:
  // extended by the ids the load queued for them, or built now over the
  // flushed row if the map has grown to hold them. (Built so, they cost a
  // load of 10^6 six-letter strings ~10 ms; queued into as the load files,
  // ~45 ms.)
  if (LeadPairs* lead = lead_.owned()) {
    for (Cell& c : lead->sets) {
      if (c.pending_count() == 0) continue;
      c.flush();
      c.bitmap().run_optimize();
    }
  } else if (plan_ == PrefixPlan::kLeadPairs || (plan_ == PrefixPlan::kAuto && string_count() >= load_build_at_)) {
    lead_.build_once([&] { return build_lead_pairs(); });
  }
}

void PositionalBitmap::keep_only(const IdSet& keep) {
  flush_all();
  for (Position& p : positions_) {
    p.small.erase(std::remove_if(p.small.begin(), p.small.end(), [&](uint64_t w) { return !keep.contains(id_of(w)); }),
                  p.small.end());
    if (!p.big) continue;
    std::vector<size_t> emptied;
    p.big->for_each([&](size_t key, Cell& c) {
      if (c.bitmap().and_inplace(keep).is_empty()) emptied.push_back(key);
    });
    for (size_t key : emptied) p.big->erase(key);
    if (p.big->empty()) p.big.reset();
  }
  empty_.bitmap().and_inplace(keep);
  strings_.keep_only(keep);
  // A map left too small to be given the lead pairs by a load sweeps
  // cheaply, and gets them again only once its sweeps pay for a build.
  if (LeadPairs* lead = lead_.owned()) {
    if (plan_ == PrefixPlan::kAuto && string_count() < load_build_at_) {
      drop_lead_pairs();
    } else {
      lead->keep_only(keep);
    }
  }
}

void PositionalBitmap::remove(std::string_view bytes, uint32_t id) {
  add_queued_strings();
  apply_moves();
  if (bytes.empty()) {
    if (empty_.pending_count() > 0) empty_.flush();
    empty_.bitmap().remove(id);
    return;
  }
  for_each_key(bytes, [&](size_t pos, size_t key) { drop(pos, key, id); });
  strings_.remove(id, hash_of(bytes));
  lead_removed(bytes, id);
}

void PositionalBitmap::replace(std::string_view old_bytes, std::string_view bytes, uint32_t id) {
  add_queued_strings();
  apply_moves();
  if (old_bytes != bytes) write_move(old_bytes, bytes, id, true);
}

void PositionalBitmap::write_move(std::string_view old_bytes, std::string_view bytes, uint32_t id, bool prefetch) {
  if (!fits_in_place(old_bytes, bytes)) {
    remove(old_bytes, id);
    insert(bytes, id);
    return;
  }
  MoveKeys gone, come;
  move_keys(old_bytes, bytes, gone, come);
  // A short string's cells (and lead pairs) lie all over memory: their
  // misses are taken together first.
  if (prefetch && gone.size() + come.size() + 2 <= IdSet::kMaxPrefetch) {
    absl::InlinedVector<IdSet*, 18> sets;
    move_sets(old_bytes, bytes, gone, come, sets);
    IdSet::prefetch_for_write(sets, id);
  }
  for (const auto& [pos, key] : gone) drop(pos, key, id);
  strings_.remove(id, hash_of(old_bytes));
  lead_removed(old_bytes, id);
  for (const auto& [pos, key] : come) add(pos, key, id, false);
  strings_added(bytes, id);
  lead_added(bytes, id);
}

bool PositionalBitmap::fits_in_place(std::string_view old_bytes, std::string_view bytes) const {
  return !old_bytes.empty() && !bytes.empty() && bytes.size() + 2 <= width();
}

void PositionalBitmap::move_keys(std::string_view old_bytes, std::string_view bytes, MoveKeys& gone,
                                 MoveKeys& come) const {
  for_each_key(old_bytes, [&](size_t pos, size_t key) { gone.emplace_back(pos, key); });
  for_each_key(bytes, [&](size_t pos, size_t key) { come.emplace_back(pos, key); });
  if (old_bytes.size() != bytes.size()) return;
  // Same length, same layout: the keys pair up in order, and the cells both
  // strings occupy (the markers, equal bytes) stay as they are.
  size_t kept = 0;
  for (size_t i = 0; i < gone.size(); ++i) {
    if (gone[i] == come[i]) continue;
    gone[kept] = gone[i];
    come[kept] = come[i];
    ++kept;
  }
  gone.resize(kept);
  come.resize(kept);
}

void PositionalBitmap::move_sets(std::string_view old_bytes, std::string_view bytes, const MoveKeys& gone,
                                 const MoveKeys& come, absl::InlinedVector<IdSet*, 18>& out) {
  for (const MoveKeys* keys : {&gone, &come}) {
    for (const auto& [pos, key] : *keys) {
      if (Position& p = positions_[pos]; p.big) {
        if (Cell* c = p.big->find(key)) out.push_back(&c->bitmap());
      }
    }
  }
  if (LeadPairs* lead = lead_.owned()) {
    for (std::string_view s : {old_bytes, bytes}) {
      if (Cell* c = s.size() < 2 ? nullptr : lead->cell(pair_of(s))) out.push_back(&c->bitmap());
    }
  }
}

void PositionalBitmap::queue_replace(std::string_view old_bytes, std::string_view bytes, uint32_t id) {
  if (old_bytes == bytes) return;
  add_queued_strings();
  // Long strings are written at once: a queue of them would hold copies of
  // megabytes, and their cells are many enough to overlap their own misses.
  if (old_bytes.size() + bytes.size() > kQueuedBytes || read_since_write_.exchange(false, std::memory_order_relaxed)) {
    replace(old_bytes, bytes, id);
    return;
  }
  moves_.push_back(Move{std::string(old_bytes), std::string(bytes), id});
  if (moves_.size() >= kMoveBatch) apply_moves();
}

void PositionalBitmap::apply_moves() {
  if (moves_.empty()) return;
  // Taken out first, memory and all: the writes below that fall back to
  // removal and insertion must find nothing queued, and a map that is
  // written rarely keeps no queue.
  std::vector<Move> queued = std::exchange(moves_, {});
  const std::vector<Move> moves = collapse_moves(queued);
  // Each move's cells are asked for a few moves ahead, so that the misses
  // of different moves overlap.
  constexpr size_t kAhead = 3;
  const size_t n = moves.size();
  for (size_t j = 0; j < n + kAhead; ++j) {
    if (j < n) {
      strings_.prefetch(hash_of(moves[j].from));
      strings_.prefetch(hash_of(moves[j].to));
    }
    if (j < n && fits_in_place(moves[j].from, moves[j].to)) {
      MoveKeys gone, come;
      move_keys(moves[j].from, moves[j].to, gone, come);
      absl::InlinedVector<IdSet*, 18> sets;
      move_sets(moves[j].from, moves[j].to, gone, come, sets);
      for (const IdSet* set : sets) set->prefetch_write_of(moves[j].id);
    }
    if (j >= kAhead) write_move(moves[j - kAhead].from, moves[j - kAhead].to, moves[j - kAhead].id, false);
  }
}

IdSet PositionalBitmap::equal(std::string_view bytes, const IdSet* within) const {
  if (bytes.empty()) return within ? IdSet::within(empty_.bitmap(), *within) : empty_.bitmap();
  IdSet out;
  uint32_t one = 0;
  switch (strings_.find(hash_of(bytes), [&](uint32_t id) { return holds(id, bytes); }, &one)) {
    case SoleHolders::Found::kNone: return out;
    case SoleHolders::Found::kOne:
      if (!within || within->contains(one)) out.add(one);
      return out;
    case SoleHolders::Found::kShared: break;
  }
  return equal_by_cells(bytes, within);
}

IdSet PositionalBitmap::equal_by_cells(std::string_view bytes, const IdSet* within) const {
  const size_t n = bytes.size();
  IdSet out;
  if (n + 2 > width()) return out;
  const size_t s = start_of(n);
  Conjunction term(within);
  if (!term.add(view(s, kStartCell)) || !term.add(view(s + n - 1, kEndCell))) return out;
  // Lead pairs already built stand for the first two byte cells (equality
  // never builds them).
  size_t k = 0;
  if (const LeadPairs* pairs = n >= 2 && plan_ != PrefixPlan::kSweep ? lead_.ready() : nullptr) {
    const IdSet* lead = pairs->find(pair_of(bytes));
    if (!lead || !term.add(CellView{lead, {}})) return out;
    k = 2;
  }
  for (; k < n; ++k) {
    if (!term.add(view(s + k, byte_at(bytes, k)))) return out;
  }
  term.or_into(out);
  return restricted(std::move(out), within);
}

IdSet PositionalBitmap::starts_with(std::string_view bytes, const IdSet* within) const {
  const size_t n = bytes.size();
  if (n == 0) return restricted(any_string(), within);
  IdSet out;
  const size_t w = width();
  if (n + 2 > w) return out;
  // A string of L >= n bytes starts at W/2 - L/2 - 1, never after the start
  // of a string of exactly n bytes.
  const size_t last_start = w / 2 - n / 2 - 1;
  // The strings of two or more bytes that begin with the first two bytes of
  // the prefix, wherever they start: the whole answer for two bytes, and an
  // operand of every term for more.
  const IdSet* lead = nullptr;
  uint64_t work = 0;  // cell ids a sweep visits in the first two byte cells
  if (n >= 2) {
    const LeadPairs* pairs = plan_ == PrefixPlan::kSweep ? nullptr : lead_.ready();
    if (!pairs && plan_ != PrefixPlan::kSweep) {
      for (size_t s = 0; s <= last_start; ++s) {
        if (view(s, kStartCell).empty()) continue;
        const CellView first = view(s, byte_at(bytes, 0));
        const CellView second = view(s + 1, byte_at(bytes, 1));
        if (!first.empty() && !second.empty()) work += first.size() + second.size();
      }
      pairs = lead_pairs(work);
    }
    if (pairs) {
      lead = pairs->find(pair_of(bytes));
      if (!lead) return out;
      if (n == 2) return within ? IdSet::within(*lead, *within) : *lead;
    }
  }
  if (!lead && work) owed_work_.fetch_add(work, std::memory_order_relaxed);
  Conjunction term(within);
  for (size_t s = 0; s <= last_start; ++s) {
    term.clear();
    bool live = term.add(view(s, kStartCell));
    if (lead) live = live && term.add(CellView{lead, {}});
    for (size_t k = lead ? 2 : 0; live && k < n; ++k) live = term.add(view(s + k, byte_at(bytes, k)));
    if (live) term.or_into(out);
  }
  return restricted(std::move(out), within);
}

IdSet PositionalBitmap::ends_with(std::string_view bytes, const IdSet* within) const {
  const size_t n = bytes.size();
  if (n == 0) return restricted(any_string(), within);
  IdSet out;
  const size_t w = width();
  if (n + 2 > w) return out;
  // A string of L >= n bytes ends at W/2 + ceil(L/2) - 2, never before the
  // end of a string of exactly n bytes.
  const size_t first_end = w / 2 + (n + 1) / 2 - 2;
  Conjunction term(within);
  for (size_t e = first_end; e < w; ++e) {
    term.clear();
    bool live = term.add(view(e, kEndCell));
    for (size_t k = 0; live && k < n; ++k) live = term.add(view(e - k, byte_at(bytes, n - 1 - k)));
    if (live) term.or_into(out);
  }
  return restricted(std::move(out), within);
}

IdSet PositionalBitmap::contains(std::string_view bytes, const IdSet* within) const {
  const size_t n = bytes.size();
  if (n == 0) return restricted(any_string(), within);
  IdSet out;
  const size_t w = width();
  if (n > w) return out;
  // Byte cells only hold ids inside their own string, so n matching
  // consecutive cells are an occurrence; no boundary test is needed.
  Conjunction term(within);
  for (size_t s = 0; s + n <= w; ++s) {
    term.clear();
    bool live = true;
    for (size_t k = 0; live && k < n; ++k) live = term.add(view(s + k, byte_at(bytes, k)));
    if (live) term.or_into(out);
  }
  return restricted(std::move(out), within);
}

IdSet PositionalBitmap::any_string() const {
  IdSet out = empty_.bitmap();
  // Every stored string starts in the front half.
  std::vector<uint32_t> few;
  for (size_t s = 0; s < width() / 2; ++s) {
    const CellView v = view(s, kStartCell);
    if (v.bitmap) {
      out.or_inplace(*v.bitmap);
    } else {
      for (uint64_t word : v.run) few.push_back(id_of(word));
    }
  }
  out.add_many(few);
  return out;
}

uint64_t PositionalBitmap::string_count() const {
  uint64_t n = empty_.bitmap().cardinality();
  for (size_t s = 0; s < width() / 2; ++s) n += view(s, kStartCell).size();
  return n;
}

size_t PositionalBitmap::lead_pair_count() const {
  const LeadPairs* pairs = lead_.ready();
  return pairs ? pairs->keys.size() : 0;
}

const PositionalBitmap::LeadPairs* PositionalBitmap::lead_pairs(uint64_t work) const {
  if (const LeadPairs* pairs = lead_.ready()) return pairs;
  if (plan_ == PrefixPlan::kSweep) return nullptr;
  if (plan_ == PrefixPlan::kAuto) {
    // The first test also keeps string_count() off the path of small maps.
    const uint64_t owed = owed_work_.load(std::memory_order_relaxed) + work;
    if (owed < kFirstBuildWork || (rebuild_work_ && owed < rebuild_work_ * string_count())) return nullptr;
  }
  return lead_.build_once([&] { return build_lead_pairs(); });  // null: another query builds them, sweep meanwhile
}

std::unique_ptr<PositionalBitmap::LeadPairs> PositionalBitmap::build_lead_pairs() const {
  auto pairs = std::make_unique<LeadPairs>();
  // Per start position s, block of 2^16 ids by block: mark each id starting
  // at s with its first byte, then read the byte at s + 1 of the marked ids.
  // The marks of one block stay in cache; each (s, block) round has its own
  // number, so a mark left by an earlier round never needs clearing.
  constexpr uint32_t kBlock = 1u << 16;
  std::vector<uint32_t> marks(kBlock, 0);  // round << 8 | first byte
  uint32_t round = 0;
  std::vector<uint64_t> entries;  // pair << 32 | id
  for (size_t s = 0; s + 1 < width() && s < width() / 2; ++s) {
    const CellView start = view(s, kStartCell);
    if (start.empty()) continue;
    // The first bytes of the strings starting at s.
    std::vector<std::pair<size_t, IdSet>> firsts;
    each_byte_cell(position(s), [&](size_t b, const CellView& cell) {
      IdSet first;
      if (start.bitmap && cell.bitmap) {
        first = IdSet::and_(*start.bitmap, *cell.bitmap);
      } else {
        const CellView& run = cell.bitmap ? start : cell;
        const CellView& other = cell.bitmap ? cell : start;
        for (uint64_t word : run.run) {
          if (other.contains(id_of(word))) first.add(id_of(word));
        }
      }
      if (!first.is_empty()) firsts.emplace_back(b, std::move(first));
    });
    // Blocks that hold a start at s, in order.
    for (std::optional<uint32_t> next = next_id(start, 0); next;) {
      const uint32_t low = *next & ~(kBlock - 1);
      const uint32_t high = low + (kBlock - 1);
      if (++round == (uint32_t(1) << 24)) {
        std::fill(marks.begin(), marks.end(), 0);
        round = 1;
      }
      for (const auto& [b, first] : firsts) {
        first.for_each_in(low, high, [&](uint32_t id) { marks[id - low] = round << 8 | uint32_t(b); });
      }
      each_byte_cell(position(s + 1), [&](size_t b, const CellView& cell) {
        each_id_in(cell, low, high, [&](uint32_t id) {
          const uint32_t mark = marks[id - low];
          if (mark >> 8 == round) entries.push_back(uint64_t((mark & 0xff) << 8 | b) << 32 | id);
        });
      });
      next = high == UINT32_MAX ? std::nullopt : next_id(start, high + 1);
    }
  }

  // Group by pair. Each start position gives a pair its ids in ascending
  // order; a pair fed by several is sorted once.
  std::vector<uint32_t> begin(65537, 0);
  for (uint64_t e : entries) ++begin[size_t(e >> 32) + 1];
  for (size_t k = 1; k < begin.size(); ++k) begin[k] += begin[k - 1];
  std::vector<uint32_t> ids(entries.size());
  {
    std::vector<uint32_t> next(begin.begin(), begin.end() - 1);
    for (uint64_t e : entries) ids[next[size_t(e >> 32)]++] = id_of(e);
  }
  entries = {};
  for (size_t key = 0; key < 65536; ++key) {
    const auto first = ids.begin() + begin[key];
    const auto last = ids.begin() + begin[key + 1];
    if (first == last) continue;
    if (!std::is_sorted(first, last)) std::sort(first, last);
    IdSet set = IdSet::from_sorted(std::span<const uint32_t>(&*first, size_t(last - first)));
    set.run_optimize();
    pairs->push_back(uint16_t(key), std::move(set));
  }
  return pairs;
}

void PositionalBitmap::lead_added(std::string_view bytes, uint32_t id) {
  LeadPairs* lead = lead_.owned();
  if (!lead || bytes.size() < 2) return;
  lead->at(pair_of(bytes)).bitmap().add(id);
}

void PositionalBitmap::lead_removed(std::string_view bytes, uint32_t id) {
  LeadPairs* lead = lead_.owned();
  if (!lead || bytes.size() < 2) return;
  Cell* c = lead->cell(pair_of(bytes));
  if (!c) return;
  // A queued copy of the id would come back at the next flush.
  if (c->pending_count() > 0) c->flush();
  if (c->bitmap().remove(id).is_empty()) lead->erase(pair_of(bytes));
}

void PositionalBitmap::drop_lead_pairs() {
  if (!lead_.drop()) return;
  rebuild_work_ = kBuildWork;
  owed_work_.store(0, std::memory_order_relaxed);
}

}  // namespace calderwick
