#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "index/common/huge_pages.h"

namespace calderwick {
namespace {

using Alloc = HugePageAllocator<uint64_t>;
using Vec = std::vector<uint64_t, Alloc>;
constexpr size_t kMapAtSlots = Alloc::kMapAt / sizeof(uint64_t);

// The cache keeps blocks up to its count and byte limits, refuses blocks
// below kKeepFrom, hands a block back only for its own size, and never hands
// the same block out twice.
TEST(MappedCache, KeepsUpToItsLimitsAndHandsBlocksBackBySize) {
  MappedCache& cache = MappedCache::get();
  cache.release();
  const auto map = [](size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(p, MAP_FAILED);
    return p;
  };
  void* below = map(MappedCache::kKeepFrom / 2);
  EXPECT_FALSE(cache.keep(below, MappedCache::kKeepFrom / 2)) << "a block below the least size kept was kept";
  munmap(below, MappedCache::kKeepFrom / 2);
  EXPECT_EQ(cache.kept(), std::make_pair(size_t{0}, size_t{0}));

  constexpr size_t kSmall = MappedCache::kKeepFrom;
  std::vector<void*> small;
  for (size_t i = 0; i < MappedCache::kBlocks; ++i) {
    small.push_back(map(kSmall));
    EXPECT_TRUE(cache.keep(small.back(), kSmall)) << i;
  }
  void* extra = map(kSmall);
  EXPECT_FALSE(cache.keep(extra, kSmall)) << "a block past the count limit is kept";
  munmap(extra, kSmall);
  EXPECT_EQ(cache.kept(), std::make_pair(MappedCache::kBlocks, MappedCache::kBlocks * kSmall));
  EXPECT_EQ(cache.take(2 * kSmall), nullptr) << "a block of another size was handed out";

  std::vector<void*> taken;
  for (size_t i = 0; i <= MappedCache::kBlocks; ++i) {
    if (void* p = cache.take(kSmall)) taken.push_back(p);
  }
  std::sort(small.begin(), small.end());
  std::sort(taken.begin(), taken.end());
  EXPECT_EQ(taken, small) << "every block kept comes back once";
  EXPECT_EQ(cache.kept(), std::make_pair(size_t{0}, size_t{0}));
  for (void* p : taken) munmap(p, kSmall);

  // The byte limit: two blocks of half the limit fit, a third does not.
  const size_t half = MappedCache::kBytes / 2;
  void* a = map(half);
  void* b = map(half);
  void* c = map(half);
  EXPECT_TRUE(cache.keep(a, half));
  EXPECT_TRUE(cache.keep(b, half));
  EXPECT_FALSE(cache.keep(c, half));
  munmap(c, half);
  EXPECT_EQ(cache.kept().second, MappedCache::kBytes);
  cache.release();
  EXPECT_EQ(cache.kept(), std::make_pair(size_t{0}, size_t{0}));
}

// A mapped block starts on a huge page from kHugePage on, and a block given
// back from kKeepFrom on is the next array of the same size.
TEST(HugePageAllocator, MapsLargeBlocksAlignedAndReusesThem) {
  MappedCache::get().release();
  Alloc alloc;
  struct Case {
    size_t slots;
    bool mapped;
    size_t alignment;
  };
  const Case cases[] = {
      {kMapAtSlots - 1, false, alignof(uint64_t)},
      {kMapAtSlots, true, 4096},
      {kMapAtSlots + 1, true, 4096},
      {Alloc::kHugePage / sizeof(uint64_t), true, Alloc::kHugePage},
      {3 * Alloc::kHugePage / sizeof(uint64_t) + 5, true, Alloc::kHugePage},
      {MappedCache::kKeepFrom / sizeof(uint64_t), true, Alloc::kHugePage},
      {MappedCache::kKeepFrom / sizeof(uint64_t) + 1, true, Alloc::kHugePage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slots);
    uint64_t* p = alloc.allocate(c.slots);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.alignment, 0u);
    std::fill(p, p + c.slots, c.slots);  // the whole block is writable
    alloc.deallocate(p, c.slots);
    const bool kept = c.mapped && Alloc::mapped_size(c.slots * sizeof(uint64_t)) >= MappedCache::kKeepFrom;
    EXPECT_EQ(MappedCache::get().kept().first, kept ? 1u : 0u);
    uint64_t* again = alloc.allocate(c.slots);
    if (kept) {
      EXPECT_EQ(again, p) << "the block kept was not reused";
      EXPECT_EQ(MappedCache::get().kept().first, 0u);
    }
    alloc.deallocate(again, c.slots);
    MappedCache::get().release();
  }
}

// Arrays of random sizes on both sides of kMapAt are made, grown, shrunk,
// dropped and made again, several at once, by several threads, each mirrored
// in a std::vector: a block handed to two arrays, or one that still belongs
// to a dropped array, shows up as a difference.
TEST(HugePageAllocator, ArraysDroppedAndRebuiltMatchAMirror) {
  MappedCache::get().release();
  const auto run = [](uint32_t seed) {
    std::mt19937 rng(seed);
    const size_t sizes[] = {10, kMapAtSlots / 2, kMapAtSlots - 1, kMapAtSlots, 2 * kMapAtSlots + 3,
                            Alloc::kHugePage / sizeof(uint64_t) + 1};
    std::vector<Vec> arrays(6);
    std::vector<std::vector<uint64_t>> mirrors(arrays.size());
    for (int step = 0; step < 300; ++step) {
      const size_t k = rng() % arrays.size();
      Vec& a = arrays[k];
      std::vector<uint64_t>& m = mirrors[k];
      switch (rng() % 4) {
        case 0: {  // dropped and made again at a size of the same block
          Vec().swap(a);
          m.clear();
          const size_t n = sizes[rng() % std::size(sizes)];
          a.resize(n);
          m.resize(n);
          break;
        }
        case 1: {  // grown past its capacity
          const size_t n = a.size() + 1 + rng() % (a.size() + 16);
          a.resize(n);
          m.resize(n);
          break;
        }
        case 2:  // shrunk to fit, into a smaller block
          a.resize(a.size() / 3);
          m.resize(m.size() / 3);
          a.shrink_to_fit();
          break;
        default:
          break;
      }
      // Writes of this thread's own tag at random slots.
      for (int w = 0; w < 64 && !a.empty(); ++w) {
        const size_t i = rng() % a.size();
        a[i] = m[i] = (uint64_t{seed} << 32) | rng();
      }
      ASSERT_TRUE(std::equal(a.begin(), a.end(), m.begin(), m.end())) << "seed " << seed << " step " << step;
    }
  };
  std::vector<std::thread> threads;
  for (uint32_t t = 1; t <= 4; ++t) threads.emplace_back(run, t);
  for (std::thread& t : threads) t.join();
  MappedCache::get().release();
}

}  // namespace
}  // namespace calderwick
