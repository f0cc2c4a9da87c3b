// Lazy<T>: a value created on first use, at most once, safe to reach from
// many threads. Readers that only need to know whether it exists pay one
// acquire load; creation is serialised by a small mutex, a leaf of the lock
// order (common/write_gate.h): nothing is locked while creating.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

namespace calderwick {

template <typename T>
class Lazy {
 public:
  Lazy() = default;
  Lazy(const Lazy&) = delete;
  Lazy& operator=(const Lazy&) = delete;
  ~Lazy() { delete ptr_.load(std::memory_order_relaxed); }

  // The value, or null when it was never created.
  T* get() const { return ptr_.load(std::memory_order_acquire); }

  template <typename Make>
  T& get_or_create(Make&& make) {
    if (T* p = get()) return *p;
    std::lock_guard<std::mutex> lock(create_);
    if (T* p = ptr_.load(std::memory_order_relaxed)) return *p;
    T* fresh = new T(make());
    ptr_.store(fresh, std::memory_order_release);
    return *fresh;
  }

 private:
  std::atomic<T*> ptr_{nullptr};
  std::mutex create_;
};

}  // namespace calderwick
