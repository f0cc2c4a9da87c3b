#include "index/core/filtered_index.h"

#include "index/core/query/query_ops.h"

namespace calderwick {

FilteredIndexCore FilteredIndexCore::reduced_query(const QueryExpr& expr) const {
  auto maps = query_maps->read();
  IdSet result = evaluate_query(*maps, ids, expr);
  result.and_inplace(ids);
  return FilteredIndexCore{query_maps, items, std::move(result)};
}

FilteredIndexCore FilteredIndexCore::reduced_all(const std::vector<QueryExpr>& equalities) const {
  auto maps = query_maps->read();
  return FilteredIndexCore{query_maps, items, evaluate_and_queries_vec(*maps, ids, equalities)};
}

FilteredIndexCore IndexAPI::reduced(const std::vector<QueryExpr>& equalities) const {
  auto maps = query_maps_->read();
  auto members = allowed_ids_->read();
  return FilteredIndexCore{query_maps_, items_, evaluate_and_queries_vec(*maps, *members, equalities)};
}

FilteredIndexCore IndexAPI::reduced_query(const QueryExpr& expr) const {
  auto maps = query_maps_->read();
  auto members = allowed_ids_->read();
  return FilteredIndexCore{query_maps_, items_, evaluate_query(*maps, *members, expr)};
}

void IndexAPI::keep_only_from_bitmap(const IdSet& keep) {
  auto maps = query_maps_->read();
  IdSet removed;
  {
    auto members = allowed_ids_->write();
    removed = IdSet::andnot(*members, keep);
    members->and_inplace(keep);
  }
  for (const std::unique_ptr<QueryMap>& map : *maps) {
    if (map) map->keep_only(keep, removed);
  }
  std::vector<StoredItem> dropped;  // released after the lock, outside the hot section
  {
    auto items = items_->write();
    removed.for_each([&](uint32_t id) {
      if (id < items->size()) dropped.push_back(std::exchange((*items)[id], StoredItem{}));
    });
  }
}

}  // namespace calderwick
