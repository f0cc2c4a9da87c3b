// BuiltOnDemand<T>: a structure beside an index that a query builds when it
// would pay, that writers keep current or drop, and that queries read
// without a lock.
//
// A writer may also build it beside its writes and `install` it (a bulk
// load files every value anyway, so the structure costs it less than a
// reader's rebuild would).
//
// Readers see it only through `ready()`, published with release order once
// built. `build_once(make)` builds it in the calling reader; the mutex is
// taken without blocking, so a reader that finds another one building gets
// null and answers without it meanwhile. Writers (under the owner's write
// lock, so no reader runs) patch it through `owned()` or `drop()` it. Moves
// are writes too.
//
//   BuiltOnDemand<Keys> keys;
//   const Keys* k = keys.ready();                  // null until built
//   k = keys.build_once([&] { return build(); });  // null if another reader builds
//   if (Keys* own = keys.owned()) own->patch(...); // writer
//   keys.install(std::move(built));                // writer
//   keys.drop();                                   // writer
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

namespace calderwick {

template <typename T>
class BuiltOnDemand {
 public:
  BuiltOnDemand() = default;
  BuiltOnDemand(BuiltOnDemand&& other) noexcept : value_(std::move(other.value_)), ready_(value_.get()) {
    other.ready_.store(nullptr, std::memory_order_relaxed);
  }
  BuiltOnDemand& operator=(BuiltOnDemand&& other) noexcept {
    if (this != &other) {
      value_ = std::move(other.value_);
      ready_.store(value_.get(), std::memory_order_release);
      other.ready_.store(nullptr, std::memory_order_relaxed);
    }
    return *this;
  }

  const T* ready() const { return ready_.load(std::memory_order_acquire); }

  // The structure, built now by `make()` (returning a unique_ptr<T>) unless
  // it exists; null while another reader is building it.
  template <typename Make>
  const T* build_once(Make&& make) const {
    if (const T* v = ready()) return v;
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return nullptr;
    if (const T* v = ready()) return v;
    value_ = make();
    ready_.store(value_.get(), std::memory_order_release);
    return value_.get();
  }

  // Writers only.
  T* owned() { return value_.get(); }
  // Installs a structure the writer built itself (from the values it files),
  // replacing any.
  void install(std::unique_ptr<T> value) {
    ready_.store(nullptr, std::memory_order_release);
    value_ = std::move(value);
    ready_.store(value_.get(), std::memory_order_release);
  }
  // Drops the structure; false if there was none.
  bool drop() {
    if (!value_) return false;
    ready_.store(nullptr, std::memory_order_release);
    value_.reset();
    return true;
  }

 private:
  mutable std::mutex mutex_;
  mutable std::unique_ptr<T> value_;
  mutable std::atomic<const T*> ready_{nullptr};
};

}  // namespace calderwick
