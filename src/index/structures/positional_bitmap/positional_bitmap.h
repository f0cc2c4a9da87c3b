// PositionalBitmap: the string index of one attribute.
//
// A growable row of W positions (W even, only grows, 0 for a new map). Every
// position holds id sets keyed by 258 keys: one per byte value 0..255 (ids
// whose string has that byte here), START (ids whose string begins here) and
// END (ids whose string ends here). Start and end are kept apart so that a
// one-byte prefix test cannot pick up a two-byte string by its second byte.
//
// Only keys that hold ids exist. A position keeps the ids of its rare keys as
// sorted packed words (key << 32 | id) in one small vector; a key that gathers
// kPromoteAt ids moves into a bitmap cell of its own, and a cell that empties
// is dropped. So a position costs 32 bytes plus about 8 bytes per rare id,
// and a long string stored once costs little more than its length times 8,
// while heavily shared keys get compressed bitmaps. Each key lives in exactly
// one of the two forms.
//
// A string of n >= 1 bytes is centred: it starts at s = W/2 - n/2 - 1, byte k
// sits at s+k, START at s, END at s+n-1 (the same position when n == 1).
// Before a string is stored the row is widened to at least n + 2 positions,
// half of the new positions in front, so every stored string keeps its place
// relative to the centre and the rule above stays exact after any growth.
// The empty string touches no position; its ids live in a separate set.
//
// Equality on a string held by one id does not intersect cells: a table of
// sole holders (SoleHolders) gives that id in O(1), a hash match confirmed
// by reading the id's cells at the string's place, and tells a string held
// by no id. Strings held by several ids are only counted there, in a slot
// a hash, and answered by the intersection of their cells. It costs 8 bytes
// a slot, about 12 a string held alone.
//
// Strings are raw bytes compared exactly. Each id holds at most one string.
// There is no lock here: the owning index calls every member under its own
// lock (queries under the read lock). Ids given to `buffered_insert` may
// wait in a bitmap cell's buffer: queries see all of them only after
// `flush_all()` (ids that land in a run are visible at once).
//
// Lead pairs. A prefix of two or more bytes is, per start position, an
// intersection of its first two byte cells, and over many strings on a small
// alphabet those cells are large and alike in size: at 10^6 six-letter
// strings each holds ~38,000 ids and their intersection is the whole cost of
// the query. So the map can also hold, beside the row, one id set per pair
// of leading bytes: the ids whose string (of two or more bytes, wherever it
// starts) begins with that pair. A two-byte prefix is then one of those sets,
// and a longer one, or an equality once they exist, starts its
// intersections from it. They cost about 2.7 bytes an id while they exist.
// A bulk load leaves a map of kLoadBuildAt strings or more with them, so that
// no query after it pays the build (~10 ms at 10^6 strings): the load that
// brings the map there builds them over the flushed row, and later loads
// queue their ids into them as they queue ids into the row. Direct writes
// and moves keep them current, and a narrowing filters them, unless it
// leaves the map below kLoadBuildAt strings: then it drops them. A smaller
// map sweeps cheaply; it is given them on demand: first by the prefix query
// whose sweep would bring the sweeps to kFirstBuildWork cell ids, and after
// they were dropped, by the one that would bring them to about as many cell
// ids as a rebuild costs, so that a write-heavy workload never pays more
// than about twice what the sweeps alone would cost. Queries run
// concurrently: the one that builds takes a mutex without blocking, the
// others sweep meanwhile.
//
//   PositionalBitmap map;
//   map.insert("hello", 1);
//   map.insert("lob", 2);
//   IdSet both = map.contains("lo");     // {1, 2}
//   IdSet one = map.ends_with("lo");     // {1}
//   map.remove("lob", 2);
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "index/common/built_on_demand.h"
#include "index/common/id_set.h"
#include "index/common/queued_moves.h"
#include "index/structures/buffered_bitmap/buffered_bitmap.h"
#include "index/structures/key_table/key_table.h"

namespace calderwick {

class PositionalBitmap {
 public:
  using Cell = BufferedBitmap<32>;

  // Keys of one position: byte values first, then the two boundaries.
  static constexpr size_t kStartCell = 256;
  static constexpr size_t kEndCell = 257;
  static constexpr size_t kCellsPerPosition = 258;
  // A key holding this many ids at one position gets a bitmap cell.
  static constexpr size_t kPromoteAt = 16;

