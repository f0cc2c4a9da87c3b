// HugePageAllocator: an allocator for large arrays read at random (the items
// of an index, indexed by object id). Blocks of 2 MiB and more are aligned to
// 2 MiB and offered to the kernel for huge pages, so that a random read
// across millions of slots does not also miss the TLB; smaller blocks come
// from the ordinary heap.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>

namespace calderwick {

template <typename T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr size_t kHugePage = size_t{2} << 20;

  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kHugePage) {
      if (void* p = std::malloc(bytes)) return static_cast<T*>(p);
      throw std::bad_alloc();
    }
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (!p) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    madvise(p, rounded, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
#endif
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) noexcept { std::free(p); }

  template <typename U>
  bool operator==(const HugePageAllocator<U>&) const noexcept { return true; }
};

}  // namespace calderwick
