#include "index/structures/hybrid_hashmap/hybrid_hashmap.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

namespace calderwick {
namespace {

// A value that counts its live instances, so double drops and leaks show.
struct Counted {
  static inline int live = 0;
  int v;
  explicit Counted(int x) : v(x) { ++live; }
  Counted(Counted&& o) noexcept : v(o.v) { ++live; }
  Counted& operator=(Counted&& o) noexcept {
    v = o.v;
    return *this;
  }
  ~Counted() { --live; }
};

std::vector<uint32_t> keys_of(const HybridHashmap<uint32_t, Counted>& m) {
  std::vector<uint32_t> keys;
  m.for_each([&](uint32_t k, const Counted&) { keys.push_back(k); });
  return keys;
}

TEST(HybridHashmap, SwitchesOnTheNinthDistinctKey) {
  Counted::live = 0;
  {
    HybridHashmap<uint32_t, Counted> m;
    EXPECT_EQ(m.get(1), nullptr);
    EXPECT_TRUE(keys_of(m).empty());
    for (uint32_t k = 8; k >= 1; --k) m.insert(k, Counted(int(k) * 10));
    EXPECT_TRUE(m.is_small());
    EXPECT_EQ(keys_of(m), (std::vector<uint32_t>{8, 7, 6, 5, 4, 3, 2, 1}));  // insertion order
    m.insert(3, Counted(333));  // replacing when full does not switch
    EXPECT_TRUE(m.is_small());
    EXPECT_EQ(keys_of(m), (std::vector<uint32_t>{8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(Counted::live, 8);
    m.insert(9, Counted(90));
    EXPECT_FALSE(m.is_small());
    EXPECT_EQ(m.size(), 9u);
    EXPECT_EQ(Counted::live, 9);
    for (uint32_t k = 1; k <= 9; ++k) {
      ASSERT_NE(m.get(k), nullptr);
      EXPECT_EQ(m.get(k)->v, k == 3 ? 333 : int(k) * 10);
    }
    m.insert(9, Counted(99));
    EXPECT_EQ(m.get(9)->v, 99);
    EXPECT_EQ(Counted::live, 9);
  }
  EXPECT_EQ(Counted::live, 0);
}

TEST(HybridHashmap, ReplacedValuesAreDestroyedExactlyOnce) {
  auto shared = std::make_shared<int>(0);
  {
    HybridHashmap<uint32_t, std::shared_ptr<int>> m;
    for (uint32_t round = 0; round < 3; ++round) {
      for (uint32_t k = 0; k < 20; ++k) m.insert(k, shared);
      EXPECT_EQ(shared.use_count(), 21);  // one per live entry plus ours
    }
  }
  EXPECT_EQ(shared.use_count(), 1);
}

TEST(HybridHashmap, DebugFormShowsRepresentation) {
  HybridHashmap<uint32_t, Counted> m;
  m.insert(2, Counted(5));
  const auto show = [](const Counted& c) { return std::to_string(c.v); };
  EXPECT_EQ(m.debug_string(show), "Small({2: 5})");
  for (uint32_t k = 10; k < 18; ++k) m.insert(k, Counted(1));
  EXPECT_EQ(m.debug_string(show).rfind("Map({", 0), 0u);
}

}  // namespace
}  // namespace calderwick
