// The pool behind every id set (see bitmap_memory.h).
//
// One range of address space is reserved up front and carved into 64 KB
// spans, each holding blocks of one size class; a span's bookkeeping lives in
// a table beside the range, so a block's span (and size) follows from its
// address alone. Every class has its own lock and its own list of spans with
// room, the fullest-used first. A span whose last block is freed stays with
// its class while the class has fewer than kKeepEmpty empty spans; past that
// its pages go back to the system (MADV_DONTNEED) and the span goes to a
// common list that any class takes from before carving a new one.
//
// Lock order: a class lock, then the span list lock; never two classes.
#include "bitmap_memory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "roaring.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define CALDERWICK_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define CALDERWICK_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define CALDERWICK_POISON(p, n) ((void)(p), (void)(n))
#define CALDERWICK_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace calderwick::bitmap_memory {
namespace {

constexpr size_t kSpan = size_t(1) << 16;
constexpr std::array<uint32_t, 36> kSizes = {
    16,   32,   48,   64,   80,   96,   112,  128,  160,   192,   224,   256,   320,   384,   448,   512,   640,   768,
    896,  1024, 1280, 1536, 1792, 2048, 2560, 3072, 3584, 4096, 5120, 6144, 7168, 8192, 10240, 12288, 14336, 16384};
constexpr size_t kLargest = kSizes.back();
// Empty spans a class keeps resident for its next blocks: a class that
// empties and refills a span on every query does not pay a page fault per
// block of it.
constexpr uint32_t kKeepEmpty = 2;

// The class of every size up to kLargest, by the size in 16-byte steps.
constexpr std::array<uint8_t, kLargest / 16 + 1> kClassOf = [] {
  std::array<uint8_t, kLargest / 16 + 1> out{};
  size_t c = 0;
  for (size_t step = 0; step < out.size(); ++step) {
    while (kSizes[c] < step * 16) ++c;
    out[step] = static_cast<uint8_t>(c);
  }
  return out;
}();

struct Span {
  void* free_list = nullptr;  // freed blocks, linked through their first word
  uint32_t used = 0;          // live blocks
  uint32_t carved = 0;        // blocks ever handed out since the span joined its class
  uint8_t cls = 0;
  bool listed = false;        // on its class's list of spans with room
  Span* prev = nullptr;
  Span* next = nullptr;       // the class list, or the list of released spans
};

struct alignas(64) Class {
  std::mutex mu;
  Span* head = nullptr;  // spans with room
  Span* tail = nullptr;
  uint32_t empty = 0;    // listed spans with no live block
  size_t spans = 0;      // spans of this class, listed or full
  size_t blocks = 0;     // live blocks
};

struct Pool {
  char* base = nullptr;
  size_t size = 0;  // bytes reserved; 0 when the reservation failed and everything goes to the C heap
  Span* table = nullptr;
  size_t carved = 0;  // spans ever carved from the range (guarded by mu)
  std::mutex mu;
  Span* released = nullptr;  // empty spans whose pages were given back
  size_t released_count = 0;
  std::array<Class, kSizes.size()> classes;
  std::atomic<size_t> large{0};

  Pool() {
    // Address space only: nothing is committed until a span is carved.
    for (size_t gib : {64, 16, 4, 1}) {
      const size_t want = gib << 30;
      void* p = mmap(nullptr, want + kSpan, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (p == MAP_FAILED) continue;
      const size_t spans = want / kSpan;
      void* t = mmap(nullptr, spans * sizeof(Span), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                     -1, 0);
      if (t == MAP_FAILED) {
        munmap(p, want + kSpan);
        continue;
      }
      const uintptr_t aligned = (reinterpret_cast<uintptr_t>(p) + kSpan - 1) & ~(kSpan - 1);
      base = reinterpret_cast<char*>(aligned);
      size = want;
      table = static_cast<Span*>(t);  // zero pages: every Span starts as its default
      return;
    }
  }

  bool owns(const void* p) const { return reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(base) < size; }
  Span& span_of(const void* p) { return table[(static_cast<const char*>(p) - base) / kSpan]; }
  char* start_of(const Span& s) { return base + size_t(&s - table) * kSpan; }

  // An empty span for class `cls`, or null when the range is used up.
  // Called under the class lock.
  Span* take_span(uint8_t cls) {
    Span* s = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (released) {
        s = released;
        released = s->next;
        --released_count;
      } else if (carved < size / kSpan) {
        s = &table[carved++];
        if (mprotect(start_of(*s), kSpan, PROT_READ | PROT_WRITE) != 0) {
          --carved;
          return nullptr;
        }
        CALDERWICK_POISON(start_of(*s), kSpan);
      } else {
        return nullptr;
      }
    }
    *s = Span{};
    s->cls = cls;
    return s;
  }

  static void unlink(Class& c, Span* s) {
    (s->prev ? s->prev->next : c.head) = s->next;
    (s->next ? s->next->prev : c.tail) = s->prev;
    s->prev = s->next = nullptr;
    s->listed = false;
  }
  static void push_back(Class& c, Span* s) {
    s->prev = c.tail;
    s->next = nullptr;
    (c.tail ? c.tail->next : c.head) = s;
    c.tail = s;
    s->listed = true;
  }
  static void push_front(Class& c, Span* s) {
    s->next = c.head;
    s->prev = nullptr;
    (c.head ? c.head->prev : c.tail) = s;
    c.head = s;
    s->listed = true;
  }

