// QueryMap: the index of one attribute over the objects of one IndexAPI.
//
// Every value kind has one home structure, each behind its own reader-writer
// lock, created when the first value of that kind arrives:
//   Int, Float -> `numbers`  (NumericalBitmap: 76 bit slices; 1 and 1.0 are one key)
//   Str        -> `strings`  (PositionalBitmap: per-position byte sets)
//   Bool       -> `bools`    (one id set for true, one for false)
//   Ind        -> `exact`, and the object itself joins the sub-index `nested`
//   Unknown    -> `exact`    (ShardedHashMap from value to HybridSet)
//   Iterable   -> nothing under the owner; every element is filed under an
//                 element id of its own, mapped back by `mask_owner`.
// Lock order: see common/write_gate.h.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "index/common/fxhash.h"
#include "index/common/id_set.h"
#include "index/common/lazy.h"
#include "index/common/locks.h"
#include "index/core/stored_item.h"
#include "index/structures/buffered_bitmap/buffered_bitmap.h"
#include "index/structures/hybrid_set/hybrid_set.h"
#include "index/structures/id_table/id_table.h"
#include "index/structures/ordered_bitmap/ordered_bitmap.h"
#include "index/structures/positional_bitmap/positional_bitmap.h"
#include "index/structures/shards/hashmap/hashmap.h"
#include "index/value.h"

namespace calderwick {

class IndexAPI;
class PreparedElements;
class QueryMap;

struct BoolSets {
  BufferedBitmap<64> true_ids;
  BufferedBitmap<64> false_ids;
  BufferedBitmap<64>& of(bool b) { return b ? true_ids : false_ids; }
  const BufferedBitmap<64>& of(bool b) const { return b ? true_ids : false_ids; }
};

using ExactMap = ShardedHashMap<PyValue, HybridSet>;

// What an iterable insertion filed for one owner: each element's value, with
// its element id in the value's spare bits, so that removal undoes exactly
// that, whatever became of the container since. Used by ElementRecords for
// containers of more than ElementRecords::kPooled elements.
class ElementRecord {
 public:
  ElementRecord() = default;
  explicit ElementRecord(size_t n) : values_(std::make_unique<PyValue[]>(n)), size_(static_cast<uint32_t>(n)) {}
  PyValue& operator[](size_t i) { return values_[i]; }
  const PyValue* begin() const { return values_.get(); }
  const PyValue* end() const { return values_.get() + size_; }
  size_t size() const { return size_; }

 private:
  std::unique_ptr<PyValue[]> values_;
  uint32_t size_ = 0;
};

// The element records of one map, by owner. A record of up to kPooled
// values lives in pages of kPage values shared by all records: its place is
// (start, size) in an 8-byte entry of a table by owner id, with no block or
// header of its own.
// A record never straddles a page (a page's tail too short for it is left
// unused). A freed place joins the free list of its size (linked through the
// spare bits of its first value) and is reused by the next record of that
// size. Longer records are blocks of their own (ElementRecord).
//
//   ElementRecords records;
//   records.insert(owner, values);          // values with their element ids
//   records.find(owner);                    // a span over them
//   records.take(owner, out);               // moved out, the place freed
class ElementRecords {
 public:
  static constexpr uint32_t kPooled = 8;
  static constexpr uint32_t kPage = 4096;
  using Values = absl::InlinedVector<PyValue, 8>;

  ElementRecords() { free_.fill(kNone); }
  ElementRecords(const ElementRecords&) = delete;
  ElementRecords& operator=(const ElementRecords&) = delete;

  // Records `values` (moved from) for `owner`; a record it had is dropped
  // (its values are not undone).
  void insert(uint32_t owner, std::span<PyValue> values);
  // The values recorded for `owner`; empty if none.
  std::span<const PyValue> find(uint32_t owner) const;
  bool contains(uint32_t owner) const { return places_.contains(owner) || large_.contains(owner); }
  // Moves the values of `owner` into `out` (cleared first) and forgets the
  // owner; false if it had none.
  bool take(uint32_t owner, Values& out);
  // Makes room for about `owners` more records of `values` values in all,
  // of owners up to `last_owner`.
  void reserve(size_t owners, size_t values, uint32_t last_owner);
  void prefetch(uint32_t owner) const { places_.prefetch(owner); }
  size_t size() const { return places_.size() + large_.size(); }
  bool empty() const { return size() == 0; }
  // Calls f(owner, values) for every record.
  template <typename F>
  void for_each(F&& f) const {
    places_.for_each(
        [&](uint32_t owner, const Place& place) { f(owner, std::span<const PyValue>(at(place.start), place.size)); });
    for (const auto& [owner, record] : large_) f(owner, std::span<const PyValue>(record.begin(), record.end()));
  }
  // Slots in pages (used, free or left at page ends), for tests.
  size_t pooled_slots() const { return size_t{kPage} * pages_.size(); }

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFF;
  struct Place {
    uint32_t start = 0;
    uint32_t size = 0;  // 0: no record
    friend bool operator==(const Place&, const Place&) = default;
  };
  PyValue* at(uint32_t slot) const { return &pages_[slot / kPage][slot % kPage]; }
  // A place for `n` values (1 <= n <= kPooled).
  uint32_t place_for(uint32_t n);
  void release(const Place& place);

