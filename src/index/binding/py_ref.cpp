#include "index/binding/py_ref.h"

#include <atomic>
#include <mutex>
#include <vector>

namespace calderwick::py {
namespace {

struct PendingPool {
  std::atomic<bool> nonempty{false};
  std::mutex mutex;
  std::vector<PyObject*> objects;
};

// Never destroyed: references may be queued by threads that outlive static
// destruction order.
PendingPool& pool() {
  static PendingPool* p = new PendingPool();
  return *p;
}

}  // namespace

void release_later(PyObject* obj) noexcept {
  PendingPool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.objects.push_back(obj);
  p.nonempty.store(true, std::memory_order_release);
}

void drain_pending() noexcept {
  PendingPool& p = pool();
  if (!p.nonempty.load(std::memory_order_relaxed)) return;
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    batch.swap(p.objects);
    p.nonempty.store(false, std::memory_order_relaxed);
  }
  // Releasing may run arbitrary Python code (finalisers), which may queue more.
  for (PyObject* o : batch) Py_DECREF(o);
}

size_t pending_count() noexcept {
  PendingPool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.objects.size();
}

}  // namespace calderwick::py
