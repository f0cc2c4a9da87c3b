#include "index/core/filtered_index.h"

#include "index/core/query/query_ops.h"

namespace calderwick {

namespace {

// The stamp a new view of `index` takes: read after its ids were evaluated,
// so every object stored by then counts as the view's.
uint64_t current_stamp(const IndexAPI& index) {
  auto items = index.items()->read();
  return index.store_stamp();
}

}  // namespace

// A narrower view inherits the stamp of the view it came from: its ids are a
// subset of ids that were selected at that stamp.
FilteredIndexCore FilteredIndexCore::reduced_query(const QueryExpr& expr) const {
  auto maps = source->query_maps()->read();
  IdSet result = evaluate_query(*maps, ids, expr);
  result.and_inplace(ids);
  return FilteredIndexCore{source, std::move(result), stamp};
}

FilteredIndexCore FilteredIndexCore::reduced_all(const std::vector<QueryExpr>& equalities) const {
  auto maps = source->query_maps()->read();
  return FilteredIndexCore{source, evaluate_and_queries_vec(*maps, ids, equalities), stamp};
}

// A view of the members that `evaluate(maps, members)` selects, evaluated
// under the read locks of the query maps and the members.
template <typename Evaluate>
FilteredIndexCore IndexAPI::view_of(Evaluate&& evaluate) const {
  IdSet selected;
  {
    auto maps = query_maps_->read();
    auto members = allowed_ids_->read();
    selected = evaluate(*maps, *members);
  }
  return FilteredIndexCore{std::const_pointer_cast<IndexAPI>(shared_from_this()), std::move(selected),
                           current_stamp(*this)};
}

FilteredIndexCore IndexAPI::reduced(const std::vector<QueryExpr>& equalities) const {
  return view_of([&](const QueryMaps& maps, const IdSet& members) {
    return evaluate_and_queries_vec(maps, members, equalities);
  });
}

FilteredIndexCore IndexAPI::reduced_query(const QueryExpr& expr) const {
  return view_of([&](const QueryMaps& maps, const IdSet& members) { return evaluate_query(maps, members, expr); });
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
      if (StoredItem item = items->take(id); !item.is_placeholder()) dropped.push_back(std::move(item));
    });
  }
  // Narrowing may have taken away what made nested objects lead back into
  // their owners: the whole tree is retried once, from the top.
  if (parent_.expired()) {
    retry_held_back_pending();
    retry_held_back_in(*this);
  }
}

}  // namespace calderwick
