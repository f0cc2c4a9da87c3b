// StoredItem: one object stored in an index, at the slot of its id.
//
// It keeps the Python object alive (`py_ref`) and shares the object's native
// part without owning its id. A vacant slot is the placeholder: both pointers
// null, so growing an items array costs no reference-count operation per slot.
#pragma once

#include <memory>
#include <vector>

#include "index/binding/py_ref.h"
#include "index/common/locks.h"
#include "index/indexable.h"

namespace calderwick {

struct StoredItem {
  py::SharedPyRef py_ref;
  std::shared_ptr<const IndexableNative> native;
  // When the object was stored in this slot (see IndexAPI::store_item).
  uint64_t stamp = 0;

  bool is_placeholder() const { return !py_ref; }
};

using Items = std::vector<StoredItem>;
using ItemsLock = RwLock<Items>;

}  // namespace calderwick
