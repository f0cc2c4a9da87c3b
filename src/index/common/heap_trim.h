// Giving the C heap's free pages back to the system.
//
// The C heap keeps what is freed for reuse, in the arena of the thread that
// freed it. The temporaries of a large load, or a dropped index whose
// structures were written from several threads, leave free pages scattered
// through those arenas, and the process's resident size stays where it
// peaked until the same threads happen to allocate as much again. Here
// those pages go back (glibc's malloc_trim, which releases every whole free
// page of every arena; with another C library, nothing is done).
//
//   heap::give_back_free_pages();                  // after a large load
//   heap::TrimThrottle on_drop{std::chrono::milliseconds{200}};
//   on_drop.trim();                                 // when an index goes
#pragma once

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdint>

namespace calderwick::heap {

inline void give_back_free_pages() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

// give_back_free_pages at most once an interval: a trim walks every arena
// (about 2 ms with a million records' structures live), and a program that
// drops many small indexes a second pays for at most one in each interval.
// A trim skipped while another thread trims counts as done.
class TrimThrottle {
 public:
  explicit TrimThrottle(std::chrono::milliseconds interval) : interval_(interval.count()) {}
  void trim() {
    const int64_t now =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    int64_t seen = last_.load(std::memory_order_relaxed);
    if (now - seen < interval_) return;
    if (!last_.compare_exchange_strong(seen, now, std::memory_order_relaxed)) return;
    give_back_free_pages();
  }

 private:
  const int64_t interval_;
  std::atomic<int64_t> last_{INT64_MIN / 2};
};

}  // namespace calderwick::heap
