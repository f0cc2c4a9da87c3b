// The native part of an Indexable, the objects that indexes hold.
//
// An object is a bag of named attributes. Its native part keeps the
// attribute map (attribute id -> PyValue) and the list of indexes it belongs
// to (`IndexMeta`, weak pointers), each behind its own mutex and shared
// pointer, so that index code can hold copies of the native part without the
// GIL. Both are changed only under the write gate (common/write_gate.h, which
// also sets out the lock order); a thread holds at most one object mutex at a
// time, briefly. The Python class itself is in interfaces/indexable.h.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "absl/container/inlined_vector.h"
#include "index/binding/module_state.h"
#include "index/binding/py_class.h"
#include "index/common/locks.h"
#include "index/hybrid_hashmap.h"
#include "index/value.h"

namespace calderwick {

class IndexAPI;

// One membership: the index an object was added to. Keeps nothing alive.
struct IndexMeta {
  std::weak_ptr<IndexAPI> index;
};

using Memberships = absl::InlinedVector<IndexMeta, 4>;
using AttributeMap = HybridHashmap<uint32_t, PyValue>;

inline constexpr const char* kCannotReadIndexable = "cannot read from indexable";

struct IndexableNative {
  std::shared_ptr<Mutex<Memberships>> indexes;
  std::shared_ptr<Mutex<AttributeMap>> attributes;
  uint32_t id = 0;
  // Set only in the copy that the Python object carries: destroying that copy
  // releases the id. Copies held by indexes and values never do.
  bool owns_id = false;

  // An empty object with a freshly allocated id (placeholders only).
  static IndexableNative make_default();
  IndexableNative() = default;
  IndexableNative(IndexableNative&& o) noexcept;
  IndexableNative& operator=(IndexableNative&&) = delete;
  IndexableNative(const IndexableNative&) = delete;
  ~IndexableNative();

  // Shares the attribute map and memberships, same id, does not own the id.
  IndexableNative non_owning_copy() const;
};

// The attribute map as index code reads it. Every write to a map happens
// under the write gate (and the GIL), so the gate's holder reads without the
// mutex; this never blocks and never nests object locks. Throws an internal
// error when called without the gate.
const AttributeMap& attributes_of(const IndexableNative& o);

// The attribute map held for Python-facing code, which holds the GIL: a busy
// mutex is waited for with the GIL released. "cannot read from indexable"
// when poisoned.
Mutex<AttributeMap>::Guard hold_attributes_detached(const IndexableNative& o);

// A copy of the object's membership records, taken under a short hold.
Memberships memberships_of(const IndexableNative& o);

// Stable compaction of a locked membership list: removes dead records and
// records referring to `drop`.
void trim_indexes(Memberships& list, const IndexAPI* drop);

// The Python object layout: the object header, then the native part.
using IndexableClass = py::PyClass<IndexableNative>;

// The native part of an Indexable instance (borrowed), or null when `obj` is
// not an Indexable. Needs the GIL.
inline const IndexableNative* as_indexable(PyObject* obj) {
  PyTypeObject* t = py::INDEXABLE_TYPE();
  if (!t || !PyObject_TypeCheck(obj, t)) return nullptr;
  return &IndexableClass::of(obj);
}

// Attribute name -> id: the interner's lock-free snapshot first, the
// interner itself only for a name never seen before.
uint32_t attribute_id(std::string_view name);

}  // namespace calderwick
