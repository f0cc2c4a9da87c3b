#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "index/common/bitmap_memory.h"
#include "index/common/id_set.h"

namespace calderwick {
namespace {

namespace bm = bitmap_memory;

// Fills a block with a pattern derived from its address and size, and checks it.
void fill(void* p, size_t n, uint8_t seed) {
  auto* b = static_cast<uint8_t*>(p);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 31);
}
bool holds(const void* p, size_t n, uint8_t seed) {
  const auto* b = static_cast<const uint8_t*>(p);
  for (size_t i = 0; i < n; ++i) {
    if (b[i] != static_cast<uint8_t>(seed + i * 31)) return false;
  }
  return true;
}

TEST(BitmapMemory, EverySizeGetsADistinctWritableBlock) {
  std::vector<std::pair<void*, size_t>> blocks;
  for (size_t n = 1; n <= 20000; n += (n < 256 ? 1 : 97)) {
    void* p = bm::allocate(n);
    ASSERT_NE(p, nullptr) << n;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u) << n;
    fill(p, n, static_cast<uint8_t>(n));
    blocks.emplace_back(p, n);
  }
  // Nothing overlapped: every block still holds what was written to it.
  for (auto [p, n] : blocks) EXPECT_TRUE(holds(p, n, static_cast<uint8_t>(n))) << n;
  for (auto [p, n] : blocks) bm::release(p);
}

TEST(BitmapMemory, AlignedBlocksAreAligned) {
  for (size_t alignment : {16, 32, 64, 128, 4096}) {
    for (size_t n : {8, 100, 8192, 9000, 40000}) {
      void* p = bm::allocate_aligned(alignment, n);
      ASSERT_NE(p, nullptr);
      EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u) << alignment << " " << n;
      fill(p, n, 7);
      EXPECT_TRUE(holds(p, n, 7));
      bm::release(p);
    }
  }
}

TEST(BitmapMemory, ZeroedAndReallocatedBlocksKeepTheirContents) {
  // A block is dirtied and freed first, so the zeroed one may reuse it.
  void* dirty = bm::allocate(300);
  std::memset(dirty, 0xAB, 300);
  bm::release(dirty);
  auto* z = static_cast<uint8_t*>(bm::allocate_zeroed(30, 10));
  for (size_t i = 0; i < 300; ++i) ASSERT_EQ(z[i], 0) << i;
  bm::release(z);

  // Grown across every class and into the C heap, then shrunk back: the
  // common prefix survives each move.
  size_t n = 8;
  void* p = bm::allocate(n);
  fill(p, n, 3);
  for (; n < 70000; n = n * 3 / 2) {
    const size_t next = n * 3 / 2;
    p = bm::reallocate(p, next);
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(holds(p, n, 3)) << n << " -> " << next;
    fill(p, next, 3);
  }
  for (; n > 8; n = n * 2 / 3) {
    const size_t next = n * 2 / 3;
    p = bm::reallocate(p, next);
    ASSERT_NE(p, nullptr);
    ASSERT_TRUE(holds(p, next, 3)) << n << " -> " << next;
  }
  bm::release(p);
  // No block is a fresh one; a size of 0 frees.
  void* fresh = bm::reallocate(nullptr, 100);
  ASSERT_NE(fresh, nullptr);
  const size_t live = bm::stats().blocks_in_use;
  EXPECT_EQ(bm::reallocate(fresh, 0), nullptr);
  EXPECT_EQ(bm::stats().blocks_in_use, live - 1);
}

TEST(BitmapMemory, FreedSpansAreGivenBack) {
  const bm::Stats before = bm::stats();
  std::vector<void*> blocks;
  for (int i = 0; i < 20000; ++i) blocks.push_back(bm::allocate(64 + (i % 7) * 100));
  const bm::Stats full = bm::stats();
  EXPECT_EQ(full.blocks_in_use, before.blocks_in_use + blocks.size());
  EXPECT_GT(full.spans_in_use, before.spans_in_use + 10);
  for (void* p : blocks) bm::release(p);
  const bm::Stats after = bm::stats();
  EXPECT_EQ(after.blocks_in_use, before.blocks_in_use);
  EXPECT_EQ(after.bytes_in_use, before.bytes_in_use);
  EXPECT_LE(after.spans_in_use, before.spans_in_use);
  // Each class keeps at most two empty spans resident; the rest went back.
  EXPECT_LE(after.spans_kept, size_t(36 * 2));
  EXPECT_GT(after.spans_released, before.spans_released);
}

TEST(BitmapMemory, ThreadsFreeWhatOthersAllocated) {
  // Blocks made on one thread and freed on another, as query results are:
  // every block keeps its contents until freed, and the pool ends where it
  // started.
  const bm::Stats before = bm::stats();
  constexpr int kThreads = 4, kRounds = 3000;
  std::vector<std::vector<std::pair<void*, size_t>>> handed(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &handed] {
      std::mt19937 rng(t);
      std::vector<std::pair<void*, size_t>> mine;
      for (int r = 0; r < kRounds; ++r) {
        const size_t n = 1 + rng() % (rng() % 8 ? 600 : 20000);
        void* p = bm::allocate(n);
        fill(p, n, static_cast<uint8_t>(n));
        mine.emplace_back(p, n);
        if (mine.size() > 64) {
          const size_t k = rng() % mine.size();
          ASSERT_TRUE(holds(mine[k].first, mine[k].second, static_cast<uint8_t>(mine[k].second)));
          bm::release(mine[k].first);
          mine[k] = mine.back();
          mine.pop_back();
        }
      }
      handed[t] = std::move(mine);
    });
  }
  for (auto& th : threads) th.join();
  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &handed] {
      for (auto [p, n] : handed[(t + 1) % kThreads]) {
        ASSERT_TRUE(holds(p, n, static_cast<uint8_t>(n)));
        bm::release(p);
      }
    });
  }
  for (auto& th : threads) th.join();
  const bm::Stats after = bm::stats();
  EXPECT_EQ(after.blocks_in_use, before.blocks_in_use);
  EXPECT_EQ(after.large_in_use, before.large_in_use);
}

TEST(BitmapMemory, IdSetsLiveInThePool) {
  // ctest runs every test in a process of its own, where no id set exists yet.
  setenv("CALDERWICK_BITMAP_POOL", "1", 1);
  { IdSet first{1}; }
  if (!bm::installed()) GTEST_SKIP() << "id sets were made before this test, on the C heap";
  const bm::Stats before = bm::stats();
  {
    std::vector<IdSet> sets;
    for (uint32_t i = 0; i < 200; ++i) {
      IdSet s;
      for (uint32_t k = 0; k < 5000; k += 1 + i % 5) s.add(i * 70000 + k);
      sets.push_back(std::move(s));
    }
    EXPECT_GT(bm::stats().blocks_in_use, before.blocks_in_use + 200);
    IdSet all = IdSet::union_of(sets);
    uint64_t total = 0;
    for (const IdSet& s : sets) total += s.cardinality();
    EXPECT_EQ(all.cardinality(), total);
  }
  EXPECT_EQ(bm::stats().blocks_in_use, before.blocks_in_use);
}

}  // namespace
}  // namespace calderwick