  // The ids of one key at one position, as stored: a bitmap cell, a run of
  // packed words (ascending ids), or nothing.
  struct CellView {
    const IdSet* bitmap = nullptr;
    std::span<const uint64_t> run;

    bool empty() const { return bitmap ? bitmap->is_empty() : run.empty(); }
    uint64_t size() const { return bitmap ? bitmap->cardinality() : run.size(); }
    bool contains(uint32_t id) const;
  };

  // How prefixes of two or more bytes are answered: by the sweep until the
  // lead pairs pay for themselves (the default), always by the sweep (lead
  // pairs already built are kept current but not read, and no load builds
  // them), or from the lead pairs, built by any load (whatever the size of
  // the map) or else by the first query that can use them. Equality follows
  // the plan in reading lead pairs already built.
  enum class PrefixPlan : uint8_t { kAuto, kSweep, kLeadPairs };
  // The lead pairs are first built once the sweeps have visited this many
  // cell ids (~30 us of sweeping; at 10^6 six-letter strings one two-letter
  // prefix visits ~77,000).
  static constexpr uint64_t kFirstBuildWork = uint64_t(1) << 16;
  // Once dropped, they are rebuilt when the sweeps have visited this many
  // cell ids per stored string (at 10^6 six-letter strings a build takes
  // ~10 ms and a sweep visits a cell id in ~0.44 ns:
  // benchmarks/positional_bitmap_benchmark.cpp, BuildLeadPairs and
  // StartsWithSixLetter).
  static constexpr uint64_t kBuildWork = 24;
  // A bulk load leaves a map of this many strings ("" included) with the
  // lead pairs; built on demand they would cost a query up to ~0.7 ms.
  static constexpr uint64_t kLoadBuildAt = uint64_t(1) << 16;

  PositionalBitmap();
  ~PositionalBitmap();
  // Moves are writes: no query may run on either map meanwhile.
  PositionalBitmap(PositionalBitmap&& other) noexcept;
  PositionalBitmap& operator=(PositionalBitmap&& other) noexcept;

  // Stores `bytes` for `id` straight into the bitmaps.
  void insert(std::string_view bytes, uint32_t id);
  // The same through the bitmap cells' write buffers (and the lead pairs',
  // if built); call `flush_all()` before any query is allowed to run.
  void buffered_insert(std::string_view bytes, uint32_t id);
  // Applies queued moves, then every queued id: the bitmap cells position by
  // position, the empty-string set, then the lead pairs. After a bulk load,
  // builds the lead pairs if the map has grown to kLoadBuildAt strings.
  void flush_all();
  // Drops `id` from every cell `bytes` occupies under the current width. A
  // string that could not have been stored at this width is an InternalError
  // raised before anything changes.
  void remove(std::string_view bytes, uint32_t id);
  // `id` moves from `old_bytes` (which it holds) to `bytes`: the cells both
  // strings occupy are left as they are.
  void replace(std::string_view old_bytes, std::string_view bytes, uint32_t id);
  // The same, deferred: queued moves are applied together by the next flush,
  // any other write, or the kMoveBatch-th queued move. Each id's moves
  // collapse into one (a string set and set back costs nothing), and each
  // move's cells are asked for a few moves ahead, so the misses of
  // different moves overlap. A reader that finds moves queued
  // (`has_queued_moves`) must have them flushed first, under the writer's
  // lock. A move whose two strings hold more than kQueuedBytes is written
  // at once (after the queue), so the queue holds at most ~40 KB; so is one
  // made when a query has read the map since the last write.
  void queue_replace(std::string_view old_bytes, std::string_view bytes, uint32_t id);
  bool has_queued_moves() const { return !moves_.empty(); }
  // Queries call this as they read the map (any thread, read lock).
  void note_read() const { note(read_since_write_); }
  static constexpr size_t kMoveBatch = 256;
  static constexpr size_t kQueuedBytes = 64;
  // Drops every id outside `keep` from every cell and lead pair (narrowing of
  // the index); see the header comment for when it drops the lead pairs.
  void keep_only(const IdSet& keep);

