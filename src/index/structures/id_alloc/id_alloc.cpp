#include "index/structures/id_alloc/id_alloc.h"

#include <algorithm>
#include <vector>

#include "index/common/locks.h"

namespace calderwick {
namespace {

// The id space 1 .. 0xFFFFFFFF, drawn from both ends: object ids upwards
// from 1, element ids downwards from 0xFFFFFFFF. Every object id is below
// `next_object` and every element id above `next_element`, so a released id
// tells which end it came from. The space is exhausted when the two meet.
struct Ids {
  uint64_t next_object = 1;              // the next fresh object id
  uint64_t next_element = 0xFFFFFFFFu;   // the next fresh element id
  std::vector<uint32_t> free_objects;    // released, in release order
  std::vector<uint32_t> free_elements;
  uint64_t fresh_left() const { return next_element + 1 - next_object; }
  void release(uint32_t id) { (id > next_element ? free_elements : free_objects).push_back(id); }
};

// Never destroyed.
Mutex<Ids>& ids() {
  static auto* IDS = new Mutex<Ids>();
  return *IDS;
}

[[noreturn]] void exhausted() { internal_error("object ids exhausted: 4294967295 objects are alive"); }

}  // namespace

uint32_t allocate_id() {
  auto all = ids().lock();
  if (!all->free_objects.empty()) {
    const uint32_t id = all->free_objects.back();
    all->free_objects.pop_back();
    return id;
  }
  if (all->fresh_left() > 0) return static_cast<uint32_t>(all->next_object++);
  // Nothing changed, so the allocator must stay usable: raise after unlocking.
  all.unlock();
  exhausted();
}

void allocate_element_ids(std::span<uint32_t> out) {
  auto all = ids().lock();
  std::vector<uint32_t>& free = all->free_elements;
  const size_t reused = std::min(out.size(), free.size());
  const size_t fresh = out.size() - reused;
  if (fresh > all->fresh_left()) {
    all.unlock();
    exhausted();
  }
  for (size_t i = 0; i < reused; ++i) {
    out[i] = free.back();
    free.pop_back();
  }
  for (size_t i = 0; i < fresh; ++i) out[reused + i] = static_cast<uint32_t>(all->next_element - i);
  all->next_element -= fresh;
}

void free_id(uint32_t id) { ids().lock()->release(id); }

void release_ids(std::span<const uint32_t> released) {
  auto all = ids().lock();
  for (const uint32_t id : released) all->release(id);
}

namespace testing {
void set_id_counter(uint32_t next) { ids().lock()->next_object = next; }
uint32_t id_counter() { return static_cast<uint32_t>(ids().lock()->next_object); }
size_t free_id_count() { return ids().lock()->free_objects.size(); }
size_t element_ids_in_use() {
  auto all = ids().lock();
  return 0xFFFFFFFFu - all->next_element - all->free_elements.size();
}
}  // namespace testing

}  // namespace calderwick
