// HugePageAllocator: an allocator for large arrays read at random (the items
// of an index, indexed by object id). Blocks of 2 MiB and more are aligned to
// 2 MiB and offered to the kernel for huge pages, so that a random read
// across millions of slots does not also miss the TLB. Blocks from kMapAt
// (128 KiB) on are mapped on their own and unmapped when freed: the arrays of
// indexes made and dropped on many threads go back to the system instead of
// staying in the C heap's arenas. Smaller blocks come from the ordinary heap.
#pragma once

#include <sys/mman.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

namespace calderwick {

// Mapped blocks given back, kept for the next array of the same size (an
// index made right after another one was dropped), up to kBlocks blocks and
// kBytes in all; past that they are unmapped. Mapping afresh costs a page
// fault per page touched and unmapping interrupts every thread of the
// process, which would make each new large index several times slower to
// fill. Only blocks of kKeepFrom and more are kept: a smaller array is
// faulted in again in well under a millisecond, and keeping it would hold up
// to kBytes of a program's memory after its small indexes are gone.
class MappedCache {
 public:
  static MappedCache& get() {
    static MappedCache* const cache = new MappedCache();  // never destroyed
    return *cache;
  }
  void* take(size_t size) {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 0; i < count_; ++i) {
      if (blocks_[i].size != size) continue;
      void* p = blocks_[i].p;
      blocks_[i] = blocks_[--count_];
      bytes_ -= size;
      return p;
    }
    return nullptr;
  }
  bool keep(void* p, size_t size) {
    if (size < kKeepFrom) return false;
    std::lock_guard<std::mutex> lock(mu_);
    if (count_ == kBlocks || bytes_ + size > kBytes) return false;
    blocks_[count_++] = {p, size};
    bytes_ += size;
    return true;
  }
  // What is kept now: blocks and bytes.
  std::pair<size_t, size_t> kept() {
    std::lock_guard<std::mutex> lock(mu_);
    return {count_, bytes_};
  }
  // Unmaps every block kept.
  void release() {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 0; i < count_; ++i) munmap(blocks_[i].p, blocks_[i].size);
    count_ = 0;
    bytes_ = 0;
  }

  static constexpr size_t kKeepFrom = size_t{4} << 20;
  static constexpr size_t kBytes = size_t{32} << 20;
  static constexpr size_t kBlocks = kBytes / kKeepFrom;

 private:
  struct Block {
    void* p;
    size_t size;
  };
  std::mutex mu_;
  Block blocks_[kBlocks];
  size_t count_ = 0;
  size_t bytes_ = 0;
};

template <typename T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr size_t kHugePage = size_t{2} << 20;

  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  static constexpr size_t kMapAt = size_t{128} << 10;

  T* allocate(size_t n) {
    const size_t bytes = n * sizeof(T);
    if (bytes < kMapAt) {
      if (void* p = std::malloc(bytes)) return static_cast<T*>(p);
      throw std::bad_alloc();
    }
    const size_t mapped = mapped_size(bytes);
    if (void* reused = MappedCache::get().take(mapped)) return static_cast<T*>(reused);
    const size_t slack = bytes < kHugePage ? 0 : kHugePage;
    // Mapped with room to start on a huge page; the excess is unmapped.
    void* m = mmap(nullptr, mapped + slack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) throw std::bad_alloc();
    char* p = static_cast<char*>(m);
    if (slack) {
      char* const aligned = reinterpret_cast<char*>((reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1));
      const size_t head = size_t(aligned - p);
      if (head) munmap(p, head);
      if (slack - head) munmap(aligned + mapped, slack - head);
      p = aligned;
#ifdef MADV_HUGEPAGE
      madvise(p, mapped, MADV_HUGEPAGE);  // advice only: a refusal changes nothing
#endif
    }
    return reinterpret_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) noexcept {
    const size_t bytes = n * sizeof(T);
    if (bytes < kMapAt) {
      std::free(p);
    } else {
      const size_t mapped = mapped_size(bytes);
      if (!MappedCache::get().keep(p, mapped)) munmap(p, mapped);
    }
  }
  // A power of two of pages, at least one huge page from kHugePage on: the
  // arrays of indexes over the same objects fall into the same sizes, so a
  // block given back is the next one's.
  static size_t mapped_size(size_t bytes) { return std::bit_ceil(bytes); }

  template <typename U>
  bool operator==(const HugePageAllocator<U>&) const noexcept { return true; }
};

}  // namespace calderwick
