#include "index/indexable.h"

#include <algorithm>

#include "index/binding/gil.h"
#include "index/core/structures/id_alloc/id_alloc.h"
#include "index/core/structures/string_interner/string_interner.h"

namespace calderwick {

IndexableNative IndexableNative::make_default() {
  IndexableNative n;
  n.indexes = std::make_shared<Mutex<Memberships>>();
  n.attributes = std::make_shared<Mutex<AttributeMap>>();
  n.id = allocate_id();
  n.owns_id = true;
  return n;
}

IndexableNative::IndexableNative(IndexableNative&& o) noexcept
    : indexes(std::move(o.indexes)), attributes(std::move(o.attributes)), id(o.id), owns_id(std::exchange(o.owns_id, false)) {}

IndexableNative::~IndexableNative() {
  if (owns_id) free_id(id);
}

IndexableNative IndexableNative::non_owning_copy() const {
  IndexableNative n;
  n.indexes = indexes;
  n.attributes = attributes;
  n.id = id;
  n.owns_id = false;
  return n;
}

const AttributeMap& attributes_of(const IndexableNative& o) {
  if (!WRITE_GATE().held_by_this_thread()) internal_error("attribute map read by index code outside the write gate");
  return o.attributes->unguarded();
}

Mutex<AttributeMap>::Guard hold_attributes_detached(const IndexableNative& o) {
  return py::lock_detached(*o.attributes, kCannotReadIndexable);
}

Memberships memberships_of(const IndexableNative& o) { return *o.indexes->lock(); }

void trim_indexes(Memberships& list, const IndexAPI* drop) {
  auto keep = std::remove_if(list.begin(), list.end(), [&](const IndexMeta& m) {
    const auto live = m.index.lock();
    return !live || live.get() == drop;
  });
  list.erase(keep, list.end());
}

uint32_t attribute_id(std::string_view name) {
  if (auto id = INTERNER().snapshot()->get(name)) return *id;
  return INTERNER().intern(name);
}

}  // namespace calderwick