  IdTable<Place> places_;
  std::vector<std::unique_ptr<PyValue[]>> pages_;
  uint32_t end_ = 0;  // first slot never handed out
  std::array<uint32_t, kPooled + 1> free_;  // by size: first free place, or kNone
  absl::flat_hash_map<uint32_t, ElementRecord, FxIdHash> large_;
};

// Element id -> the owner of the element (an object id, or the element id of
// the container holding it). Element ids are drawn from the top of the id
// space in long stretches, so this is mostly an array of 4-byte owners.
using ElementOwners = IdTable<uint32_t, true>;

// The write locks of a map's container bookkeeping (elements, mask_owner,
// masked_ids, taken in that order), held by a bulk writer for its batch.
struct ElementLocks {
  explicit ElementLocks(QueryMap& map);
  // Makes room for about `containers` more containers holding `elements`
  // elements in all, of owners up to `last_owner`, so that a large batch
  // grows the tables once.
  void expect(size_t containers, size_t elements, uint32_t last_owner) {
    this->elements->reserve(containers, elements, last_owner);
    owners->reserve_next(elements);
  }
  // Asks for the slot that will record `owner`'s elements.
  void prefetch(uint32_t owner) const { elements->prefetch(owner); }
  RwLock<ElementRecords>::WriteGuard elements;
  RwLock<ElementOwners>::WriteGuard owners;
  RwLock<IdSet>::WriteGuard masked;
};

// Where the scalar values and nested objects of one filing go: straight into
// the locked structures, or through a bulk writer's buffers.
class ValueSink {
 public:
  virtual void number(const Number& n, uint32_t id) = 0;
  virtual void string(std::string_view bytes, uint32_t id) = 0;
  virtual void boolean(bool b, uint32_t id) = 0;
  virtual void indexable(const PyValue& value, uint32_t owner) = 0;  // an Ind value
  // The bookkeeping locks if the sink's writer holds them (then the owners
  // it files were forgotten up front), else null.
  virtual ElementLocks* element_locks() { return nullptr; }

 protected:
  ~ValueSink() = default;
};

// A nested object whose filing a bulk writer put off until every buffer is
// flushed: the Ind value and its owner link.
struct DeferredIndexable {
  QueryMap* map;
  PyValue value;
  uint32_t owner;
};

class QueryMap {
 public:
  friend struct ElementLocks;
  friend class BulkQueryMapAdder;  // holds the structures' write locks for a batch
  // A map owned by `parent` (possibly empty). Its sub-index is created with
  // the same parent when the first nested object arrives.
  explicit QueryMap(std::weak_ptr<IndexAPI> parent);
  ~QueryMap();
  QueryMap(const QueryMap&) = delete;
  QueryMap& operator=(const QueryMap&) = delete;

  // Files `value` under `id` by its kind. Container elements come converted
  // from `prepared` (see PreparedElements). No GIL needed.
  void insert(const PyValue& value, uint32_t id, const PreparedElements& prepared);
  // The same routing, with scalars and nested objects handed to `sink`
  // (exact values and container bookkeeping still go straight in).
  void insert_via(const PyValue& value, uint32_t id, const PreparedElements& prepared, ValueSink& sink);
  // Undoes what an earlier container filing stored for `owner`, if any.
  void forget_elements(uint32_t owner) { remove_iterable(owner); }
  // Makes the object of the Ind value `value` a member of the sub-index with
  // the owner link `owner`.
  void insert_indexable(const PyValue& value, uint32_t owner, const PreparedElements& prepared);
  // The same for a batch of this map's deferred nested objects, in order:
  // the owner links go in under one lock and the objects new to the
  // sub-index join it as one batch. `prepared` holds their containers'
  // elements.
  void insert_indexables(std::span<const DeferredIndexable* const> batch, const PreparedElements& prepared);
  // Undoes the insertion of `value` for `id`, including the exact-map entry
  // once its id set is empty.
  void remove_id(const PyValue& value, uint32_t id);

