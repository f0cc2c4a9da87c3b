#include "index/binding/module_types.h"

#include "index/indexable.h"

namespace calderwick::py {

std::span<const ModuleType> module_types() {
  static const ModuleType types[] = {
      {"Indexable", &indexable_type},
  };
  return types;
}

}  // namespace calderwick::py
