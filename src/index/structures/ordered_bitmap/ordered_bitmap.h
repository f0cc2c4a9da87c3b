// NumericalBitmap: the order-preserving index of numbers, as bit slices, with
// an exact key table beside them.
//
// Every number (a 64-bit integer or a double) is mapped to a 76-bit key whose
// unsigned order is the numeric order of the values, integers and floats
// compared by value (so 5 and 5.0 share a key, and 2^53 + 1 stays above the
// float 2^53). `all` holds every id that holds a number; slice i holds the ids
// whose key has bit i set (slice 0 is the least significant key bit), so the
// ids with bit i clear are `all` minus slice i. A range query is one
// most-significant-first sweep over the slices that skips slices every id
// agrees on and stops as soon as nothing is left to decide.
//
// Equality does not touch the slices: a hash table maps each key to its ids.
// A key held by one id stores just that id (8 bytes a slot, the key itself is
// not kept: a hash match is confirmed by reading the id's bits back from the
// slices); a key held by several ids owns an id set and keeps its key. So an
// equality or a membership test costs O(hits), not a 76-way intersection.
//
//   NumericalBitmap index;
//   index.insert(int64_t{5}, 1);
//   index.insert(5.5, 2);
//   IdSet out;
//   index.get_gt_into(NumericalBitmap::key_of(5.0), out, candidates);  // out |= {2} ∩ candidates
//
// A range that holds few of the ids is not swept: it is read from the ordered
// keys, the ids in buckets of about kBucket ids, the buckets in key order.
// Each bucket is bounded by two fences, exact keys: every key in bucket j
// lies in [fence j, fence j+1], in no order within the bucket. Two binary
// searches over the fences find the buckets a range holds whole, whose ids
// are gathered directly, and the (at most) two buckets the bounds cut,
// whose ids' keys are compared with a bound from the slices, bit by bit
// below those the two fences share, until they differ. So a narrow range
// costs O(log n + hits + kBucket) and the ordered keys about 4.8 bytes an id
// (the id, plus a fence and a start a bucket, buckets holding 24-32 ids),
// with a bit an id for each of two patch marks once written.
//
// They are built with the bulk load that fills an empty map, from the keys
// it files (one radix pass into buckets, no read-back). A later load of
// more than 1/8 of the ids they hold builds them again from the slices;
// direct writes, moves and smaller loads patch them: `added` lists (key, id)
// for each id whose key is not the one its bucket entry was filed with, and
// a bit an id marks such entries stale (an id patched again has its latest
// added key taken out when it is among the last few, else it is marked
// dead: its entries there are then checked against the slices). Once either
// list numbers max(kMaxPatches, ids / kFoldShare), the patches are folded
// in: each added key joins the bucket its fences give, stale entries go,
// small neighbours merge and a bucket grown past kMaxBucket is split after
// reading its keys back. A narrowing filters them in the same pass. They are built on demand from the slices
// only where no load built them (a map written while the sweep plan was
// set); a map that direct writes fill from empty starts with empty ones.
//
// Readers see only flushed bitmaps: after a run of `buffered_insert` the bulk
// writer must call `flush_all()` before any query. Replacements (an assigned
// attribute) may be queued instead of written (`queue_replace`); the next
// flush, any other write, or the kMoveBatch-th queued move applies them all
// at once. An id moved and moved back meanwhile costs nothing, and the
// batch asks for each move's key slots and slice words a few moves ahead, so
// the misses of different moves overlap (a single move waits for its own).
// A reader that finds moves queued (`has_queued_moves`) must have them
// flushed first, under the writer's lock. Queries run concurrently (under
// the owner's read lock); one that builds the ordered keys on demand takes
// a mutex for it, without blocking: the others sweep meanwhile.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "index/common/built_on_demand.h"
#include "index/common/id_set.h"
#include "index/common/queued_moves.h"
#include "index/structures/buffered_bitmap/buffered_bitmap.h"
#include "index/structures/key_table/key_table.h"
#include "index/structures/packed_ids/packed_ids.h"

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

