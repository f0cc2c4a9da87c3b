#include "index/structures/id_alloc/id_alloc.h"

#include "index/common/error.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "structure_test_support.h"

namespace calderwick {
namespace {

// ctest runs every test in its own process, so the allocator starts fresh.
TEST(IdAlloc, CountsFromOneAndReusesMostRecentlyFreedFirst) {
  EXPECT_EQ(allocate_id(), 1u);
  EXPECT_EQ(allocate_id(), 2u);
  for (uint32_t i = 3; i <= 10; ++i) EXPECT_EQ(allocate_id(), i);
  free_id(7);
  free_id(9);
  EXPECT_EQ(allocate_id(), 9u);
  EXPECT_EQ(allocate_id(), 7u);
  EXPECT_EQ(allocate_id(), 11u);
}

TEST(IdAlloc, ExhaustionRaisesInsteadOfWrapping) {
  calderwick::testing::set_id_counter(0xFFFFFFFEu);
  EXPECT_EQ(allocate_id(), 0xFFFFFFFEu);
  EXPECT_EQ(allocate_id(), 0xFFFFFFFFu);
  EXPECT_THROW(allocate_id(), InternalError);
  EXPECT_THROW(allocate_id(), InternalError);  // still exhausted, never 0 or 1
  free_id(42);
  EXPECT_EQ(allocate_id(), 42u);  // released ids remain usable
  EXPECT_THROW(allocate_id(), InternalError);
}

TEST(IdAlloc, BatchesTakeFreedIdsFirstThenFreshOnes) {
  for (uint32_t i = 1; i <= 5; ++i) EXPECT_EQ(allocate_id(), i);
  free_id(2);
  free_id(4);
  std::vector<uint32_t> batch(4);
  allocate_ids(batch);
  EXPECT_EQ(batch, (std::vector<uint32_t>{4, 2, 6, 7}));
  EXPECT_EQ(allocate_id(), 8u);
  std::vector<uint32_t> none;
  allocate_ids(none);  // an empty batch takes nothing
  EXPECT_EQ(allocate_id(), 9u);
}

TEST(IdAlloc, IdsReleasedTogetherComeBackLastFirst) {
  std::vector<uint32_t> drawn(6);
  allocate_ids(drawn);
  EXPECT_EQ(drawn, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6}));
  const std::vector<uint32_t> highest_first{6, 5, 3, 2};
  release_ids(highest_first);
  EXPECT_EQ(calderwick::testing::free_id_count(), 4u);
  std::vector<uint32_t> again(5);
  allocate_ids(again);
  EXPECT_EQ(again, (std::vector<uint32_t>{2, 3, 5, 6, 7}));  // ascending again, then a fresh one
}

TEST(IdAlloc, ABatchBeyondTheLastIdTakesNothing) {
  calderwick::testing::set_id_counter(0xFFFFFFFDu);
  free_id(42);
  std::vector<uint32_t> too_many(5);  // 1 freed + 3 left < 5
  EXPECT_THROW(allocate_ids(too_many), InternalError);
  EXPECT_EQ(calderwick::testing::free_id_count(), 1u);
  std::vector<uint32_t> exact(4);
  allocate_ids(exact);
  EXPECT_EQ(exact, (std::vector<uint32_t>{42, 0xFFFFFFFDu, 0xFFFFFFFEu, 0xFFFFFFFFu}));
  EXPECT_THROW(allocate_id(), InternalError);  // exhausted, never wrapped to 0
}

TEST(IdAlloc, ConcurrentDrawsNeverDuplicate) {
  constexpr int kThreads = 8, kPerThread = 20000;
  std::mutex m;
  std::vector<uint32_t> all;
  calderwick::testing::run_threads(kThreads, [&](int t) {
    std::vector<uint32_t> mine;
    for (int i = 0; i < kPerThread; ++i) {
      if (i % 50 == 0) {  // batches interleave with single draws
        uint32_t batch[7];
        allocate_ids(batch);
        mine.insert(mine.end(), batch, batch + 7);
      }
      mine.push_back(allocate_id());
      if (i % 3 == t % 3) free_id(mine.back()), mine.pop_back();  // churn the free list too
    }
    std::lock_guard<std::mutex> lock(m);
    all.insert(all.end(), mine.begin(), mine.end());
  });
  std::set<uint32_t> unique(all.begin(), all.end());
  EXPECT_EQ(unique.size(), all.size());
  EXPECT_EQ(unique.count(0), 0u);
}

}  // namespace
}  // namespace calderwick
