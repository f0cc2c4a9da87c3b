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

namespace calderwick::py {

class GilRelease {
 public:
  GilRelease() : previous_(std::exchange(detail::gil_held_here, false)), state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() {
    PyEval_RestoreThread(state_);
    detail::gil_held_here = previous_;
    drain_pending();
  }

 private:
  bool previous_;
  PyThreadState* state_;
};

class GilAcquire {
 public:
  GilAcquire() : state_(PyGILState_Ensure()), previous_(std::exchange(detail::gil_held_here, true)) {
    drain_pending();
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

}  // namespace calderwick::py

#include "index/common/locks.h"

namespace calderwick::py {

// Takes `m` without ever blocking while this thread holds the GIL: a thread
// that holds the mutex may itself be waiting for the GIL (index code takes it
// around container walks), so a busy mutex is waited for with the GIL released.
template <typename T>
typename Mutex<T>::Guard lock_detached(Mutex<T>& m, const char* poisoned_message = kPoisonedLock) {
  std::optional<typename Mutex<T>::Guard> guard;
  if (!m.try_lock_into(guard, poisoned_message)) {
    GilRelease release;
    guard.emplace(m.lock(poisoned_message));
  }
  return std::move(*guard);
}

}  // namespace calderwick::py
