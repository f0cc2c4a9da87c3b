// Process-wide object ids.
//
// Every `Indexable` and every element of an indexed container value is named
// by a 32-bit id, unique among live objects of the process and shared by every
// index that holds the object. Object ids are drawn upwards from 1 and element
// ids downwards from 0xFFFFFFFF, so that the per-id tables of an index (its
// items, sized by the highest object id) do not grow with the elements of its
// containers. Released ids are reused most-recent first, each at its own end,
// which keeps both ends (and so every bitmap over them) dense. Id 0 is never
// given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace calderwick {

// An object id. Throws InternalError once all 2^32 - 1 ids (objects and
// elements together) are in use and no object id was released.
uint32_t allocate_id();
// Fills `out` with element ids under one lock; on exhaustion none is taken.
void allocate_element_ids(std::span<uint32_t> out);
// Gives back an object id or an element id.
void free_id(uint32_t id);
// free_id of each, in order, under one lock.
void release_ids(std::span<const uint32_t> ids);

namespace testing {
// Moves the never-used counter (tests of exhaustion only).
void set_id_counter(uint32_t next);
uint32_t id_counter();
size_t free_id_count();  // object ids released
size_t element_ids_in_use();
}  // namespace testing

}  // namespace calderwick
