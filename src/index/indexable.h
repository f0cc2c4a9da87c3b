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
#include <optional>

#include "absl/container/flat_hash_map.h"
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

// Holds one of an object's two mutexes for index code. A thread that already
// holds the same mutex further up its stack (an object nested in itself, or an
// assignment whose index update reaches the object again) reuses that hold
// instead of locking twice. A poisoned mutex raises `poisoned_message`.
template <typename T>
class ReentrantHold {
 public:
  // Blocks for the mutex; only for threads that do not hold the GIL.
  explicit ReentrantHold(Mutex<T>& m, const char* poisoned_message = kPoisonedLock) { enter(m, false, poisoned_message); }
  // For threads that hold the GIL: waits with the GIL released if the mutex is busy.
  static ReentrantHold detached(Mutex<T>& m, const char* poisoned_message = kPoisonedLock) {
    ReentrantHold h;
    h.enter(m, true, poisoned_message);
    return h;
  }
  ReentrantHold(ReentrantHold&& o) noexcept
      : guard_(std::move(o.guard_)), mutex_(std::exchange(o.mutex_, nullptr)), data_(o.data_) {
    o.guard_.reset();
  }
  ReentrantHold(const ReentrantHold&) = delete;
  ReentrantHold& operator=(const ReentrantHold&) = delete;
  ~ReentrantHold() {
    if (!mutex_) return;
    held().erase(mutex_);
    guard_.reset();
  }

  T& operator*() const { return *data_; }
  T* operator->() const { return data_; }

 private:
  ReentrantHold() = default;
  // Mutexes of this kind held by this thread (a bulk insertion holds many).
  static absl::flat_hash_map<const Mutex<T>*, T*>& held() {
    static thread_local absl::flat_hash_map<const Mutex<T>*, T*> map;
    return map;
  }
  void enter(Mutex<T>& m, bool detached, const char* poisoned_message);

  std::optional<typename Mutex<T>::Guard> guard_;
  const Mutex<T>* mutex_ = nullptr;
  T* data_ = nullptr;
};

using AttributesHold = ReentrantHold<AttributeMap>;
using MembershipsHold = ReentrantHold<Memberships>;

// The attribute map of an object, held for index code ("cannot read from
// indexable" when poisoned).
inline AttributesHold hold_attributes(const IndexableNative& o) { return AttributesHold(*o.attributes, kCannotReadIndexable); }
inline AttributesHold hold_attributes_detached(const IndexableNative& o) {
  return AttributesHold::detached(*o.attributes, kCannotReadIndexable);
}

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
