#include "index/binding/module_types.h"

namespace calderwick::py {

std::span<const ModuleType> module_types() {
  static const ModuleType types[] = {
      {"Index", nullptr},
  };
  return {types, 0};
}

}  // namespace calderwick::py
