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

TEST(IdAlloc, ElementIdsCountDownFromTheTopAndReuseTheirOwnReleased) {
  constexpr uint32_t kTop = 0xFFFFFFFFu;
  for (uint32_t i = 1; i <= 5; ++i) EXPECT_EQ(allocate_id(), i);
  std::vector<uint32_t> batch(3);
  allocate_element_ids(batch);
  EXPECT_EQ(batch, (std::vector<uint32_t>{kTop, kTop - 1, kTop - 2}));
  EXPECT_EQ(calderwick::testing::element_ids_in_use(), 3u);
  // Each released id goes back to its own end.
  free_id(2);
  free_id(kTop - 1);
  EXPECT_EQ(calderwick::testing::free_id_count(), 1u);
  EXPECT_EQ(calderwick::testing::element_ids_in_use(), 2u);
  std::vector<uint32_t> again(2);
  allocate_element_ids(again);
  EXPECT_EQ(again, (std::vector<uint32_t>{kTop - 1, kTop - 3}));
  EXPECT_EQ(allocate_id(), 2u);
  EXPECT_EQ(allocate_id(), 6u);
  std::vector<uint32_t> none;
  allocate_element_ids(none);  // an empty batch takes nothing
  EXPECT_EQ(calderwick::testing::element_ids_in_use(), 4u);
}

TEST(IdAlloc, IdsReleasedTogetherComeBackLastFirst) {
  std::vector<uint32_t> drawn(6);
  allocate_element_ids(drawn);
  const uint32_t top = 0xFFFFFFFFu;
  EXPECT_EQ(drawn, (std::vector<uint32_t>{top, top - 1, top - 2, top - 3, top - 4, top - 5}));
  const std::vector<uint32_t> lowest_first{top - 5, top - 4, top - 2, top - 1};
  release_ids(lowest_first);
  EXPECT_EQ(calderwick::testing::element_ids_in_use(), 2u);
  std::vector<uint32_t> again(5);
  allocate_element_ids(again);
  EXPECT_EQ(again, (std::vector<uint32_t>{top - 1, top - 2, top - 4, top - 5, top - 6}));  // descending, then a fresh one
}

// The two ends share the space: objects and elements together exhaust it.
TEST(IdAlloc, ABatchBeyondTheLastIdTakesNothing) {
  calderwick::testing::set_id_counter(0xFFFFFFF0u);
  std::vector<uint32_t> elements(12);
  allocate_element_ids(elements);
  EXPECT_EQ(elements.back(), 0xFFFFFFF4u);
  free_id(0xFFFFFFF9u);
  std::vector<uint32_t> too_many(6);  // 1 released + 4 left < 6
  EXPECT_THROW(allocate_element_ids(too_many), InternalError);
  EXPECT_EQ(calderwick::testing::element_ids_in_use(), 11u);
  EXPECT_EQ(allocate_id(), 0xFFFFFFF0u);
  std::vector<uint32_t> exact(4);  // the released one and the 3 left
  allocate_element_ids(exact);
  EXPECT_EQ(exact, (std::vector<uint32_t>{0xFFFFFFF9u, 0xFFFFFFF3u, 0xFFFFFFF2u, 0xFFFFFFF1u}));
  EXPECT_THROW(allocate_id(), InternalError);  // exhausted, never wrapped to 0
  std::vector<uint32_t> one(1);
  EXPECT_THROW(allocate_element_ids(one), InternalError);
  free_id(0xFFFFFFF0u);
  EXPECT_EQ(allocate_id(), 0xFFFFFFF0u);  // released ids remain usable
}

TEST(IdAlloc, ConcurrentDrawsNeverDuplicate) {
  constexpr int kThreads = 8, kPerThread = 20000;
  std::mutex m;
  std::vector<uint32_t> all;
  calderwick::testing::run_threads(kThreads, [&](int t) {
    std::vector<uint32_t> mine;
    for (int i = 0; i < kPerThread; ++i) {
      if (i % 50 == 0) {  // element batches interleave with object draws
        uint32_t batch[7];
        allocate_element_ids(batch);
        const size_t kept_from = t % 2 ? 3 : 0;  // odd threads give three straight back
        release_ids(std::span<const uint32_t>(batch, kept_from));
        mine.insert(mine.end(), batch + kept_from, batch + 7);
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
