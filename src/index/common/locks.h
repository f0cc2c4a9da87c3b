// Poisonable locks.
//
// `RwLock<T>` and `Mutex<T>` own the data they guard, which is reached only
// through a scoped guard. A write guard (or mutex guard) records how many
// exceptions were in flight when it was taken; if it is released while a new
// one is unwinding, the holder failed part-way and the lock is poisoned: every
// later attempt to take it throws `InternalError`. A read guard never poisons,
// since nothing changed under it.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <utility>

#include "index/common/error.h"

namespace calderwick {

inline constexpr const char* kPoisonedLock = "lock poisoned: an earlier operation failed while holding it";

namespace detail {

class PoisonFlag {
 public:
  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }
  void poison() { poisoned_.store(true, std::memory_order_release); }
  void check(const char* message) const {
    if (is_poisoned()) internal_error(message);
  }

 private:
  std::atomic<bool> poisoned_{false};
};

// GCC 12 reports the members below as maybe-uninitialized when a guard sits
// in a disengaged std::optional (a false positive: release() checks m_ first).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Releases `Lockable` on scope exit and poisons `flag` when an exception that
// started while the guard was held is unwinding through its destructor.
template <typename Lockable, void (Lockable::*Unlock)()>
class PoisoningRelease {
 public:
  PoisoningRelease(Lockable* m, PoisonFlag* flag) : m_(m), flag_(flag), in_flight_(std::uncaught_exceptions()) {}
  PoisoningRelease(PoisoningRelease&& o) noexcept
      : m_(std::exchange(o.m_, nullptr)), flag_(o.flag_), in_flight_(o.in_flight_) {}
  PoisoningRelease(const PoisoningRelease&) = delete;
  PoisoningRelease& operator=(const PoisoningRelease&) = delete;
  PoisoningRelease& operator=(PoisoningRelease&&) = delete;
  ~PoisoningRelease() { release(); }

  void release() {
    if (!m_) return;
    if (std::uncaught_exceptions() > in_flight_) flag_->poison();
    (m_->*Unlock)();
    m_ = nullptr;
  }
  bool owns() const { return m_ != nullptr; }

 private:
  Lockable* m_;
  PoisonFlag* flag_;
  int in_flight_;
};

#pragma GCC diagnostic pop

}  // namespace detail

template <typename T>
class RwLock {
 public:
  class ReadGuard {
   public:
    const T& operator*() const { return *data_; }
    const T* operator->() const { return data_; }
    void unlock() {
      if (m_) std::exchange(m_, nullptr)->unlock_shared();
    }
    ReadGuard(ReadGuard&& o) noexcept : m_(std::exchange(o.m_, nullptr)), data_(o.data_) {}
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    ReadGuard& operator=(ReadGuard&&) = delete;
    ~ReadGuard() { unlock(); }

   private:
    friend class RwLock;
    ReadGuard(std::shared_mutex* m, const T* data) : m_(m), data_(data) {}
    std::shared_mutex* m_;
    const T* data_;
  };

  class WriteGuard {
   public:
    T& operator*() const { return *data_; }
    T* operator->() const { return data_; }
    void unlock() { release_.release(); }

   private:
    friend class RwLock;
    WriteGuard(std::shared_mutex* m, detail::PoisonFlag* flag, T* data) : release_(m, flag), data_(data) {}
    detail::PoisoningRelease<std::shared_mutex, &std::shared_mutex::unlock> release_;
    T* data_;
  };

  template <typename... Args>
  explicit RwLock(Args&&... args) : data_(std::forward<Args>(args)...) {}
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  ReadGuard read(const char* poisoned_message = kPoisonedLock) const {
    poison_.check(poisoned_message);
    m_.lock_shared();
    if (poison_.is_poisoned()) {
      m_.unlock_shared();
      internal_error(poisoned_message);
    }
    return ReadGuard(&m_, &data_);
  }

  // Takes a read hold only if no writer holds the lock right now.
  bool try_read_into(std::optional<ReadGuard>& out, const char* poisoned_message = kPoisonedLock) const {
    poison_.check(poisoned_message);
    if (!m_.try_lock_shared()) return false;
    if (poison_.is_poisoned()) {
      m_.unlock_shared();
      internal_error(poisoned_message);
    }
    out.emplace(ReadGuard(&m_, &data_));
    return true;
  }

  WriteGuard write(const char* poisoned_message = kPoisonedLock) {
    poison_.check(poisoned_message);
    m_.lock();
    if (poison_.is_poisoned()) {
      m_.unlock();
      internal_error(poisoned_message);
    }
    return WriteGuard(&m_, &poison_, &data_);
  }

  bool is_poisoned() const { return poison_.is_poisoned(); }

 private:
  mutable std::shared_mutex m_;
  detail::PoisonFlag poison_;
  T data_;
};

template <typename T>
class Mutex {
 public:
  class Guard {
   public:
    T& operator*() const { return *data_; }
    T* operator->() const { return data_; }
    void unlock() { release_.release(); }

   private:
    friend class Mutex;
    Guard(std::mutex* m, detail::PoisonFlag* flag, T* data) : release_(m, flag), data_(data) {}
    detail::PoisoningRelease<std::mutex, &std::mutex::unlock> release_;
    T* data_;
  };

  template <typename... Args>
  explicit Mutex(Args&&... args) : data_(std::forward<Args>(args)...) {}
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  Guard lock(const char* poisoned_message = kPoisonedLock) {
    poison_.check(poisoned_message);
    m_.lock();
    return checked(poisoned_message);
  }

  // Takes the mutex only if it is free right now; returns false when another
  // thread holds it. Used where a thread must not block while holding the GIL.
  bool try_lock_into(std::optional<Guard>& out, const char* poisoned_message = kPoisonedLock) {
    poison_.check(poisoned_message);
    if (!m_.try_lock()) return false;
    out.emplace(checked(poisoned_message));
    return true;
  }

  bool is_poisoned() const { return poison_.is_poisoned(); }

 private:
  Guard checked(const char* poisoned_message) {
    if (poison_.is_poisoned()) {
      m_.unlock();
      internal_error(poisoned_message);
    }
    return Guard(&m_, &poison_, &data_);
  }

  std::mutex m_;
  detail::PoisonFlag poison_;
  T data_;
};

}  // namespace calderwick
