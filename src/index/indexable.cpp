#include "index/indexable.h"

#include <algorithm>

#include "index/common/write_gate.h"
#include "index/core/structures/id_alloc/id_alloc.h"
#include "index/core/structures/string_interner/string_interner.h"

namespace calderwick {

IndexableNative::IndexableNative(IndexableNative&& o) noexcept
    : attributes(std::move(o.attributes)), indexes(std::move(o.indexes)), id(std::exchange(o.id, 0)) {}

IndexableNative::~IndexableNative() {
  if (id) free_id(id);
}

const AttributeMap& attributes_of(const IndexableNative& o) {
  if (!WRITE_GATE().held_by_this_thread()) internal_error("attribute map read by index code outside the write gate");
  return o.attributes;
}

Memberships memberships_of(const IndexableNative& o) { return o.indexes ? *o.indexes : Memberships(); }

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
