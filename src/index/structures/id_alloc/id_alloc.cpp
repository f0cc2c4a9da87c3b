#include "index/structures/id_alloc/id_alloc.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "index/common/locks.h"

namespace calderwick {
namespace {

// The next never-used id. It only advances under the FREE_IDS mutex; once it
// has handed out 0xFFFFFFFF it wraps to 0, which marks the id space exhausted.
std::atomic<uint32_t> GLOBAL_ID_COUNTER{1};

// Released ids in release order; never destroyed.
Mutex<std::vector<uint32_t>>& free_ids() {
  static auto* FREE_IDS = new Mutex<std::vector<uint32_t>>();
  return *FREE_IDS;
}

}  // namespace

uint32_t allocate_id() {
  auto ids = free_ids().lock();
  if (!ids->empty()) {
    const uint32_t id = ids->back();
    ids->pop_back();
    return id;
  }
  if (GLOBAL_ID_COUNTER.load(std::memory_order_relaxed) != 0) {
    return GLOBAL_ID_COUNTER.fetch_add(1, std::memory_order_relaxed);
  }
  // Nothing changed, so the allocator must stay usable: raise after unlocking.
  ids.unlock();
  internal_error("object ids exhausted: 4294967295 objects are alive");
}

void allocate_ids(std::span<uint32_t> out) {
  auto ids = free_ids().lock();
  const size_t reused = std::min(out.size(), ids->size());
  const size_t fresh = out.size() - reused;
  const uint32_t next = GLOBAL_ID_COUNTER.load(std::memory_order_relaxed);
  // The counter hands out next .. 0xFFFFFFFF, then wraps to 0 (exhausted).
  if (fresh > 0 && (next == 0 || fresh > uint64_t(0x100000000) - next)) {
    ids.unlock();
    internal_error("object ids exhausted: 4294967295 objects are alive");
  }
  for (size_t i = 0; i < reused; ++i) {
    out[i] = ids->back();
    ids->pop_back();
  }
  for (size_t i = 0; i < fresh; ++i) out[reused + i] = next + static_cast<uint32_t>(i);
  GLOBAL_ID_COUNTER.store(static_cast<uint32_t>(next + fresh), std::memory_order_relaxed);
}

void free_id(uint32_t id) { free_ids().lock()->push_back(id); }

void release_ids(std::span<const uint32_t> ids) {
  auto free = free_ids().lock();
  free->insert(free->end(), ids.begin(), ids.end());
}

namespace testing {
void set_id_counter(uint32_t next) {
  auto ids = free_ids().lock();
  GLOBAL_ID_COUNTER.store(next, std::memory_order_relaxed);
}
uint32_t id_counter() { return GLOBAL_ID_COUNTER.load(std::memory_order_relaxed); }
size_t free_id_count() { return free_ids().lock()->size(); }
}  // namespace testing

}  // namespace calderwick
