// Attribute assignment on the index side: moving one attribute of an object
// from its stored value to a new one in every index that holds the object.
#pragma once

#include <cstdint>

#include "index/indexable.h"
#include "index/value.h"

namespace calderwick {

class PreparedElements;

// The depth of the deepest index that has the object as a member (0 for none
// or only top-level indexes). Needs the GIL.
int deepest_membership(const IndexableNative& object);

// Moves `attribute` of `object` from the value its map holds to `value` in
// every index that has the object as a member, shallow indexes first. The
// caller holds the write gate and the GIL, converted `value`'s containers
// into `prepared`, and stores `value` in the map afterwards. The GIL is
// released while the indexes change; references released meanwhile stay
// queued until the caller drains them after its store.
void reassign_in_indexes(const IndexableNative& object, uint32_t attribute, const PyValue& value,
                         const PreparedElements& prepared);

}  // namespace calderwick