  void* allocate_in(uint8_t cls) {
    Class& c = classes[cls];
    const uint32_t block = kSizes[cls];
    const uint32_t capacity = uint32_t(kSpan / block);
    std::lock_guard<std::mutex> lock(c.mu);
    Span* s = c.head;
    if (!s) {
      s = take_span(cls);
      if (!s) return nullptr;
      ++c.spans;
      ++c.empty;
      push_front(c, s);
    }
    void* p;
    if (s->free_list) {
      p = s->free_list;
      CALDERWICK_UNPOISON(p, block);
      std::memcpy(&s->free_list, p, sizeof(void*));
    } else {
      p = start_of(*s) + size_t(s->carved++) * block;
      CALDERWICK_UNPOISON(p, block);
    }
    if (s->used++ == 0) --c.empty;
    if (s->used == capacity) unlink(c, s);
    ++c.blocks;
    return p;
  }

  void release_in(void* p) {
    Span& s = span_of(p);
    Class& c = classes[s.cls];
    const uint32_t block = kSizes[s.cls];
    Span* give_back = nullptr;
    {
      std::lock_guard<std::mutex> lock(c.mu);
      std::memcpy(p, &s.free_list, sizeof(void*));
      CALDERWICK_POISON(p, block);
      s.free_list = p;
      --c.blocks;
      // A span with room again goes last: blocks come from the spans that
      // have had room longest, so the others get a chance to empty.
      if (!s.listed) push_back(c, &s);
      if (--s.used == 0) {
        if (c.empty < kKeepEmpty) {
          ++c.empty;
        } else {
          unlink(c, &s);
          --c.spans;
          give_back = &s;
        }
      }
    }
    if (give_back) {
      madvise(start_of(*give_back), kSpan, MADV_DONTNEED);
      std::lock_guard<std::mutex> lock(mu);
      give_back->next = released;
      released = give_back;
      ++released_count;
    }
  }
};

Pool& pool() {
  static Pool* const p = new Pool();  // never destroyed: id sets may outlive static destruction
  return *p;
}

size_t block_size(Pool& pl, void* p) { return kSizes[pl.span_of(p).cls]; }

}  // namespace

void* allocate(size_t size) {
  Pool& pl = pool();
  if (size <= kLargest) {
    if (void* p = pl.allocate_in(kClassOf[(size + 15) / 16])) return p;
  }
  void* p = std::malloc(size);
  if (p) pl.large.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void* allocate_zeroed(size_t count, size_t size) {
  if (size && count > SIZE_MAX / size) return nullptr;
  void* p = allocate(count * size);
  if (p) std::memset(p, 0, count * size);
  return p;
}

void release(void* p) {
  if (!p) return;
  Pool& pl = pool();
  if (pl.owns(p)) {
    pl.release_in(p);
  } else {
    pl.large.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
  }
}

void* reallocate(void* p, size_t size) {
  if (!p) return allocate(size);
  if (size == 0) {
    release(p);
    return nullptr;
  }
  Pool& pl = pool();
  if (!pl.owns(p)) {
    if (size > kLargest) return std::realloc(p, size);
    // Back into a class: the C heap block goes.
    void* q = allocate(size);
    if (!q) return nullptr;
    std::memcpy(q, p, std::min(size, malloc_usable_size(p)));
    release(p);
    return q;
  }
  const size_t have = block_size(pl, p);
  if (size <= have && (size > have / 2 || have <= 16)) return p;
  void* q = allocate(size);
  if (!q) return nullptr;
  std::memcpy(q, p, std::min(have, size));
  release(p);
  return q;
}

void* allocate_aligned(size_t alignment, size_t size) {
  if (alignment <= 16) return allocate(size);
  Pool& pl = pool();
  if (size <= kLargest && alignment <= kLargest) {
    // Blocks of a class whose size is a multiple of `alignment` all are
    // aligned to it (a span starts on a 64 KB boundary).
    for (size_t c = kClassOf[(size + 15) / 16]; c < kSizes.size(); ++c) {
      if (kSizes[c] % alignment) continue;
      if (void* p = pl.allocate_in(static_cast<uint8_t>(c))) return p;
      break;
    }
  }
  void* p = nullptr;
  if (posix_memalign(&p, alignment, size) != 0) return nullptr;
  pl.large.fetch_add(1, std::memory_order_relaxed);
  return p;
}

Stats stats() {
  Pool& pl = pool();
  Stats out;
  for (size_t c = 0; c < kSizes.size(); ++c) {
    Class& cl = pl.classes[c];
    std::lock_guard<std::mutex> lock(cl.mu);
    out.blocks_in_use += cl.blocks;
    out.bytes_in_use += cl.blocks * kSizes[c];
    out.spans_in_use += cl.spans - cl.empty;
    out.spans_kept += cl.empty;
  }
  {
    std::lock_guard<std::mutex> lock(pl.mu);
    out.spans_released = pl.released_count;
  }
  out.large_in_use = pl.large.load(std::memory_order_relaxed);
  return out;
}

namespace {
std::atomic<bool> pool_installed{false};
}  // namespace

bool installed() { return pool_installed.load(std::memory_order_acquire); }

void install() {
  static const bool done = [] {
    // Opt-in (CALDERWICK_BITMAP_POOL=1): the pool's lock costs 5-15% on
    // queries over a few hundred objects against the C heap's per-thread
    // caches, for less resident memory under many threads.
    const char* v = std::getenv("CALDERWICK_BITMAP_POOL");
    if (!v || std::strcmp(v, "1") != 0) return false;
    roaring_memory_t hooks{};
    hooks.malloc = allocate;
    hooks.realloc = reallocate;
    hooks.calloc = allocate_zeroed;
    hooks.free = release;
    hooks.aligned_malloc = allocate_aligned;
    hooks.aligned_free = release;
    roaring_init_memory_hook(hooks);
    pool_installed.store(true, std::memory_order_release);
    return true;
  }();
  (void)done;
}

}  // namespace calderwick::bitmap_memory
