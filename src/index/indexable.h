// The native part of an Indexable, the objects that indexes hold.
//
// An object is a bag of named attributes. Its native part lives inside the
// Python object itself: the attribute map (attribute id -> PyValue) and its
// process-wide id, in 16 bytes. The list of indexes it belongs to
// (`IndexMeta`, weak pointers) is kept beside it, by id: objects with the
// same list share one copy, so a million objects of one index cost a 4-byte
// handle each. Index code reaches it from the Python object it holds a
// reference to, without the GIL.
//
// No per-object mutex is needed: the attribute map and the membership list
// change only under the write gate with the GIL held (the lock order is in
// common/write_gate.h). Index code reads them under the gate; Python
// code reads them under the GIL; so a reader never meets a writer, and no
// object ever waits on another. The Python class itself is in
// interfaces/indexable.cpp.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>

#include "absl/container/inlined_vector.h"
#include "index/binding/module_state.h"
#include "index/binding/py_class.h"
#include "index/structures/hybrid_hashmap/hybrid_hashmap.h"
#include "index/value.h"

namespace calderwick {

class IndexAPI;

// One membership: the index an object was added to. Keeps nothing alive.
struct IndexMeta {
  std::weak_ptr<IndexAPI> index;
};

using Memberships = absl::InlinedVector<IndexMeta, 1>;
// An object's attribute array comes from Python's small-object allocator:
// no header per block and sizes in steps of 16 bytes, so eight attributes
// take 128 bytes, not the C heap's 144. Every write to an attribute map,
// and so every allocation and release, happens with the GIL held (see
// interfaces/indexable.cpp), as that allocator requires.
struct PyObjectBlocks {
  static void* allocate(size_t bytes) {
    void* p = PyObject_Malloc(bytes);
    if (!p) throw std::bad_alloc();
    return p;
  }
  static void release(void* p) noexcept { PyObject_Free(p); }
};

// Up to 16 attributes in one array sized by the count, then one array sorted
// by attribute id.
using AttributeMap = HybridHashmap<uint32_t, PyValue, 16, PyObjectBlocks>;

struct IndexableNative {
  // The map's tail padding holds the id.
  [[no_unique_address]] AttributeMap attributes;

  // Process-wide id, released with the object (0: none). The object's
  // membership list is filed under it.
  uint32_t id = 0;

  IndexableNative() = default;
  IndexableNative(IndexableNative&& o) noexcept;
  IndexableNative& operator=(IndexableNative&&) = delete;
  ~IndexableNative();
};

// A copy of the object's membership records (under the write gate).
Memberships memberships_of(const IndexableNative& o);
// Replaces the object's membership records (under the write gate); the
// object has an id.
void set_memberships(const IndexableNative& o, Memberships list);
// The object's list as a handle: equal for objects with the same list, 0
// for none. Valid until the next change of any list.
uint32_t memberships_handle(const IndexableNative& o);
// Joining an index changes a list the same way for every object that had
// it: a join worked out once for the list `from` (set_memberships then
// gave the list `to`) is remembered, and an object whose handle is `from`
// joining the same index again takes `to` at once. repeat_join is false,
// changing nothing, when it has no such join in mind. Under the write gate.
bool repeat_join(const IndexableNative& o, const std::weak_ptr<IndexAPI>& index);
void remember_join(uint32_t from, const std::weak_ptr<IndexAPI>& index, uint32_t to);

namespace testing {
// Distinct membership lists held by live objects.
size_t membership_lists();
}  // namespace testing

// The attribute map as index code reads it, under the write gate. Throws an
// internal error when called without the gate.
const AttributeMap& attributes_of(const IndexableNative& o);

// Stable compaction of a membership list: removes dead records and records
// referring to `drop`.
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

// The native part of the object an Ind value holds; no GIL needed.
inline const IndexableNative& indexable_of(const PyValue& v) { return IndexableClass::of(v.object()); }

// Attribute name -> id: the interner's lock-free snapshot first, the
// interner itself only for a name never seen before.
uint32_t attribute_id(std::string_view name);
// The same for a name given as a str object (borrowed; PyUnicode_Check
// holds), through a small table of the str objects seen lately, so that a
// name passed again as the same object (keyword names, identifiers) is
// neither encoded nor hashed again. Needs the GIL; a name that cannot be
// encoded raises as `py::utf8` does.
uint32_t attribute_id(PyObject* name);

}  // namespace calderwick