// A growable array of trivially copyable values in memory mapped for it
// alone and unmapped when it goes: the keys a bulk load files (16 bytes an
// id) are held only until its flush, and from the C heap they would stay in
// the process's resident size after it.
template <typename T>
class MappedArray {
 public:
  MappedArray() = default;
  // `n` values, zero-filled.
  explicit MappedArray(size_t n) {
    reserve(n, kPopulate);  // every page is written: mapped at once rather than a fault each
    size_ = n;
  }
  ~MappedArray() { release(); }
  MappedArray(MappedArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        bytes_(std::exchange(other.bytes_, 0)) {}
  MappedArray& operator=(MappedArray&& other) noexcept {
    if (this != &other) {
      release();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
  }
  MappedArray(const MappedArray&) = delete;
  MappedArray& operator=(const MappedArray&) = delete;

  template <typename... Args>
  void emplace_back(Args&&... args) {
    if ((size_ + 1) * sizeof(T) > bytes_) reserve(std::max<size_t>(size_ * 2, kFirst));
    data_[size_++] = T{std::forward<Args>(args)...};
  }
  void reserve(size_t n, int flags = 0) {
    if (n * sizeof(T) <= bytes_) return;
    const size_t bytes = (n * sizeof(T) + kPage - 1) / kPage * kPage;
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    if (size_ > 0) std::memcpy(p, static_cast<const void*>(data_), size_ * sizeof(T));
    const size_t size = size_;
    release();
    data_ = static_cast<T*>(p);
    size_ = size;
    bytes_ = bytes;
  }
  T* data() { return data_; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }

 private:
  static constexpr size_t kPage = 4096;
#ifdef MAP_POPULATE
  static constexpr int kPopulate = MAP_POPULATE;
#else
  static constexpr int kPopulate = 0;
#endif
  static constexpr size_t kFirst = 4096;  // values in the first mapping
  void release() {
    if (data_) munmap(data_, bytes_);
    data_ = nullptr;
    size_ = 0;
    bytes_ = 0;
  }
  T* data_ = nullptr;
  size_t size_ = 0;
  size_t bytes_ = 0;
};


class NumericalBitmap {
 public:
  static constexpr size_t kSlices = 76;
  using Cell = BufferedBitmap<64>;
  using SweepFn = void (NumericalBitmap::*)(const NumKey&, IdSet&, const IdSet&) const;
  // How range queries are answered: by estimated selectivity (the default),
  // always by the sweep, or from the ordered keys whenever they can be built.
  enum class RangePlan : uint8_t { kAuto, kSweep, kOrdered };
  // A range is read from the ordered keys when at most 1/kOrderedShare of
  // the ids fall in it (at 10^6 unique floats they win up to about 1/10 and
  // lose by 2x at 1/5: benchmarks/ordered_bitmap_benchmark.cpp, PriceRange).
  static constexpr size_t kOrderedShare = 8;
  // The ordered keys fold their patches in once they hold more than
  // max(kMaxPatches, ids / kFoldShare) added keys or stale entries.
  static constexpr size_t kMaxPatches = 1024;
  static constexpr size_t kFoldShare = 16;
  // Ids a bucket of the ordered keys holds when built, and at most before a
  // fold splits it.
  static constexpr size_t kBucket = 32;
  static constexpr size_t kMaxBucket = 4 * kBucket;
  // How far back from the latest added key a move searches for the one it
  // replaces, before marking the id to be checked instead.
  static constexpr size_t kRecentPatches = 256;

  NumericalBitmap();
  ~NumericalBitmap();
  NumericalBitmap(const NumericalBitmap&) = delete;
  NumericalBitmap& operator=(const NumericalBitmap&) = delete;

  static NumKey key_of(int64_t v);
  static NumKey key_of(double v);
  static NumKey key_of(const Number& v);

  // Direct writes. `remove` must be given the value the id was inserted
  // with; an id holds at most one number at a time, so inserting one for an
  // id that holds a number replaces it, and inserting the number it holds
  // changes nothing.
  void insert(const Number& v, uint32_t id) { insert_key(key_of(v), id); }
  void remove(const Number& v, uint32_t id) { remove_key(key_of(v), id); }
  void insert_key(const NumKey& key, uint32_t id);
  void remove_key(const NumKey& key, uint32_t id);
  // `id` moves from `old_key` (which it holds) to `new_key`: only the slices
  // of the key bits that differ change.
  void replace_key(const NumKey& old_key, const NumKey& new_key, uint32_t id);

  // The same, deferred to the next flush (see the header comment); written
  // at once when a query has read the structure since the last write.
  void queue_replace(const NumKey& old_key, const NumKey& new_key, uint32_t id);
  bool has_queued_moves() const { return !moves_.empty(); }
  // Queries call this as they read the structure (any thread, read lock).
  void note_read() const { note(read_since_write_); }
  // Moves queued before a flush applies them all.
  static constexpr size_t kMoveBatch = 256;

  // Bulk writer only: queues the id in the cell buffers and its key for the
  // key table; `flush_all` applies them. An id that holds a number already
  // is written at once, as `insert` would.
  void buffered_insert(const Number& v, uint32_t id);
  // Applies queued bulk inserts and queued moves.
  void flush_all();
  // Drops every id outside `keep` (narrowing of the index).
  void keep_only(const IdSet& keep);

  // Ids whose number equals the key; no candidate set is involved.
  IdSet equal(const NumKey& key) const;
  IdSet equal(const Number& v) const { return equal(key_of(v)); }
  // out |= the ids whose number equals the key.
  void equal_into(const NumKey& key, IdSet& out) const;

  // result |= { id ∈ candidates : key(id) > key } (resp. >=, <, <=). `result`
  // is only added to, never cleared; `candidates` is read only.
  void get_gt_into(const NumKey& key, IdSet& result, const IdSet& candidates) const;
  void get_gte_into(const NumKey& key, IdSet& result, const IdSet& candidates) const;
  void get_lt_into(const NumKey& key, IdSet& result, const IdSet& candidates) const;
  void get_lte_into(const NumKey& key, IdSet& result, const IdSet& candidates) const;
  // result |= { id ∈ candidates : low <= key(id) <= high }, in one sweep: the
  // bits both bounds share narrow the candidates once, and the two bounds are
  // only tested apart below them.
  void get_between_into(const NumKey& low, const NumKey& high, IdSet& result, const IdSet& candidates) const;

  // Every id that holds a number.
  const IdSet& all() const { return all_.bitmap(); }
  // The ids whose key has bit `bit` (0 or 1) at `slice`, for tests and debug
  // output; out-of-range arguments are an InternalError.
  IdSet slice_set(size_t slice, int bit) const;
  // Ids queued in the buffers and not yet in the bitmaps.
  size_t pending_count() const;
  // Distinct keys held, and how many of them own an id set (held by two or
  // more ids).
  size_t distinct_keys() const { return keys_.distinct(); }
  size_t shared_keys() const { return keys_.shared(); }

  // Tests and benchmarks: choose the range algorithm. Not thread safe: set
  // it before queries start.
  void set_range_plan(RangePlan plan) { plan_ = plan; }
  // Whether the ordered keys are built (and current), and their size in
  // bytes (0 when not built).
  bool has_ordered_keys() const { return order_.ready() != nullptr; }
  // Whether ranges are read from the key sets (few keys, each held by two
  // ids or more) rather than from the ordered keys or a sweep.
  bool ranges_from_key_sets() const { return plan_ == RangePlan::kAuto && few_keys(); }
  size_t ordered_keys_bytes() const;
  // Added keys the ordered keys hold beside their buckets, and their buckets
  // (0 when not built).
  size_t ordered_patches() const;
  size_t ordered_buckets() const;
  // Tests: fold the patches once they number more than `limit` (0: the rule
  // above). Not thread safe, as set_range_plan.
  void set_patch_limit(size_t limit) { patch_limit_ = limit; }

 private:
  using Shared = KeyTable<NumKey>::Shared;

  static uint32_t hash_of(const NumKey& key);
  // Whether the number of `id` has `key`, read back from the slices and
  // their write buffers.
  bool id_has_key(uint32_t id, const NumKey& key) const;
  // The key of an id that holds a number, read back from the flushed slices.
  NumKey key_held(uint32_t id) const;
  // Files `key` for an id that holds a number already (flushed): nothing
  // changes when it is the key held, else the id moves to it.
  void refile(const NumKey& key, uint32_t id);
  // The key table's check of an id that holds one key alone.
  auto has_key() const {
    return [this](uint32_t id, const NumKey& key) { return id_has_key(id, key); };
  }
  void table_add(const NumKey& key, uint32_t id, uint32_t hash) { keys_.add(key, id, hash, has_key()); }
  // Bulk writer: the key table takes queued keys kKeyBatch at a time.
  void add_queued_keys();

  struct OrderedKeys;
  // (prefix, id) of a key (see prefix_of in the source), and the keys their
  // prefix does not give, by id. Packed: a load holds one an id, and its
  // sort another, for each numeric attribute it files at once.
  struct [[gnu::packed]] Entry {
    uint64_t first;   // the prefix
    uint32_t second;  // the id
  };
  static_assert(sizeof(Entry) == 12);
  using LossyKeys = std::vector<std::pair<uint32_t, NumKey>>;
  // One end of a range: the key and whether it is included.
  struct Bound {
    NumKey key;
    bool inclusive;
  };
  // result |= the ids in candidates between the bounds (either may be null,
  // for an open end), read from the ordered keys. False, with nothing done,
  // when they are not built or the range is too wide for them to pay.
  bool ordered_into(const Bound* low, const Bound* high, IdSet& result, const IdSet& candidates) const;
  // Whether the map holds at most kFewKeys keys, each by two ids or more:
  // then every key has a shared entry, and a range is the union of the sets of
  // the keys in it (no ordered keys are kept for such a map).
  bool few_keys() const {
    const size_t n = keys_.distinct();
    return n > 0 && n <= kFewKeys && n == keys_.shared();
  }
  static constexpr size_t kFewKeys = 1024;
  // result |= the ids in candidates between the bounds, from the key sets;
  // false, with nothing done, unless few_keys() (and the plan is automatic).
  bool few_keys_into(const Bound* low, const Bound* high, IdSet& result, const IdSet& candidates) const;
  // The ordered keys if built, else built now from the slices (unless the
  // sweep plan is set or a load is pending); null when the caller should
  // sweep.
  const OrderedKeys* ordered_keys() const;
  std::unique_ptr<OrderedKeys> build_ordered() const;
  // The ordered keys of `entries` (any order; sorted in place), their lossy
  // keys in `lossy`, sorted by id.
  static std::unique_ptr<OrderedKeys> ordered_from(MappedArray<Entry>& entries, const LossyKeys& lossy);
  // The key of an id that holds a number, whose bits from `top` up are those
  // of `base`; only the slices below `top` are read.
  NumKey key_below(uint32_t id, const NumKey& base, size_t top) const;
  // The sign of key(id) - bound over the key bits below `top`.
  int compare_below(uint32_t id, const NumKey& bound, size_t top) const;
  // Writers: keep the ordered keys current.
  void ordered_added(const NumKey& key, uint32_t id);
  void ordered_removed(const NumKey& key, uint32_t id);
  // The patches held before a fold.
  size_t patch_limit(const OrderedKeys& ok) const;
  // Folds the patches into the buckets; with `keep`, drops every id outside it.
  void fold_patches(OrderedKeys& ok, const IdSet* keep) const;
  // Bulk writer, at the flush: the keys of the batch join the ordered keys,
  // which a load into an empty map builds from them.
  void file_loaded();

  template <bool kGreater, bool kInclusive>
  void sweep(const NumKey& key, IdSet& result, const IdSet& candidates) const;
  // Narrows `eq` (ids agreeing with `key` above bit `top`) bit by bit below it.
  template <bool kGreater, bool kInclusive>
  void sweep_below(const NumKey& key, size_t top, IdSet& eq, IdSet& result) const;
  // Narrows `eq` to the ids whose key has `bit` at slice i; false once empty.
  bool narrow(IdSet& eq, size_t i, int bit) const;

  Cell all_;
  std::array<Cell, kSlices> slices_;
  KeyTable<NumKey> keys_;
  bool pending_ = false;            // ids queued since the last flush
  struct QueuedKey {
    NumKey key;
    uint32_t id;
    uint32_t hash;
  };
  static constexpr size_t kKeyBatch = 1024;
  std::vector<QueuedKey> queued_keys_;  // not yet in the key table
  struct Move {
    NumKey from;
    NumKey to;
    uint32_t id;
  };
  std::vector<Move> moves_;  // queued replacements, in the order made
  // The batch's keys as the ordered keys take them, when they do (`loading_`:
  // the batch began on an empty map, or on one that has them).
  MappedArray<Entry> loaded_;
  LossyKeys loaded_lossy_;
  bool loading_ = false;
  mutable std::atomic<bool> read_since_write_{false};
  // The queued moves, each id's collapsed into one, written in id order.
  void apply_moves();
  // replace_key on flushed bitmaps.
  void move_now(const NumKey& old_key, const NumKey& new_key, uint32_t id);

  RangePlan plan_ = RangePlan::kAuto;
  BuiltOnDemand<OrderedKeys> order_;
  size_t patch_limit_ = 0;
};

}  // namespace calderwick
