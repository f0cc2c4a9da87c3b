// Process-wide object ids.
//
// Every `Indexable` and every element of an indexed container value is named
// by a 32-bit id, unique among live objects of the process and shared by every
// index that holds the object. Released ids are reused most-recent first, which
// keeps the id space (and so every bitmap over it) dense. Id 0 is never given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace calderwick {

// Throws InternalError once all 2^32 - 1 ids have been drawn and none was released.
uint32_t allocate_id();
// Fills `out` with fresh ids under one lock; on exhaustion none is taken.
void allocate_ids(std::span<uint32_t> out);
void free_id(uint32_t id);
// free_id of each, in order, under one lock.
void release_ids(std::span<const uint32_t> ids);

namespace testing {
// Moves the never-used counter (tests of exhaustion only).
void set_id_counter(uint32_t next);
uint32_t id_counter();
size_t free_id_count();
}  // namespace testing

}  // namespace calderwick
