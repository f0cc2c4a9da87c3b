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
// Ids are process-wide: an object is stored under the same id in every index.
// Lock order: an object's memberships, then its attribute map, then
// allowed_ids / items / query_maps (one at a time) of the outer index, then a
// QueryMap's structures, then the sub-index's state, recursively.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "index/common/id_set.h"
#include "index/common/locks.h"
#include "index/core/query/query.h"
#include "index/core/stored_item.h"
#include "index/core/structures/m2m/m2m.h"
#include "index/indexable.h"

namespace calderwick {

class PreparedElements;
struct FilteredIndexCore;
struct QueryExpr;

using QueryMaps = std::vector<std::unique_ptr<QueryMap>>;

class IndexAPI : public std::enable_shared_from_this<IndexAPI> {
 public:
  static std::shared_ptr<IndexAPI> make(std::weak_ptr<IndexAPI> parent = {});

  // Makes `object` a member stored as `item`, and files every attribute of
  // the held map. The caller registered the membership and holds `attrs`.
  void add_object(uint32_t id, StoredItem item, const AttributeMap& attrs, const PreparedElements& prepared);
  // Adds many objects with one pass over the members and the item store and
  // batched writes into every QueryMap. The caller converted every container
  // element of objects[i] into prepared[i]; memberships are registered here.
  void add_object_many(const std::vector<StoredItem>& objects, const std::vector<PreparedElements>& prepared);
  // Files one attribute value of object `id`.
  void add_index(uint32_t id, uint32_t attribute, const PyValue& value, const PreparedElements& prepared);
  // Removes object `id`'s entries for `old` under `attribute`.
  void remove_index(uint32_t id, uint32_t attribute, const PyValue& old);

  // A view of the members that satisfy every equality / the expression.
  FilteredIndexCore reduced(const std::vector<QueryExpr>& equalities) const;
  FilteredIndexCore reduced_query(const QueryExpr& expr) const;
  // Narrows the index in place to the members in `keep`, sub-indexes included.
  void keep_only_from_bitmap(const IdSet& keep);

  // Owners one level up of the given members, exactly as recorded.
  IdSet get_parent_from_ids(const IdSet& ids) const;
  static void register_path(RwLock<M2MU32>& links, uint32_t owner, uint32_t member);

  const std::shared_ptr<RwLock<QueryMaps>>& query_maps() const { return query_maps_; }
  const std::shared_ptr<ItemsLock>& items() const { return items_; }
  const std::shared_ptr<RwLock<IdSet>>& allowed_ids() const { return allowed_ids_; }
  const std::shared_ptr<RwLock<M2MU32>>& parent_links() const { return parent_links_; }
  const std::weak_ptr<IndexAPI>& parent() const { return parent_; }

  // Stores `item` at slot `id`, growing the array with placeholders.
  static void store_item(Items& items, uint32_t id, StoredItem item, bool grow_by_doubling = false);

 private:
  struct Private {};

 public:
  explicit IndexAPI(Private, std::weak_ptr<IndexAPI> parent);

 private:
  std::shared_ptr<RwLock<QueryMaps>> query_maps_;
  std::shared_ptr<ItemsLock> items_;
  std::shared_ptr<RwLock<IdSet>> allowed_ids_;
  std::shared_ptr<RwLock<M2MU32>> parent_links_;
  std::weak_ptr<IndexAPI> parent_;
};

// Records membership of `object` in `index`: appends, drops dead records and
// records of the placeholder index, and keeps the list ordered by index address.
void register_index(const IndexableNative& object, const std::weak_ptr<IndexAPI>& index);

// An inert, process-wide placeholder index; membership trimming drops records
// of it. (The placeholder StoredItem is the vacant, all-null item.)
const std::shared_ptr<IndexAPI>& DEFAULT_INDEX_ARC();

}  // namespace calderwick
