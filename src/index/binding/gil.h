// GIL scopes.
//
// `GilRelease` lets other Python threads run while the core works and takes the
// GIL back on every exit path (then drains the pending-release pool).
// `GilAcquire` takes the GIL from a thread that may or may not hold it.
// Both keep `gil_held()` (py_ref.h) true exactly while the GIL is this
// thread's.
#pragma once

#include <Python.h>

#include <utility>

#include "index/binding/py_ref.h"
#include "index/common/locks.h"
#include "index/common/write_gate.h"

namespace calderwick::py {

class GilRelease {
 public:
  // Leaves the pool alone when the GIL comes back: releasing a reference may
  // run Python code (a finaliser), which must not run between two steps that
  // the caller needs to keep together. The caller drains later.
  struct KeepPending {};

  GilRelease() : previous_(std::exchange(detail::gil_held_here, false)), state_(PyEval_SaveThread()) {}
  explicit GilRelease(KeepPending) : GilRelease() { drain_ = false; }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() {
    PyEval_RestoreThread(state_);
    detail::gil_held_here = previous_;
    if (drain_) drain_pending();
  }

 private:
  bool previous_;
  PyThreadState* state_;
  bool drain_ = true;
};

class GilAcquire {
 public:
  GilAcquire() : state_(PyGILState_Ensure()), previous_(std::exchange(detail::gil_held_here, true)) {
    // A helper of the write gate's holder runs no finaliser: one that wrote
    // to an index would wait for the gate its holder keeps while it waits
    // for the helper.
    if (!calderwick::detail::gate_helper_here) drain_pending();
  }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;
  ~GilAcquire() {
    detail::gil_held_here = previous_;
    PyGILState_Release(state_);
  }

 private:
  PyGILState_STATE state_;
  bool previous_;
};

// Runs f with the GIL released and returns its result.
template <typename F>
decltype(auto) without_gil(F&& f) {
  GilRelease release;
  return std::forward<F>(f)();
}


// Enters the write gate without ever blocking while this thread holds the GIL:
// the gate's holder may be waiting for the GIL itself.
inline WriteScope write_scope() {
  if (!WRITE_GATE().try_enter()) {
    GilRelease release{GilRelease::KeepPending{}};
    WRITE_GATE().enter();
  }
  return WriteScope(WriteScope::Adopt{});
}

// A read hold on `lock`, waited for with the GIL released if a writer holds it.
template <typename T>
typename RwLock<T>::ReadGuard read_detached(const RwLock<T>& lock) {
  std::optional<typename RwLock<T>::ReadGuard> guard;
  if (!lock.try_read_into(guard)) {
    GilRelease release{GilRelease::KeepPending{}};
    guard.emplace(lock.read());
  }
  return std::move(*guard);
}

}  // namespace calderwick::py