  // Each query returns a fresh set. With `within`, only ids in it are
  // returned, and it joins every intersection as one more operand, so a
  // small `within` keeps the work small.
  IdSet equal(std::string_view bytes, const IdSet* within = nullptr) const;
  IdSet starts_with(std::string_view bytes, const IdSet* within = nullptr) const;
  IdSet ends_with(std::string_view bytes, const IdSet* within = nullptr) const;
  IdSet contains(std::string_view bytes, const IdSet* within = nullptr) const;
  // Every id that holds a string, "" included.
  IdSet any_string() const;

  size_t width() const { return positions_.size(); }

  // Copies of single sets for tests and diagnostics; a position >= width()
  // is an InternalError.
  IdSet byte_set(size_t pos, uint8_t byte) const { return to_set(view(pos, byte)); }
  IdSet start_set(size_t pos) const { return to_set(view(pos, kStartCell)); }
  IdSet end_set(size_t pos) const { return to_set(view(pos, kEndCell)); }
  const IdSet& empty_set() const { return empty_.bitmap(); }
  // The keys that hold at least one id at `pos` (queued ids included), ascending.
  std::vector<size_t> keys_at(size_t pos) const;
  // How many keys of the whole row have a bitmap cell rather than a run.
  size_t bitmap_cells() const;

  // Tests and benchmarks: choose how prefixes are answered. Not thread safe:
  // set it before queries start.
  void set_prefix_plan(PrefixPlan plan) { plan_ = plan; }
  // Tests: the size from which loads leave the map with the lead pairs and
  // narrowings keep them (kLoadBuildAt unless set).
  void set_load_build_at(uint64_t strings) { load_build_at_ = strings; }
  // Whether the lead pairs are built (and current), and how many pairs they hold.
  bool has_lead_pairs() const { return lead_.ready() != nullptr; }
  size_t lead_pair_count() const;

 private:
  // The bitmap cells of one position in key order, with a presence mask so
  // that finding the cell of a key takes a few popcounts.
  class BigCells {
   public:
    Cell* find(size_t key) { return has(key) ? &cells_[rank(key)] : nullptr; }
    const Cell* find(size_t key) const { return has(key) ? &cells_[rank(key)] : nullptr; }
    // `key` must not have a cell yet.
    void insert(size_t key, Cell cell);
    // `key` must have a cell.
    void erase(size_t key);
    bool empty() const { return cells_.empty(); }
    size_t size() const { return cells_.size(); }
    // Calls f(key, cell) in key order.
    template <typename F>
    void for_each(F&& f) {
      each(*this, f);
    }
    template <typename F>
    void for_each(F&& f) const {
      each(*this, f);
    }

   private:
    template <typename Self, typename F>
    static void each(Self& self, F& f) {
      size_t i = 0;
      for (size_t w = 0; w < self.mask_.size(); ++w) {
        for (uint64_t bits = self.mask_[w]; bits; bits &= bits - 1) {
          f(w * 64 + size_t(std::countr_zero(bits)), self.cells_[i++]);
        }
      }
    }
    bool has(size_t key) const { return (mask_[key / 64] >> (key % 64)) & 1; }
    size_t rank(size_t key) const {
      return before_[key / 64] + size_t(std::popcount(mask_[key / 64] & ((uint64_t(1) << (key % 64)) - 1)));
    }
    static constexpr size_t kWords = (kCellsPerPosition + 63) / 64;
    std::array<uint64_t, kWords> mask_{};
    // before_[w]: cells of the keys below word w of the mask.
    std::array<uint16_t, kWords> before_{};
    std::vector<Cell> cells_;
  };
  // Rare keys in `small` (sorted packed words), the others in `big`; a key
  // is in one of them or absent.
  struct Position {
    absl::InlinedVector<uint64_t, 2> small;
    std::unique_ptr<BigCells> big;
  };

  static uint64_t pack(size_t key, uint32_t id) { return (uint64_t(key) << 32) | id; }
  static IdSet to_set(const CellView& v);

  const Position& position(size_t pos) const { return checked_at(positions_, pos); }
  Position& position(size_t pos) { return checked_at(positions_, pos); }
  CellView view(size_t pos, size_t key) const;
  // Adds `id` under `key` at `pos` < width(); through the cell buffer when
  // `buffered`.
  void add(size_t pos, size_t key, uint32_t id, bool buffered);
  // Drops `id` from `key` at `pos` < width(), freeing a cell that becomes empty.
  void drop(size_t pos, size_t key, uint32_t id);
  // Moves the run of `key` at `p` into a bitmap cell.
  static void promote(Position& p, size_t key);