  void insert_str(std::string_view bytes, uint32_t id);
  void insert_bool(bool b, uint32_t id);
  void insert_num_ordered(const Number& n, uint32_t id);
  void remove_num_ordered(const Number& n, uint32_t id);
  // `id` holds `n` instead of `old`, which it held.
  void replace_num_ordered(const Number& old, const Number& n, uint32_t id);
  void replace_str(std::string_view old, std::string_view bytes, uint32_t id);
  void insert_exact(const PyValue& value, uint32_t id);
  // Removes id from the value's set, and the entry once its set is empty.
  void remove_exact(const PyValue& value, uint32_t id);

  // Narrowing of the owning index: ids outside `keep` leave every structure;
  // element ids follow their owners (those of `removed` owners are freed),
  // and the sub-index keeps only objects that still have an owner.
  void keep_only(const IdSet& keep, const IdSet& removed);

  // Files the nested objects held back because they led back into their
  // owner and no longer do, in this map and every map below it.
  void retry_held_back();

  // Replaces element ids in `ids` by their owners, through every level of
  // container nesting.
  void unmask_ids(IdSet& ids) const;

  // Structure access for queries. Absent structures mean the attribute
  // never held a value of that kind. The strings and numbers as queries read
  // them: moves that assignments queued are applied first, under the write
  // lock, by the first reader to find them.
  RwLock<std::unique_ptr<PositionalBitmap>>::ReadGuard strings_for_query() const;
  RwLock<std::unique_ptr<NumericalBitmap>>::ReadGuard numbers_for_query() const;
  const RwLock<std::unique_ptr<BoolSets>>& bools() const { return bools_; }
  ExactMap* exact() const { return exact_.get(); }
  // The sub-index, or null before the first nested object.
  IndexAPI* nested() const;
  std::shared_ptr<IndexAPI> nested_shared() const;
  const RwLock<IdSet>& masked_ids() const { return masked_ids_; }

 private:
  // Ancestry of containers being filed on this thread's stack: a container
  // that holds itself stores nothing on its re-occurrence.
  using Ancestry = absl::InlinedVector<const PyObject*, 8>;

  void insert_with(const PyValue& value, uint32_t id, const PreparedElements& prepared, Ancestry& ancestry,
                   ValueSink& sink);
  void insert_iterable(const PyValue& iterable, uint32_t owner, const PreparedElements& prepared,
                       Ancestry& ancestry, ValueSink& sink);
  void remove_iterable(uint32_t owner);
  // Whether `nested_id` is among the objects that hold `owner` (an object or
  // element id of this map), at any level above.
  bool leads_back(uint32_t nested_id, uint32_t owner) const;
  // Whether this map's index has a parent (else leads_back is always false).
  bool below_top_level() const;
  void remove_indexable(const PyValue& value, uint32_t owner);
  IndexAPI& nested_or_create();
  ExactMap& exact_or_create();

  Lazy<ExactMap> exact_;
  // A reader may flush these (see strings_for_query).
  mutable RwLock<std::unique_ptr<PositionalBitmap>> strings_;
  mutable RwLock<std::unique_ptr<NumericalBitmap>> numbers_;
  RwLock<std::unique_ptr<BoolSets>> bools_;
  std::weak_ptr<IndexAPI> parent_;
  Lazy<std::shared_ptr<IndexAPI>> nested_;
  RwLock<ElementOwners> mask_owner_;
  RwLock<IdSet> masked_ids_;
  RwLock<ElementRecords> elements_;
  // Nested objects not filed below their owner because they led back into
  // it, by (owner, object id). When a link above them goes (an owner's
  // value replaced, an object narrowed away) the cycle may be gone, and they
  // are filed then. Only the write gate's holder touches them.
  absl::flat_hash_map<std::pair<uint32_t, uint32_t>, PyValue> held_back_;
};

// QueryMap::retry_held_back on every map of `index`; nothing to do (and no
// lock taken) while no map holds anything back.
void retry_held_back_in(const IndexAPI& index);
// Retries below every sub-index that lost a link during the current write.
// The writer calls it once its write is complete (an assignment after its
// final store): only then do the attribute maps show the graph as it is.
void retry_held_back_pending();

}  // namespace calderwick
