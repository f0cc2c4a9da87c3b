#include <gtest/gtest.h>

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "index/common/heap_return.h"
#include "index/common/huge_pages.h"
#include "index/common/id_set.h"

namespace calderwick {
namespace {

using Alloc = HugePageAllocator<uint64_t>;
using Vec = std::vector<uint64_t, Alloc>;
constexpr size_t kMapAtSlots = Alloc::kMapAt / sizeof(uint64_t);

// The cache keeps blocks up to its count and byte limits, hands a block back
// only for its own size, and never hands the same block out twice.
TEST(MappedCache, KeepsUpToItsLimitsAndHandsBlocksBackBySize) {
  MappedCache& cache = MappedCache::get();
  cache.release();
  const auto map = [](size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(p, MAP_FAILED);
    return p;
  };
  constexpr size_t kSmall = size_t{128} << 10;
  std::vector<void*> small;
  for (size_t i = 0; i < MappedCache::kBlocks; ++i) {
    small.push_back(map(kSmall));
    EXPECT_TRUE(cache.keep(small.back(), kSmall)) << i;
  }
  void* extra = map(kSmall);
  EXPECT_FALSE(cache.keep(extra, kSmall)) << "a 17th block is kept";
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
// back is the next array of the same size.
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
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slots);
    uint64_t* p = alloc.allocate(c.slots);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % c.alignment, 0u);
    std::fill(p, p + c.slots, c.slots);  // the whole block is writable
    alloc.deallocate(p, c.slots);
    EXPECT_EQ(MappedCache::get().kept().first, c.mapped ? 1u : 0u);
    uint64_t* again = alloc.allocate(c.slots);
    if (c.mapped) {
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

// heap_return's state is process-wide: each test starts from a known one and
// counts returns instead of trimming the heap.
struct HeapReturnTest : ::testing::Test {
  static inline std::atomic<int> calls{0};
  void SetUp() override {
    saved_ = heap_return::return_fn.load();
    heap_return::return_fn.store([] { calls.fetch_add(1); });
    reset();
  }
  static void reset() {
    calls = 0;
    heap_return::take_thread_delta();
    heap_return::totals.held = 0;
    heap_return::totals.high = 0;
  }
  void TearDown() override { heap_return::return_fn.store(saved_); }
  heap_return::ReturnFn saved_ = nullptr;
};

constexpr int64_t kUnit = heap_return::kMinRelease;

// A mirror of the policy: random allocations and frees, in steps below and
// above the fold size, and the returns the policy makes after each.
TEST_F(HeapReturnTest, ReturnsWhenTheCountFallsToHalfItsHighMarkAsAMirrorSays) {
  std::mt19937_64 rng(5);
  int64_t local = 0, held = 0, high = 0;
  int returns = 0;
  for (int step = 0; step < 20000; ++step) {
    const int64_t magnitude =
        rng() % 4 == 0 ? int64_t(rng() % (3 * kUnit)) : int64_t(rng() % (heap_return::kFold / 4));
    const int64_t delta = rng() % 2 ? magnitude : -std::min(magnitude, held + local);
    heap_return::note(delta);
    local += delta;
    if (local >= heap_return::kFold || local <= -heap_return::kFold) {
      held += local;
      local = 0;
      high = std::max(high, held);
      if (high - held >= heap_return::kMinRelease && held <= high / 2) {
        ++returns;
        high = held;
      }
    }
    ASSERT_EQ(heap_return::thread_delta.blocks, local) << step;
    ASSERT_EQ(heap_return::totals.held.load(), held) << step;
    ASSERT_EQ(heap_return::totals.high.load(), high) << step;
    ASSERT_EQ(calls.load(), returns) << step;
  }
  EXPECT_GT(returns, 10) << "the sequence never drove a return";
}

// The cases around the thresholds, each from an empty count.
TEST_F(HeapReturnTest, ReturnsOnlyPastBothThresholds) {
  struct Case {
    const char* name;
    std::vector<int64_t> deltas;  // each folded at once (at least kFold)
    int returns;
  };
  const int64_t min = heap_return::kMinRelease;
  const Case cases[] = {
      {"growth alone", {8 * kUnit, 8 * kUnit}, 0},
      {"a fall to just above half", {8 * kUnit, -4 * kUnit + heap_return::kFold}, 0},
      {"a fall to half", {8 * kUnit, -4 * kUnit}, 1},
      {"to half, but less than the least release", {min, -min / 2}, 0},
      {"the least release, to half", {2 * min, -min}, 1},
      {"a second fall is measured from the first return", {8 * kUnit, -4 * kUnit, -kUnit}, 1},
      {"and returns again at half of that", {8 * kUnit, -4 * kUnit, -2 * kUnit}, 2},
      {"temporaries above what is held", {2 * kUnit, 6 * kUnit, -6 * kUnit}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reset();
    for (int64_t d : c.deltas) heap_return::note(d);
    EXPECT_EQ(heap_return::thread_delta.blocks, 0);
    EXPECT_EQ(calls.load(), c.returns);
  }
}

// A thread's first count is folded in at once; after it, below kFold, the
// thread keeps its change until the thread ends.
TEST_F(HeapReturnTest, AThreadsChangeIsFoldedInWhenItEnds) {
  std::thread([] {
    heap_return::note(5);
    EXPECT_EQ(heap_return::totals.held.load(), 5);
    heap_return::note(heap_return::kFold - 1);
    heap_return::note(-3);
    EXPECT_EQ(heap_return::totals.held.load(), 5);
  }).join();
  EXPECT_EQ(heap_return::totals.held.load(), 5 + heap_return::kFold - 1 - 3);
}

#if CALDERWICK_HEAP_RETURN
// Through the hooks, an id set's memory is counted as it grows and shrinks,
// block by block, and exactly given back when it is dropped.
TEST_F(HeapReturnTest, IdSetMemoryIsCountedAndGivenBackExactly) {
  heap_return::install();
  const auto counted = [] { return heap_return::totals.held.load() + heap_return::thread_delta.blocks; };
  const int64_t before = counted();
  {
    std::mt19937 rng(3);
    IdSet a, b;
    for (int i = 0; i < 200000; ++i) a.add(rng() % 5000000);  // arrays growing
    for (uint32_t i = 0; i < 300000; ++i) b.add_in_place(i * 3);  // bitsets in place
    std::vector<IdSet> small(2000);  // a directory and three containers each
    for (IdSet& s : small) s = IdSet{1, 70000, 140000};
    const int64_t grown = counted();
    EXPECT_GE(grown - before, 2000 * 4) << "an id set's blocks were not counted";
    IdSet both = IdSet::and_(a, b);  // results made by the library
    IdSet copy = a;
    copy.or_inplace(b);
    copy.run_optimize();  // reallocated to fit
    EXPECT_GT(counted(), grown);
    for (uint32_t i = 0; i < 300000; i += 2) b.remove_in_place(i * 3);  // bitsets back to arrays
  }
  EXPECT_EQ(counted(), before);
}
#endif

}  // namespace
}  // namespace calderwick
