#include "index/binding/module_types.h"

#include "index/indexable.h"
#include "index/interfaces/filtered_index.h"
#include "index/interfaces/index.h"
#include "index/interfaces/query.h"

namespace calderwick::py {

std::span<const ModuleType> module_types() {
  static const ModuleType types[] = {
      {"Index", &index_type},
      {"Indexable", &indexable_type},
      {"FilteredIndex", &filtered_index_type},
      {"PyQueryExpr", &query_type},
  };
  return types;
}

}  // namespace calderwick::py
