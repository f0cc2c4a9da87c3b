#include "index/indexable.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "absl/hash/hash.h"

#include "index/binding/convert.h"
#include "index/common/write_gate.h"
#include "index/structures/id_alloc/id_alloc.h"
#include "index/structures/string_interner/string_interner.h"

namespace calderwick {

static_assert(sizeof(IndexableNative) == 16, "the native part fits 16 bytes");

namespace {

bool same_index(const std::weak_ptr<IndexAPI>& a, const std::weak_ptr<IndexAPI>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

constexpr uint32_t kMembershipPage = 1u << 16;
// The pages of handles by object id (see MembershipTable), zero until made:
// constant-initialised, so untouched entries take no memory.
constinit std::atomic<std::atomic<uint32_t>*> membership_pages[(uint64_t{1} << 32) / kMembershipPage] = {};

// The membership lists of every object, each distinct list kept once.
//
// A list is interned in a slot with a count of the objects that hold it;
// handle = slot + 1, and a slot whose count falls to zero is free for the
// next new list. An object's handle lives in a table by object id, in pages
// of kPage handles made as ids reach them and never moved, so that reading
// one object's handle needs no lock while another object's changes.
//
// Lists and counts change under the write gate, except that an object's
// deallocation (with the GIL, not necessarily the gate) drops its count:
// the mutex covers both.
class MembershipTable {
 public:
  uint32_t handle(uint32_t id) const {
    const std::atomic<uint32_t>* page = membership_pages[id / kPage].load(std::memory_order_acquire);
    return page ? page[id % kPage].load(std::memory_order_relaxed) : 0;
  }

  Memberships list(uint32_t handle) {
    if (!handle) return {};
    std::lock_guard<std::mutex> lock(mu_);
    return slots_[handle - 1].list;
  }

  // Gives object `id` the list `list` (interned), dropping the one it held.
  void assign(uint32_t id, Memberships list) {
    if (!id) internal_error("membership recorded for an object without an id");
    // Hashed before the lock: a pointer locked for it may be the last
    // owner of its index, whose going must not run under the mutex.
    const size_t h = hash_of(list);
    std::lock_guard<std::mutex> lock(mu_);
    const uint32_t to = list.empty() ? 0 : intern(std::move(list), h);
    move_object(id, to);
  }

  // An object goes: its list loses a holder.
  void forget(uint32_t id) {
    if (!handle(id)) return;
    std::lock_guard<std::mutex> lock(mu_);
    move_object(id, 0);
  }

  bool repeat_join(uint32_t id, const std::weak_ptr<IndexAPI>& index) {
    const uint32_t from = handle(id);
    std::lock_guard<std::mutex> lock(mu_);
    if (!join_.valid || join_.from != from || !same_index(join_.index, index)) return false;
    if (join_.to != from) {
      if (join_.to) ++slots_[join_.to - 1].holders;  // held: no list has gone since it was remembered
      move_object(id, join_.to);
    }
    return true;
  }

  void remember_join(uint32_t from, const std::weak_ptr<IndexAPI>& index, uint32_t to) {
    std::lock_guard<std::mutex> lock(mu_);
    // `from` may have lost its last holder meanwhile (the object itself
    // left it, or another object went): then its slot may come back as
    // another list, and the join is not kept.
    const auto held = [&](uint32_t h) { return h == 0 || slots_[h - 1].holders > 0; };
    join_ = held(from) && held(to) ? Join{true, from, to, index} : Join{};
  }

  // Distinct lists held (tests).
  size_t lists() {
    std::lock_guard<std::mutex> lock(mu_);
    return slots_.size() - free_.size();
  }

 private:
  static constexpr uint32_t kPage = kMembershipPage;
  struct Slot {
    Memberships list;
    size_t hash = 0;
    uint64_t holders = 0;
  };
  struct Join {
    bool valid = false;
    uint32_t from = 0, to = 0;
    std::weak_ptr<IndexAPI> index;
  };

  static size_t hash_of(const Memberships& list) {
    size_t h = list.size();
    for (const IndexMeta& m : list) h = absl::HashOf(h, m.index.lock().get());
    return h;
  }
  static bool same_list(const Memberships& a, const Memberships& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const IndexMeta& x, const IndexMeta& y) { return same_index(x.index, y.index); });
  }

