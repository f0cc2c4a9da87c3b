// Owned Python references that are safe to drop on any thread.
//
// `PyRef` owns one strong reference. Dropping it with the GIL held releases the
// reference at once; dropping it on a thread without the GIL queues it in the
// pending-release pool, which is drained the next time the module holds the
// GIL. Nothing outside this folder touches a reference count by hand
// (scripts/check_plumbing.py fails the tests if something does).
#pragma once

#include <Python.h>

#include <memory>
#include <utility>

namespace calderwick::py {

namespace detail {
// Whether this thread holds the GIL, as the module's own scopes record it:
// set by every entry point from CPython (`GilHeld`), cleared by `GilRelease`,
// set again by `GilAcquire`. A thread that never entered the module counts as
// not holding it. (The interpreter's own check cannot be used: once a
// sub-interpreter exists it answers yes on every thread.)
inline thread_local bool gil_held_here = false;
}  // namespace detail

inline bool gil_held() { return detail::gil_held_here; }

// Declares that this thread holds the GIL for the scope's life: opened by
// every function CPython calls (methods, slots, deallocators, module init).
class GilHeld {
 public:
  GilHeld() : previous_(std::exchange(detail::gil_held_here, true)) {}
  GilHeld(const GilHeld&) = delete;
  GilHeld& operator=(const GilHeld&) = delete;
  ~GilHeld() { detail::gil_held_here = previous_; }

 private:
  bool previous_;
};

// Queues a reference to be released the next time the GIL is held.
void release_later(PyObject* obj) noexcept;
// Releases every queued reference. Requires the GIL; costs one relaxed atomic
// load when nothing is queued.
void drain_pending() noexcept;
// Number of references waiting in the pool (for tests).
size_t pending_count() noexcept;

class PyRef {
 public:
  PyRef() = default;
  // Takes ownership of a new reference (may be null).
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Takes a new reference to a borrowed object. Requires the GIL.
  static PyRef borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  PyRef(PyRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      reset();
      obj_ = std::exchange(o.obj_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  // A second strong reference to the same object. Requires the GIL.
  PyRef clone() const { return borrow(obj_); }

  PyObject* get() const { return obj_; }
  // Hands the reference to the caller (for returning to CPython).
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

  void reset() noexcept {
    if (PyObject* o = std::exchange(obj_, nullptr)) {
      if (gil_held()) {
        Py_DECREF(o);
      } else {
        release_later(o);
      }
    }
  }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace calderwick::py
