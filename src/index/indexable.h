// Indexable: the Python class of the objects that indexes hold.
//
// An instance is a bag of named attributes. Its native part keeps the
// attribute map (attribute id -> PyValue) and the list of indexes it belongs
// to (`IndexMeta`, weak pointers), each behind its own mutex and shared
// pointer, so that index code can hold copies of the native part without the
// GIL. Lock order: `indexes` before `attributes`, and index-side locks inside
// `attributes`.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "absl/container/inlined_vector.h"
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

// Stable compaction of a locked membership list: removes dead records and
// records referring to `drop`.
void trim_indexes(Memberships& list, const IndexAPI* drop);

// The Python object layout.
struct PyIndexable {
  PyObject_HEAD
  IndexableNative native;
};

// Creates the Indexable type (once) and returns it, or null with an error set.
PyTypeObject* indexable_type();

// The native part of an Indexable instance (borrowed), or null when `obj` is
// not an Indexable.
inline const IndexableNative* as_indexable(PyObject* obj) {
  PyTypeObject* t = indexable_type();
  if (!t || !PyObject_TypeCheck(obj, t)) return nullptr;
  return &reinterpret_cast<PyIndexable*>(obj)->native;
}

}  // namespace calderwick
