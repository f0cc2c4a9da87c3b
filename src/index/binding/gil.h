// GIL scopes.
//
// `GilRelease` lets other Python threads run while the core works and takes the
// GIL back on every exit path (then drains the pending-release pool).
// `GilAcquire` takes the GIL from a thread that may or may not hold it.
#pragma once

#include <Python.h>

#include <utility>

#include "index/binding/py_ref.h"

namespace calderwick::py {

class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;
  ~GilRelease() {
    PyEval_RestoreThread(state_);
    drain_pending();
  }

 private:
  PyThreadState* state_;
};

class GilAcquire {
 public:
  GilAcquire() : state_(PyGILState_Ensure()) { drain_pending(); }
  GilAcquire(const GilAcquire&) = delete;
  GilAcquire& operator=(const GilAcquire&) = delete;
  ~GilAcquire() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// Runs f with the GIL released and returns its result.
template <typename F>
decltype(auto) without_gil(F&& f) {
  GilRelease release;
  return std::forward<F>(f)();
}

}  // namespace calderwick::py

#include "index/common/locks.h"
#include "index/common/write_gate.h"

namespace calderwick::py {

// Enters the write gate without ever blocking while this thread holds the GIL:
// the gate's holder may be waiting for the GIL itself.
inline WriteScope write_scope() {
  if (!WRITE_GATE().try_enter()) {
    GilRelease release;
    WRITE_GATE().enter();
  }
  return WriteScope(WriteScope::Adopt{});
}

// A read hold on `lock`, waited for with the GIL released if a writer holds it.
template <typename T>
typename RwLock<T>::ReadGuard read_detached(const RwLock<T>& lock) {
  std::optional<typename RwLock<T>::ReadGuard> guard;
  if (!lock.try_read_into(guard)) {
    GilRelease release;
    guard.emplace(lock.read());
  }
  return std::move(*guard);
}

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