  // The handle of a list equal to `list` (whose hash_of is `h`), made if
  // there is none, with one more holder. Under the mutex.
  uint32_t intern(Memberships list, size_t h) {
    auto [first, last] = by_hash_.equal_range(h);
    for (auto it = first; it != last; ++it) {
      Slot& slot = slots_[it->second - 1];
      if (same_list(slot.list, list)) {
        ++slot.holders;
        return it->second;
      }
    }
    uint32_t handle;
    if (!free_.empty()) {
      handle = free_.back();
      free_.pop_back();
    } else {
      slots_.emplace_back();
      handle = static_cast<uint32_t>(slots_.size());
    }
    slots_[handle - 1] = Slot{std::move(list), h, 1};
    by_hash_.emplace(h, handle);
    return handle;
  }

  // Object `id` now holds `to` (whose holder is counted already) instead of
  // what it held. Under the mutex.
  void move_object(uint32_t id, uint32_t to) {
    std::atomic<uint32_t>& at = cell(id);
    const uint32_t from = at.load(std::memory_order_relaxed);
    at.store(to, std::memory_order_relaxed);
    if (from) release(from);
  }

  void release(uint32_t handle) {
    Slot& slot = slots_[handle - 1];
    if (--slot.holders > 0) return;
    auto [first, last] = by_hash_.equal_range(slot.hash);
    for (auto it = first; it != last; ++it) {
      if (it->second == handle) {
        by_hash_.erase(it);
        break;
      }
    }
    slot.list = Memberships();
    free_.push_back(handle);
    join_ = Join{};  // it may name this slot
  }

  std::atomic<uint32_t>& cell(uint32_t id) {
    std::atomic<std::atomic<uint32_t>*>& entry = membership_pages[id / kPage];
    std::atomic<uint32_t>* page = entry.load(std::memory_order_acquire);
    if (!page) {
      page = new std::atomic<uint32_t>[kPage]();
      entry.store(page, std::memory_order_release);
    }
    return page[id % kPage];
  }

  std::mutex mu_;
  std::deque<Slot> slots_;
  std::vector<uint32_t> free_;
  std::unordered_multimap<size_t, uint32_t> by_hash_;
  Join join_;
};

// Never destroyed: objects may outlive every other static.
MembershipTable& MEMBERSHIPS() {
  static auto* table = new MembershipTable();
  return *table;
}

}  // namespace

IndexableNative::IndexableNative(IndexableNative&& o) noexcept
    : attributes(std::move(o.attributes)), id(std::exchange(o.id, 0)) {}

IndexableNative::~IndexableNative() {
  if (id) {
    MEMBERSHIPS().forget(id);
    free_id(id);
  }
}

Memberships memberships_of(const IndexableNative& o) {
  return o.id ? MEMBERSHIPS().list(MEMBERSHIPS().handle(o.id)) : Memberships();
}

void set_memberships(const IndexableNative& o, Memberships list) { MEMBERSHIPS().assign(o.id, std::move(list)); }

uint32_t memberships_handle(const IndexableNative& o) { return o.id ? MEMBERSHIPS().handle(o.id) : 0; }

bool repeat_join(const IndexableNative& o, const std::weak_ptr<IndexAPI>& index) {
  return o.id && MEMBERSHIPS().repeat_join(o.id, index);
}

void remember_join(uint32_t from, const std::weak_ptr<IndexAPI>& index, uint32_t to) {
  MEMBERSHIPS().remember_join(from, index, to);
}

namespace testing {
size_t membership_lists() { return MEMBERSHIPS().lists(); }
}  // namespace testing

const AttributeMap& attributes_of(const IndexableNative& o) {
  if (!WRITE_GATE().readable_here()) internal_error("attribute map read by index code outside the write gate");
  return o.attributes;
}


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

namespace {

// Names seen lately, by str object, direct-mapped by address. A slot holds a
// reference to its str, so while the slot names an address no other object
// can be given it, and a str never changes: a slot that names the very
// object asked for has its id. The references of the slots in use are never
// given back (at most kNameSlots strings). Read and written with the GIL.
struct NameSlot {
  PyObject* name = nullptr;
  uint32_t id = 0;
};
constexpr size_t kNameSlots = 256;
NameSlot name_slots[kNameSlots];

NameSlot& name_slot(PyObject* name) {
  const uint64_t h = uint64_t(reinterpret_cast<uintptr_t>(name) >> 4) * 0x9E3779B97F4A7C15ull;
  return name_slots[h >> 56];
}

}  // namespace

uint32_t attribute_id(PyObject* name) {
  NameSlot& slot = name_slot(name);
  if (slot.name == name) return slot.id;
  const uint32_t id = attribute_id(py::utf8(name));
  // Only exact str objects are kept: a subclass could compare by its own rules.
  if (!PyUnicode_CheckExact(name)) return id;
  PyObject* old = std::exchange(slot.name, py::PyRef::borrow(name).release());  // the slot's reference
  slot.id = id;
  if (old) py::PyRef::steal(old).reset();
  return id;
}

}  // namespace calderwick
