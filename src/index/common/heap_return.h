// heap_return: gives the C heap's free pages back to the system once a large
// part of what id sets hold has been released.
//
// The C heap keeps what is freed for later requests, in one arena per thread
// that allocates (glibc). When many threads build, query and drop indexes,
// each arena stays as large as its own high-water mark, and the memory of the
// indexes dropped since stays resident. Here the blocks that id sets hold are
// counted: the bitmap library allocates through the hooks below, and each
// thread adds the blocks it allocates and subtracts those it frees in a
// counter of its own, folded into the process-wide count every kFold blocks
// of change. When that count has fallen, since the last return, by at least
// kMinRelease blocks and to at most half of its high-water mark, structures
// were dropped (a query's temporaries come and go without such a fall), and
// the thread whose fold sees it asks the heap to return its free pages
// (malloc_trim). Only on glibc: with another C library nothing is counted and
// nothing is returned.
//
// Blocks, not bytes, are counted: a free does not say its size, and asking
// the heap for it on every call costs more than the rest of the hook. The
// count is approximate (up to kFold blocks per thread not yet folded in); it
// decides when to return memory, nothing else depends on it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

#if defined(__GLIBC__)
#include <malloc.h>
#define CALDERWICK_HEAP_RETURN 1
#else
#define CALDERWICK_HEAP_RETURN 0
#endif

#include "roaring.h"

namespace calderwick::heap_return {

// Blocks of change a thread keeps to itself before folding them in.
inline constexpr int64_t kFold = 1024;
// The least fall from the high-water mark that returns memory (some 1 MB of
// small containers).
inline constexpr int64_t kMinRelease = 32768;

struct Totals {
  std::atomic<int64_t> held{0};  // counted blocks, as folded in so far
  std::atomic<int64_t> high{0};  // the most held since the last return
  std::atomic<bool> returning{false};
  std::atomic<uint64_t> returns{0};  // how many times memory was returned
};
inline constinit Totals totals{};

// Called by the thread that returns memory; the default asks the heap. A test
// may count calls instead.
using ReturnFn = void (*)();
inline void trim_heap() {
#if CALDERWICK_HEAP_RETURN
  malloc_trim(0);
#endif
}
inline constinit std::atomic<ReturnFn> return_fn{&trim_heap};

// Folds `delta` into the process-wide count, then returns memory if the count
// has fallen far enough (see above). Only one thread returns at a time; a
// fold that finds another one returning leaves it to that one.
inline void fold(int64_t delta) {
  const int64_t held = totals.held.fetch_add(delta, std::memory_order_relaxed) + delta;
  int64_t high = totals.high.load(std::memory_order_relaxed);
  while (held > high && !totals.high.compare_exchange_weak(high, held, std::memory_order_relaxed)) {
  }
  if (high - held < kMinRelease || held > high / 2) return;
  if (totals.returning.exchange(true, std::memory_order_acquire)) return;
  return_fn.load(std::memory_order_relaxed)();
  totals.high.store(totals.held.load(std::memory_order_relaxed), std::memory_order_relaxed);
  totals.returns.fetch_add(1, std::memory_order_relaxed);
  totals.returning.store(false, std::memory_order_release);
}

// This thread's change not yet folded in. Read on every allocation of an id
// set, so it is kept where the thread finds it with one load on glibc (the
// initial-exec model; it is a few bytes of the space glibc sets aside for
// modules loaded later). It starts far from zero, so that the thread's first
// count takes the slow path, which sets up the fold at the thread's end.
inline constexpr int64_t kFirst = INT64_MIN / 4;
struct ThreadDelta {
  int64_t blocks = kFirst;
  bool folds_at_exit = false;
};
#if CALDERWICK_HEAP_RETURN
#define CALDERWICK_TLS_FAST __attribute__((tls_model("initial-exec")))
#else
#define CALDERWICK_TLS_FAST
#endif
inline thread_local ThreadDelta thread_delta CALDERWICK_TLS_FAST;

// Folds what is left of this thread's change in when the thread ends.
struct FoldAtExit {
  ~FoldAtExit() {
    const int64_t left = std::exchange(thread_delta.blocks, 0);
    if (left) fold(left);
  }
};

// Takes this thread's change out of its counter, which is 0 afterwards.
inline int64_t take_thread_delta() {
  ThreadDelta& d = thread_delta;
  if (!d.folds_at_exit) {
    d.folds_at_exit = true;
    d.blocks -= kFirst;
    static thread_local FoldAtExit at_exit;
    (void)at_exit;
  }
  return std::exchange(d.blocks, 0);
}

[[gnu::noinline]] inline void fold_thread_delta() {
  if (const int64_t delta = take_thread_delta()) fold(delta);
}

// Counts `blocks` allocated (positive) or freed (negative).
inline void note(int64_t blocks) {
  ThreadDelta& d = thread_delta;
  d.blocks += blocks;
  // |blocks| >= kFold, in one comparison.
  if (static_cast<uint64_t>(d.blocks + kFold - 1) >= static_cast<uint64_t>(2 * kFold - 1)) fold_thread_delta();
}

#if CALDERWICK_HEAP_RETURN
// The bitmap library's allocation functions: the C heap's, counted.
inline void* hook_malloc(size_t n) {
  void* p = std::malloc(n);
  if (p) note(1);
  return p;
}
inline void* hook_calloc(size_t n, size_t size) {
  void* p = std::calloc(n, size);
  if (p) note(1);
  return p;
}
inline void* hook_realloc(void* p, size_t n) {
  void* q = std::realloc(p, n);
  if (!p && q) {
    note(1);
  } else if (p && !q && n == 0) {
    note(-1);  // freed
  }
  return q;
}
inline void hook_free(void* p) {
  if (!p) return;
  note(-1);
  std::free(p);
}
inline void* hook_aligned_malloc(size_t alignment, size_t size) {
  void* p = nullptr;
  if (posix_memalign(&p, alignment, size) != 0) return nullptr;
  note(1);
  return p;
}
#endif

// Points the bitmap library's allocations at the counted functions. Called
// once, before the first id set is made (module initialisation): a block the
// library allocated before is freed through the same heap, only its count is
// missing. Does nothing where memory is not returned.
inline void install() {
#if CALDERWICK_HEAP_RETURN
  static const bool installed = [] {
    roaring_init_memory_hook(roaring_memory_t{&hook_malloc, &hook_realloc, &hook_calloc, &hook_free,
                                              &hook_aligned_malloc, &hook_free});
    return true;
  }();
  (void)installed;
#endif
}

}  // namespace calderwick::heap_return
