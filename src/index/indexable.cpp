#include "index/indexable.h"

#include <algorithm>

#include "index/binding/convert.h"
#include "index/common/write_gate.h"
#include "index/structures/id_alloc/id_alloc.h"
#include "index/structures/string_interner/string_interner.h"

namespace calderwick {

static_assert(sizeof(IndexableNative) == 32, "the native part fits 32 bytes");

IndexableNative::IndexableNative(IndexableNative&& o) noexcept
    : attributes(std::move(o.attributes)), id(std::exchange(o.id, 0)) {
  held_ = std::exchange(o.held_, Held::None);
  if (held_ == Held::One) {
    new (&one_) std::weak_ptr<IndexAPI>(std::move(o.one_));
    o.one_.~weak_ptr();
  } else if (held_ == Held::Many) {
    many_ = o.many_;
  }
}

IndexableNative::~IndexableNative() {
  drop_memberships();
  if (id) free_id(id);
}

void IndexableNative::drop_memberships() const {
  if (held_ == Held::One) one_.~weak_ptr();
  if (held_ == Held::Many) delete many_;
  held_ = Held::None;
}

Memberships memberships_of(const IndexableNative& o) {
  switch (o.held_) {
    case IndexableNative::Held::None: return {};
    case IndexableNative::Held::One: return {IndexMeta{o.one_}};
    case IndexableNative::Held::Many: return *o.many_;
  }
  return {};
}

void set_memberships(const IndexableNative& o, Memberships list) {
  if (o.held_ == IndexableNative::Held::Many && list.size() > 1) {
    *o.many_ = std::move(list);
    return;
  }
  o.drop_memberships();
  if (list.size() == 1) {
    new (&o.one_) std::weak_ptr<IndexAPI>(std::move(list[0].index));
    o.held_ = IndexableNative::Held::One;
  } else if (list.size() > 1) {
    o.many_ = new Memberships(std::move(list));
    o.held_ = IndexableNative::Held::Many;
  }
}

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
