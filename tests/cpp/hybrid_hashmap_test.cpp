#include "index/structures/hybrid_hashmap/hybrid_hashmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <type_traits>
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

// A value that carries its key in 32 spare bits, as PyValue does, and
// counts its live instances.
struct Spare {
  static inline int live = 0;
  int v;
  uint32_t spare_bits = 0xdeadbeef;
  explicit Spare(int x) : v(x) { ++live; }
  Spare(Spare&& o) noexcept : v(o.v), spare_bits(o.spare_bits) { ++live; }
  Spare& operator=(Spare&& o) noexcept {
    v = o.v;
    spare_bits = o.spare_bits;
    return *this;
  }
  ~Spare() { --live; }
  uint32_t spare() const { return spare_bits; }
  void set_spare(uint32_t s) { spare_bits = s; }
};

// A block source that knows every block it handed out: a block released
// twice, or one it never gave, fails the test, and a map holds at most one.
struct TrackedBlocks {
  static inline std::set<void*> live;
  static void* allocate(size_t bytes) {
    void* p = HeapBlocks::allocate(bytes);
    live.insert(p);
    return p;
  }
  static void release(void* p) noexcept {
    if (!p) return;
    EXPECT_EQ(live.erase(p), 1u) << "a block released that is not held";
    HeapBlocks::release(p);
  }
};

// Inserts, replacements, lookups and drains against a std::map mirror (and
// the insertion order while small), through every size from empty to well
// past the switch, with and without a reserve up front.
template <typename V, typename Blocks = HeapBlocks>
void check_against_mirror(uint64_t seed) {
  constexpr size_t kSmall = 16;
  std::mt19937_64 rng(seed);
  V::live = 0;
  for (int round = 0; round < 40; ++round) {
    {
      HybridHashmap<uint32_t, V, kSmall, Blocks> m;
      std::map<uint32_t, int> mirror;
      std::vector<uint32_t> order;  // first insertion
      const uint32_t key_space = 1 + rng() % 120;
      // Room asked for past the small capacity takes the large form at once.
      const size_t reserved = rng() % 3 == 0 ? rng() % 40 : 0;
      m.reserve(reserved);
      const int steps = int(rng() % 300);
      for (int step = 0; step < steps; ++step) {
        const uint32_t key = uint32_t(rng() % key_space) * 7919u;  // spread, unsorted
        const int value = int(rng() % 1000);
        const bool had = mirror.count(key) > 0;
        const std::optional<V> replaced = m.insert(key, V(value));
        ASSERT_EQ(replaced.has_value(), had);
        if (had) {
          ASSERT_EQ(replaced->v, mirror[key]);
        }
        if (!had) order.push_back(key);
        mirror[key] = value;
        ASSERT_EQ(m.size(), mirror.size());
        ASSERT_EQ(m.is_small(), reserved <= kSmall && mirror.size() <= kSmall);
        if constexpr (std::is_same_v<Blocks, TrackedBlocks>) {
          ASSERT_EQ(TrackedBlocks::live.size(), 1u);
        }
        const uint32_t probe = uint32_t(rng() % (key_space + 2)) * 7919u;
        const V* got = m.get(probe);
        ASSERT_EQ(got != nullptr, mirror.count(probe) > 0);
        if (got) {
          ASSERT_EQ(got->v, mirror[probe]);
        }
      }
      std::vector<std::pair<uint32_t, int>> seen;
      m.for_each([&](uint32_t k, const V& v) { seen.emplace_back(k, v.v); });
      std::vector<uint32_t> keys;
      for (const auto& [k, v] : seen) keys.push_back(k);
      if (m.is_small()) {
        ASSERT_EQ(keys, order);
      } else {
        ASSERT_TRUE(std::is_sorted(keys.begin(), keys.end()));
      }
      std::sort(seen.begin(), seen.end());
      const std::vector<std::pair<uint32_t, int>> expected(mirror.begin(), mirror.end());
      ASSERT_EQ(seen, expected);
      ASSERT_EQ(V::live, int(mirror.size()));
      if (rng() % 2) {
        std::map<uint32_t, int> drained;
        m.drain([&](uint32_t k, V&& v) { drained[k] = v.v; });
        ASSERT_EQ(drained, mirror);
        ASSERT_EQ(m.size(), 0u);
        ASSERT_TRUE(m.is_small());
        ASSERT_EQ(V::live, 0);
        m.insert(5, V(1));  // usable again
        ASSERT_EQ(m.get(5)->v, 1);
      }
    }
    ASSERT_EQ(V::live, 0);
    if constexpr (std::is_same_v<Blocks, TrackedBlocks>) {
      ASSERT_TRUE(TrackedBlocks::live.empty());
    }
  }
}

TEST(HybridHashmap, AnswersLikeAMirrorAcrossEverySize) {
  for (uint64_t seed = 1; seed <= 5; ++seed) {
    check_against_mirror<Counted>(seed);
    check_against_mirror<Spare>(seed + 100);
    check_against_mirror<Counted, TrackedBlocks>(seed + 200);
  }
}

}  // namespace
}  // namespace calderwick
