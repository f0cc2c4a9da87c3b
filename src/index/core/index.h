// IndexAPI: the core behind every Index and every nested sub-index.
//
// Four pieces of shared state, each behind its own reader-writer lock and
// shared pointer so that views (FilteredIndex), QueryMaps and worker threads
// can hold them:
//   query_maps   attribute id -> QueryMap (null until the attribute first appears)
//   items        object id -> StoredItem (vacant slots are placeholders)
//   allowed_ids  the members; membership is decided by this set alone
//   parent_links (owner id one level up, member id) pairs of a sub-index
// plus a weak pointer to the parent index (empty for a top-level index).
//
// Sub-indexes form a tree that follows attribute paths: the sub-index of
// attribute `a` of index I holds the objects found as values of `a` of I's
// members, at depth depth(I) + 1. A sub-index also knows the QueryMap of its
// parent that owns it (`owner_map`), which translates the parent's container
// element ids back to objects; the pointer is valid while the parent lives,
// since a QueryMap is never removed from its index.
//
// Ids are process-wide: an object is stored under the same id in every index.
// The lock order of these and every other lock is in common/write_gate.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "index/common/id_set.h"
#include "index/common/locks.h"
#include "index/core/query/query.h"
#include "index/core/stored_item.h"
#include "index/structures/m2m/m2m.h"
#include "index/indexable.h"

namespace calderwick {

class PreparedElements;
struct FilteredIndexCore;
struct QueryExpr;

// One object to add: the item the index takes it as (moved into the index's
// slot) and its native part. Both are the caller's and outlive the call.
struct NewMember {
  StoredItem* item;
  const IndexableNative* native;
};

using QueryMaps = std::vector<std::unique_ptr<QueryMap>>;

class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  // A top-level index.
  static std::shared_ptr<IndexAPI> make();
  // The sub-index owned by `owner_map`, a QueryMap of `parent`.
  static std::shared_ptr<IndexAPI> make_nested(const std::shared_ptr<IndexAPI>& parent, const QueryMap* owner_map);

  // Makes every object of `batch` a member, stored as its item, and files
  // every attribute value it holds, whose container elements `prepared`
  // holds converted. This is the one way objects join an
  // index: Index.add_object (a batch of one), add_object_many, union_with,
  // FilteredIndex.rebase and nested objects filed into a sub-index. Records
  // the membership in each object, reads the attribute maps under the write
  // gate (which the caller holds), and publishes the batch's members last,
  // all at once, so a query sees either none or all of their values. An
  // object listed twice is filed once. No GIL needed.
  // `owned`, when given, is `prepared` itself, the caller's: filing frees
  // its conversions once no value left to file needs them.
  void add_objects(std::span<const NewMember> batch, const PreparedElements& prepared,
                   PreparedElements* owned = nullptr);
  // Files one attribute value of object `id`.
  void add_index(uint32_t id, uint32_t attribute, const PyValue& value, const PreparedElements& prepared);
  // Removes object `id`'s entries for `old` under `attribute`.
  void remove_index(uint32_t id, uint32_t attribute, const PyValue& old);
  // remove_index of `old`, then add_index of `value`; a number replacing a
  // number touches only what differs.
  void replace_index(uint32_t id, uint32_t attribute, const PyValue& old, const PyValue& value,
                     const PreparedElements& prepared);

  // A view of the members that satisfy every equality / the expression.
  FilteredIndexCore reduced(const std::vector<QueryExpr>& equalities) const;
  FilteredIndexCore reduced_query(const QueryExpr& expr) const;
  // Narrows the index in place to the members in `keep`, sub-indexes included.
  void keep_only_from_bitmap(const IdSet& keep);

  bool has_member(uint32_t id) const { return allowed_ids_->read()->contains(id); }

  // Owners one level up of the given members, exactly as recorded.
  IdSet get_parent_from_ids(const IdSet& ids) const;

  const std::shared_ptr<RwLock<QueryMaps>>& query_maps() const { return query_maps_; }
  const std::shared_ptr<ItemsLock>& items() const { return items_; }
  const std::shared_ptr<RwLock<IdSet>>& allowed_ids() const { return allowed_ids_; }
  const std::shared_ptr<RwLock<M2MU32>>& parent_links() const { return parent_links_; }
  const std::weak_ptr<IndexAPI>& parent() const { return parent_; }
  // The parent's QueryMap that owns this sub-index; dereference only while
  // holding the parent.
  const QueryMap* owner_map() const { return owner_map_; }
  // 0 for a top-level index, one more per level of nesting.
  int depth() const { return depth_; }

  // Stores `item` at slot `id` of the locked `items`.
  // A different object than the slot held gets a new store stamp; the same
  // object keeps its stamp (and its first item).
  void store_item(Items& items, uint32_t id, StoredItem item);
  // The stamp of the latest store; read under the items lock. A view keeps
  // the stamp it was made at and ignores items stored after it.
  uint64_t store_stamp() const { return stamps_.load(std::memory_order_relaxed); }

 private:
  struct Private {};
  friend const std::shared_ptr<IndexAPI>& DEFAULT_INDEX_ARC();  // the one top-level index made without make()
  template <typename Evaluate>
  FilteredIndexCore view_of(Evaluate&& evaluate) const;
  // Files the values of several objects through every map's bulk writer.
  void file_in_bulk(std::span<const NewMember> members, const PreparedElements& prepared, PreparedElements* owned);
  // Member by member, each value into its map's writer.
  void file_by_member(std::span<const NewMember> members, const PreparedElements& prepared,
                      std::vector<DeferredIndexable>& deferred);
  // The nested objects that filing handed back, into their maps' sub-indexes.
  void file_nested(std::span<const DeferredIndexable> deferred, const PreparedElements& prepared);
  // Attribute by attribute, on two threads (large batches).
  void file_by_attribute(std::span<const NewMember> members, const PreparedElements& prepared,
                         PreparedElements* owned, std::vector<DeferredIndexable>& deferred);
  static constexpr size_t kParallelFiling = 20000;
  // Members whose nested objects are filed together in a large batch.
  static constexpr size_t kNestedStretch = size_t{1} << 16;
  // Members sampled to order the attributes by filing cost.
  static constexpr size_t kCostSample = 512;
  // Sets the member bits of `members`, their values being filed.
  void add_members(std::span<const NewMember> members);
  static constexpr size_t kRunOptimizeAfter = 1024;

 public:
  IndexAPI(Private, std::weak_ptr<IndexAPI> parent, const QueryMap* owner_map, int depth);

 private:
  std::shared_ptr<RwLock<QueryMaps>> query_maps_;
  std::shared_ptr<ItemsLock> items_;
  std::shared_ptr<RwLock<IdSet>> allowed_ids_;
  // Members added since the member set was last run-compressed (guarded by
  // the member set's lock).
  size_t unoptimized_members_ = 0;
  std::shared_ptr<RwLock<M2MU32>> parent_links_;
  std::weak_ptr<IndexAPI> parent_;
  const QueryMap* owner_map_ = nullptr;
  int depth_ = 0;
  std::atomic<uint64_t> stamps_{0};
};

// Records membership of `object` in `index` once: a second registration with
// the same index changes nothing. Drops dead records and records of the
// placeholder index, and keeps the list ordered by index address.
void register_index(const IndexableNative& object, const std::weak_ptr<IndexAPI>& index);

// An inert, process-wide placeholder index; membership trimming drops records
// of it. (The placeholder StoredItem is the vacant, all-null item.)
const std::shared_ptr<IndexAPI>& DEFAULT_INDEX_ARC();

}  // namespace calderwick
