#include "index/core/assignment.h"

#include <algorithm>

#include "absl/container/inlined_vector.h"
#include "index/binding/gil.h"
#include "index/core/index.h"
#include "index/core/prepared.h"

namespace calderwick {

int deepest_membership(const IndexableNative& object) {
  int depth = 0;
  for (const IndexMeta& record : memberships_of(object)) {
    const auto live = record.index.lock();
    if (live && live->has_member(object.id)) depth = std::max(depth, live->depth());
  }
  return depth;
}

void reassign_in_indexes(const IndexableNative& object, uint32_t attribute, const PyValue& value,
                         const PreparedElements& prepared) {
  // Indexes are updated shallow first, so that each sub-index sees its
  // parents already moved to the new value. Filing may register the object
  // with more sub-indexes meanwhile; those filed the old value from the map,
  // and are moved to the new one in a further round. The gate keeps every
  // other writer out until the caller's final store.
  // A scalar registers nothing: one round covers every index.
  absl::InlinedVector<const IndexAPI*, 4> done;
  for (bool again = true; again; again = value.nests()) {
    absl::InlinedVector<std::shared_ptr<IndexAPI>, 4> pending;
    for (const IndexMeta& record : memberships_of(object)) {
      std::shared_ptr<IndexAPI> index = record.index.lock();
      if (!index || std::find(done.begin(), done.end(), index.get()) != done.end()) continue;
      // An index the object has left (narrowed away, or a sub-index whose
      // last owner of it went) is not updated: it holds none of the
      // object's values, and re-adding files them all again.
      if (index->has_member(object.id)) pending.push_back(std::move(index));
    }
    if (pending.empty()) return;
    std::stable_sort(pending.begin(), pending.end(),
                     [](const auto& x, const auto& y) { return x->depth() < y->depth(); });
    // Finalisers of references released meanwhile run after the final
    // store: one assigning this attribute again must find it stored.
    py::GilRelease release{py::GilRelease::KeepPending{}};
    for (const std::shared_ptr<IndexAPI>& index : pending) {
      // Checked again after the first: updating a shallower index may have
      // taken the object's last owner in this one away (and a later round
      // may bring it back).
      if (index != pending.front() && !index->has_member(object.id)) continue;
      done.push_back(index.get());
      if (const PyValue* old = attributes_of(object).get(attribute)) {
        index->replace_index(object.id, attribute, *old, value, prepared);
      } else {
        index->add_index(object.id, attribute, value, prepared);
      }
    }
  }
}

}  // namespace calderwick