  // Moves. The keys a move leaves and takes (for strings of one length, only
  // those that differ); the sets it writes (bitmap cells and lead pairs); the
  // writes. In place only when both strings are non-empty and the new one
  // fits the row; otherwise a move is a removal and an insertion.
  using MoveKeys = absl::InlinedVector<std::pair<size_t, size_t>, 16>;  // position, key
  bool fits_in_place(std::string_view old_bytes, std::string_view bytes) const;
  void move_keys(std::string_view old_bytes, std::string_view bytes, MoveKeys& gone, MoveKeys& come) const;
  void move_sets(std::string_view old_bytes, std::string_view bytes, const MoveKeys& gone, const MoveKeys& come,
                 absl::InlinedVector<IdSet*, 18>& out);
  // Writes one move on flushed bitmaps; `prefetch` first asks for all its
  // sets together (a batch asks moves ahead instead).
  void write_move(std::string_view old_bytes, std::string_view bytes, uint32_t id, bool prefetch);
  struct Move {
    std::string from;
    std::string to;
    uint32_t id;
  };
  void apply_moves();

  // Widens the row so that a string of n bytes fits (W >= n + 2, W even).
  void expand_map(size_t n);
  // Start position of a string of n >= 1 bytes under the current width; the
  // caller has made sure that n + 2 <= W.
  size_t start_of(size_t n) const { return width() / 2 - n / 2 - 1; }
  // Calls f(position, key) for every key a string of n >= 1 bytes occupies;
  // a string wider than the row is an InternalError raised before any call.
  template <typename F>
  void for_each_key(std::string_view bytes, F&& f) const;

  // The sole holders: their hash of a string, and the check that `id` holds
  // the non-empty `bytes` (on a flushed map, as queries see it).
  static uint32_t hash_of(std::string_view bytes);
  bool holds(uint32_t id, std::string_view bytes) const;
  void strings_added(std::string_view bytes, uint32_t id) { strings_.add(id, hash_of(bytes)); }
  // The intersection of the string's cells.
  IdSet equal_by_cells(std::string_view bytes, const IdSet* within) const;
  // Bulk writer: the sole holders take the strings kStringBatch at a time,
  // each one's slot asked for as it is queued, so that the misses of a batch
  // overlap. Every other write, and the flush, applies the queue first.
  struct QueuedString {
    uint32_t hash;
    uint32_t id;
  };
  static constexpr size_t kStringBatch = 64;
  void add_queued_strings();

  struct LeadPairs;
  static uint16_t pair_of(std::string_view bytes) { return uint16_t(uint8_t(bytes[0]) << 8 | uint8_t(bytes[1])); }
  // The lead pairs if built, else built now when owed, counting the `work`
  // (cell ids) the caller's sweep would add (see the header comment); null
  // when the caller should sweep.
  const LeadPairs* lead_pairs(uint64_t work) const;
  std::unique_ptr<LeadPairs> build_lead_pairs() const;
  // Stored strings, "" included.
  uint64_t string_count() const;
  // Writers: keep the lead pairs current, or drop them.
  void lead_added(std::string_view bytes, uint32_t id);
  void lead_removed(std::string_view bytes, uint32_t id);
  void drop_lead_pairs();

  std::vector<Position> positions_;
  Cell empty_;
  SoleHolders strings_;  // of the non-empty strings
  std::vector<QueuedString> queued_strings_;

  PrefixPlan plan_ = PrefixPlan::kAuto;
  BuiltOnDemand<LeadPairs> lead_;
  std::vector<Move> moves_;  // queued replacements, in the order made
  mutable std::atomic<bool> read_since_write_{false};
  // Cell ids visited by the sweeps of prefixes of two or more bytes since the
  // lead pairs were last dropped, and how many of them per stored string
  // pay for a rebuild (0 before the first build).
  mutable std::atomic<uint64_t> owed_work_{0};
  uint64_t rebuild_work_ = 0;
  uint64_t load_build_at_ = kLoadBuildAt;
  // Ids were queued by `buffered_insert` since the last flush.
  bool loaded_ = false;
};

}  // namespace calderwick
