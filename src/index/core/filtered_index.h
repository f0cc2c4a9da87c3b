// FilteredIndexCore: a view of an index. It shares the source index's
// attribute indexes and object store and owns only the ids that passed the
// filter, so later attribute changes of its objects are seen by its queries
// while its membership stays a snapshot.
#pragma once

#include <memory>

#include "index/common/id_set.h"
#include "index/core/index.h"

namespace calderwick {

struct QueryExpr;

struct FilteredIndexCore {
  std::shared_ptr<RwLock<QueryMaps>> query_maps;
  std::shared_ptr<ItemsLock> items;
  IdSet ids;

  // Narrows the view by a query over its own ids.
  FilteredIndexCore reduced_query(const QueryExpr& expr) const;
  FilteredIndexCore reduced_all(const std::vector<QueryExpr>& equalities) const;
};

}  // namespace calderwick
