// StrInterner: attribute names to dense 32-bit ids, process-wide.
//
// Names are interned once and never released; ids start at 0 and are handed
// out in order. Everything the interner stores is append-only, so readers
// never lock and never count references:
//
//   * name bytes live in an arena of fixed chunks that never move;
//   * `id -> name` is a segmented array: segment k holds kFirstSegment << k
//     entries, so a segment, once allocated, never moves either;
//   * `name -> id` is an open-addressing table of packed (hash tag, id + 1)
//     words, at most half full. A writer fills free slots in place with a
//     release store. When the table would pass half full, the writer builds
//     one of twice the size and publishes it; the old table is retired, not
//     freed, because a reader may still be probing it. Retired tables are
//     freed with the interner; their total size is below that of the live
//     table, so retention costs at most a constant factor.
//
// Publication order (writer, under the mutex): name bytes, then the entry of
// the id, then the table slot (or a new table), then the count. A reader that
// sees a count c (acquire) therefore sees every entry below c and a table
// holding every id below c. A snapshot is that count plus the table pointer:
// it answers only for ids below its count, so it never changes after it was
// taken, and taking one costs two atomic loads.
//
// Interning a new name costs amortised O(1) (table growth is geometric); a
// lookup hashes the name once and probes a table that is at most half full.
//
//   uint32_t id = INTERNER().intern("name");
//   auto snap = INTERNER().snapshot();
//   std::optional<uint32_t> same = snap->get("name");
//   std::string_view text = snap->resolve(id);   // valid for the interner's life
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "index/common/locks.h"

namespace calderwick {

// Fx byte-string hash of a name.
uint64_t hash_str(std::string_view text);

class StrInterner;

namespace interner_detail {

// One name: its bytes in the arena.
struct Entry {
  const char* data;
  uint32_t len;
};

// Open-addressing table; a slot is 0 when free, else (tag << 32) | (id + 1)
// where tag is the high half of the name's hash.
struct Table {
  explicit Table(size_t capacity);
  size_t mask;
  std::unique_ptr<std::atomic<uint64_t>[]> slots;
};

inline constexpr size_t kFirstSegment = 1024;
// Segments k = 0..kSegments-1 cover every 32-bit id.
inline constexpr size_t kSegments = 23;

}  // namespace interner_detail

// A fixed view of the interner: the ids handed out before it was taken.
class ImmutableInterner {
 public:
  // The id of `text`, or nothing when it was not interned before this view.
  std::optional<uint32_t> get(std::string_view text) const;
  // The name with id `id`; an id at or beyond size() is an InternalError.
  std::string_view resolve(uint32_t id) const;
  uint64_t hash_str(std::string_view text) const;
  size_t size() const { return count_; }

 private:
  friend class StrInterner;
  ImmutableInterner(const StrInterner* owner, const interner_detail::Table* table, uint32_t count)
      : owner_(owner), table_(table), count_(count) {}

  const StrInterner* owner_;
  const interner_detail::Table* table_;
  uint32_t count_;
};

class StrInterner {
 public:
  using HashFn = uint64_t (*)(std::string_view);

  // A snapshot is a small value; copying it costs nothing and it never
  // changes. It stays valid as long as the interner lives.
  class Snapshot {
   public:
    const ImmutableInterner* operator->() const { return &view_; }
    const ImmutableInterner& operator*() const { return view_; }

   private:
    friend class StrInterner;
    explicit Snapshot(ImmutableInterner view) : view_(view) {}
    ImmutableInterner view_;
  };

  // `hash_fn` is replaceable so that tests can force collisions;
  // `initial_slots` (rounded up to a power of two, at least 2) so that tests
  // can force many table growths.
  explicit StrInterner(HashFn hash_fn = &calderwick::hash_str, size_t initial_slots = 2048);
  ~StrInterner();
  StrInterner(const StrInterner&) = delete;
  StrInterner& operator=(const StrInterner&) = delete;

  // The id of `text`, interning it first if it is new. Safe from any thread.
  uint32_t intern(std::string_view text);
  Snapshot snapshot() const;

 private:
  friend class ImmutableInterner;
  using Entry = interner_detail::Entry;
  using Table = interner_detail::Table;

  // Writer-side state; only touched under `writer_`.
  struct Writer {
    std::vector<std::unique_ptr<char[]>> chunks;
    char* chunk_pos = nullptr;
    size_t chunk_left = 0;
    std::vector<std::unique_ptr<Table>> retired;
  };

  static uint64_t tag_of(uint64_t hash) { return hash >> 32; }
  // The published entry of `id`; the caller has seen a count above `id`.
  const Entry& entry(uint32_t id) const;
  // Probes `table` for `text`; returns the id, which may be at or beyond any
  // count the caller holds.
  std::optional<uint32_t> find(const Table& table, std::string_view text, uint64_t hash) const;
  static void place(Table& table, uint64_t hash, uint32_t id);
  const char* store_bytes(Writer& w, std::string_view text);

  HashFn hash_fn_;
  std::atomic<uint32_t> count_{0};
  std::atomic<Table*> table_;
  std::array<std::atomic<Entry*>, interner_detail::kSegments> segments_{};
  Mutex<Writer> writer_;
};

// The process-wide interner, created on first use and never destroyed.
StrInterner& INTERNER();

}  // namespace calderwick
