// StoredItem: one object stored in an index, at the slot of its id.
//
// It keeps the Python object alive, in one word. An object added to an index
// directly holds a reference of its own, taken with the GIL (the collector
// counts it as a reference from outside, as it is). An object filed into a
// sub-index as the value of an attribute shares the reference of that value,
// without the GIL. A vacant slot is the placeholder: all zero, so growing an
// items array costs nothing per slot.
//
// An index's items are an IdTable: an array by id while its objects' ids run
// in long stretches, a hash table for a sub-index whose few objects are
// scattered over the id space.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "index/binding/py_ref.h"
#include "index/common/huge_pages.h"
#include "index/common/locks.h"
#include "index/indexable.h"
#include "index/structures/id_table/id_table.h"

namespace calderwick {

class StoredItem {
 public:
  StoredItem() = default;
  // An item holding `obj` (an Indexable) by a reference of its own.
  static StoredItem owning(py::PyRef obj) { return StoredItem(reinterpret_cast<uintptr_t>(obj.release())); }
  // An item sharing the reference of an Ind value; no GIL needed.
  static StoredItem sharing(const PyValue& value) {
    return StoredItem(reinterpret_cast<uintptr_t>(value.share_node()) | kShared);
  }
  StoredItem(StoredItem&& o) noexcept : stamp(o.stamp), handle_(std::exchange(o.handle_, 0)) {}
  StoredItem& operator=(StoredItem&& o) noexcept {
    if (this != &o) {
      reset();
      handle_ = std::exchange(o.handle_, 0);
      stamp = o.stamp;
    }
    return *this;
  }
  StoredItem(const StoredItem&) = delete;
  StoredItem& operator=(const StoredItem&) = delete;
  ~StoredItem() { reset(); }

  // The object (borrowed); null for the placeholder.
  PyObject* object() const {
    if (handle_ & kShared) return reinterpret_cast<const ValueNode*>(handle_ & ~kShared)->object.get();
    return reinterpret_cast<PyObject*>(handle_);
  }
  const IndexableNative& native() const { return IndexableClass::of(object()); }
  bool is_placeholder() const { return handle_ == 0; }

  // When the object was stored in this slot (see IndexAPI::store_item).
  uint64_t stamp = 0;

 private:
  static constexpr uintptr_t kShared = 1;
  explicit StoredItem(uintptr_t handle) : handle_(handle) {}
  void reset() noexcept {
    const uintptr_t h = std::exchange(handle_, 0);
    if (h & kShared) {
      PyValue::drop_node(reinterpret_cast<ValueNode*>(h & ~kShared));
    } else if (h) {
      py::PyRef::steal(reinterpret_cast<PyObject*>(h)).reset();  // through the pool without the GIL
    }
  }

  uintptr_t handle_ = 0;  // an owned PyObject*, or a ValueNode* with the low bit set
};

struct VacantItem {
  bool operator()(const StoredItem& item) const { return item.is_placeholder(); }
};
using Items = IdTable<StoredItem, false, VacantItem, HugePageAllocator<StoredItem>>;
using ItemsLock = RwLock<Items>;

}  // namespace calderwick
