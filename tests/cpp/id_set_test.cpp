#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <set>
#include <vector>

#include "index/common/id_set.h"

namespace calderwick {
namespace {

// from_sorted builds the same set as adding the ids one by one, whatever
// mix of sparse and dense chunks the ids fall into.
struct FromSortedCase {
  const char* name;
  std::vector<uint32_t> (*make)(std::mt19937&);
};

std::vector<uint32_t> draw(std::mt19937& rng, uint32_t lo, uint32_t hi, size_t n) {
  std::set<uint32_t> ids;
  std::uniform_int_distribution<uint32_t> pick(lo, hi);
  while (ids.size() < n) ids.insert(pick(rng));
  return {ids.begin(), ids.end()};
}

const FromSortedCase kCases[] = {
    {"empty", [](std::mt19937&) { return std::vector<uint32_t>{}; }},
    {"below the bulk threshold", [](std::mt19937& r) { return draw(r, 0, 1000, IdSet::kFromSortedMin - 1); }},
    {"at the bulk threshold", [](std::mt19937& r) { return draw(r, 0, 1000, IdSet::kFromSortedMin); }},
    {"sparse over many chunks", [](std::mt19937& r) { return draw(r, 0, 4000000, 1000); }},
    {"one chunk at the array limit", [](std::mt19937& r) { return draw(r, 65536, 131071, 4096); }},
    {"one chunk just past the array limit", [](std::mt19937& r) { return draw(r, 65536, 131071, 4097); }},
    {"a full chunk", [](std::mt19937&) {
       std::vector<uint32_t> v(65536);
       for (uint32_t i = 0; i < v.size(); ++i) v[i] = 3 * 65536 + i;
       return v;
     }},
    {"dense and sparse chunks, top ids", [](std::mt19937& r) {
       std::vector<uint32_t> v = draw(r, 0, 65535, 20000);
       const std::vector<uint32_t> sparse = draw(r, 65536, 10 * 65536, 300);
       const std::vector<uint32_t> top = draw(r, UINT32_MAX - 70000, UINT32_MAX, 6000);
       v.insert(v.end(), sparse.begin(), sparse.end());
       v.insert(v.end(), top.begin(), top.end());
       return v;
     }},
};

TEST(IdSet, FromSortedEqualsAddingOneByOne) {
  for (const FromSortedCase& c : kCases) {
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      std::mt19937 rng(seed);
      const std::vector<uint32_t> ids = c.make(rng);
      ASSERT_TRUE(std::is_sorted(ids.begin(), ids.end())) << c.name;
      IdSet expected;
      for (uint32_t id : ids) expected.add(id);
      IdSet built = IdSet::from_sorted(ids);
      EXPECT_TRUE(built == expected) << c.name << ", seed " << seed;
      EXPECT_EQ(built.to_vector(), ids) << c.name;
      // The built set is an ordinary set: it can change and combine.
      built.add(7);
      built.remove(ids.empty() ? 0 : ids.front());
      expected.add(7);
      expected.remove(ids.empty() ? 0 : ids.front());
      EXPECT_TRUE(built == expected) << c.name;
      EXPECT_TRUE(IdSet::and_(built, expected) == expected) << c.name;
    }
  }
}

// for_each_in and next_at_or_after against the sorted ids, with bounds at
// both ends of the id space, at chunk edges, at and beside stored ids.
TEST(IdSet, RangeReadsAgreeWithTheSortedIds) {
  for (const FromSortedCase& c : kCases) {
    std::mt19937 rng(5);
    const std::vector<uint32_t> ids = c.make(rng);
    const IdSet set = IdSet::from_sorted(ids);
    std::vector<uint32_t> bounds = {0, 1, 65535, 65536, 131071, 131072, UINT32_MAX - 1, UINT32_MAX};
    for (int i = 0; i < 6 && !ids.empty(); ++i) {
      const uint32_t id = ids[rng() % ids.size()];
      bounds.insert(bounds.end(), {id, id - 1, id + 1});
    }
    for (int i = 0; i < 6; ++i) bounds.push_back(uint32_t(rng()));
    for (uint32_t low : bounds) {
      const auto at = std::lower_bound(ids.begin(), ids.end(), low);
      const std::optional<uint32_t> next = set.next_at_or_after(low);
      ASSERT_EQ(next.has_value(), at != ids.end()) << c.name << ", from " << low;
      if (next) {
        ASSERT_EQ(*next, *at) << c.name << ", from " << low;
      }
      for (uint32_t high : bounds) {
        std::vector<uint32_t> expected;
        for (uint32_t id : ids) {
          if (id >= low && id <= high) expected.push_back(id);
        }
        std::vector<uint32_t> got;
        set.for_each_in(low, high, [&](uint32_t id) { got.push_back(id); });
        ASSERT_EQ(got, expected) << c.name << ", [" << low << ", " << high << "]";
      }
    }
  }
}

TEST(IdSet, UnionOfManyEqualsPairwiseUnion) {
  std::mt19937 rng(5);
  for (size_t count : {0u, 1u, 2u, 5u, 17u}) {
    std::vector<IdSet> sets(count);
    IdSet expected;
    for (size_t i = 0; i < count; ++i) {
      // Sparse, dense and empty sets over overlapping ranges.
      const size_t n = i % 4 == 3 ? 0 : (i % 2 ? 6000 : 300);
      for (uint32_t id : draw(rng, 0, 3 * 65536, n)) sets[i].add(id);
      expected.or_inplace(sets[i]);
    }
    EXPECT_TRUE(IdSet::union_of(sets) == expected) << count << " sets";
  }
}

// Cutting to a universe skips the intersection when the universe holds the
// set's whole range; the answer must be the intersection whatever the
// universe's shape, a gap one id inside or outside either end included.
TEST(IdSet, CutToAUniverseEqualsTheIntersection) {
  std::mt19937 rng(12);
  auto range_set = [](uint32_t lo, uint32_t hi) {  // [lo, hi]
    std::vector<uint32_t> ids(hi - lo + 1);
    for (uint32_t i = 0; i < ids.size(); ++i) ids[i] = lo + i;
    return IdSet::from_sorted(ids);
  };
  for (int round = 0; round < 200; ++round) {
    const uint32_t base = round % 3 == 0 ? 0 : std::uniform_int_distribution<uint32_t>(0, 5 * 65536)(rng);
    const size_t n = round % 5 == 0 ? 0 : (round % 2 ? 40 : 9000);
    const std::vector<uint32_t> ids = draw(rng, base, base + 3 * 65536, n);
    const IdSet set = IdSet::from_sorted(ids);
    const uint32_t lo = ids.empty() ? base : ids.front();
    const uint32_t hi = ids.empty() ? base : ids.back();
    std::vector<IdSet> universes;
    universes.push_back(range_set(lo, hi));                               // exactly the span
    universes.push_back(range_set(lo > 0 ? lo - 1 : 0, hi + 1));          // wider
    universes.push_back(range_set(lo + 1, hi + 1));                       // misses the smallest
    universes.push_back(range_set(lo > 0 ? lo - 1 : 0, hi > 0 ? hi - 1 : 0));  // misses the largest
    IdSet holed = range_set(lo, hi);
    if (hi > lo) holed.remove(lo + (hi - lo) / 2);  // a gap inside
    universes.push_back(std::move(holed));
    universes.push_back(IdSet::from_sorted(draw(rng, base, base + 3 * 65536, 20000)));
    universes.emplace_back();
    for (const IdSet& u : universes) {
      const IdSet expected = IdSet::and_(set, u);
      EXPECT_TRUE(IdSet::within(set, u) == expected) << "round " << round;
      IdSet cut = set;
      cut.and_within(u);
      EXPECT_TRUE(cut == expected) << "round " << round;
    }
  }
}

TEST(IdSet, BatchesCoverTheSetInOrderOnBothReadPaths) {
  std::mt19937 rng(9);
  for (size_t n : {size_t{0}, size_t{300}, size_t{IdSet::kBulkRead - 1}, size_t{IdSet::kBulkRead}, size_t{70000}}) {
    const std::vector<uint32_t> ids = draw(rng, 0, 4 * 65536, n);
    const IdSet set = IdSet::from_sorted(ids);
    std::vector<uint32_t> seen;
    set.for_each_batch([&](std::span<const uint32_t> batch) {
      EXPECT_FALSE(batch.empty());
      EXPECT_LE(batch.size(), IdSet::kBatch);
      seen.insert(seen.end(), batch.begin(), batch.end());
    });
    EXPECT_EQ(seen, ids) << n << " ids";
  }
}

// Single writes that keep dense chunks as bitsets (add_in_place,
// remove_in_place, set_in_place), against a std::set: ids
// drawn from two chunks (one of them sparse in the directory, so the direct
// chunk guess misses) are added and removed in waves that carry a chunk
// across the bitset threshold both ways, mixed with the library's own writes.
// After every wave the set must read, count, compare and combine like the
// model.
TEST(IdSet, InPlaceWritesAgreeWithAModel) {
  std::mt19937 rng(17);
  IdSet set;
  std::set<uint32_t> model;
  const uint32_t bases[] = {0, 5 * 65536};
  const auto check = [&](int wave) {
    const std::vector<uint32_t> ids(model.begin(), model.end());
    ASSERT_EQ(set.cardinality(), ids.size()) << "wave " << wave;
    ASSERT_EQ(set.is_empty(), ids.empty()) << "wave " << wave;
    ASSERT_EQ(set.to_vector(), ids) << "wave " << wave;
    const IdSet rebuilt = IdSet::from_sorted(ids);
    ASSERT_TRUE(set == rebuilt && rebuilt == set) << "wave " << wave;
    IdSet odd;
    for (uint32_t id : ids) {
      if (id % 2) odd.add(id);
    }
    ASSERT_TRUE(IdSet::and_(set, odd) == odd) << "wave " << wave;
    ASSERT_EQ(IdSet::andnot(set, odd).cardinality(), ids.size() - odd.cardinality()) << "wave " << wave;
    for (int k = 0; k < 50; ++k) {
      const uint32_t id = bases[k % 2] + uint32_t(rng() % 65536);
      ASSERT_EQ(set.contains(id), model.count(id) == 1) << "wave " << wave << ", id " << id;
    }
  };
  // Per wave: the size each chunk is driven towards. Odd waves mix in the
  // library's own writes, which turn a chunk back into an array at once.
  const int targets[] = {100, 3000, IdSet::kDenseAt - 1, IdSet::kDenseAt + 1, 6000, 1500, 900, 5000, 0, 2500};
  int wave = 0;
  for (int target : targets) {
    for (uint32_t base : bases) {
      int in_chunk = int(std::distance(model.lower_bound(base), model.lower_bound(base + 65536)));
      while (in_chunk != target) {
        const bool grow = in_chunk < target;
        uint32_t id = base + uint32_t(rng() % 65536);
        if (!grow) {
          // Remove a held id: the next one at or after a random point.
          auto it = model.lower_bound(id);
          if (it == model.end() || *it >= base + 65536) it = model.lower_bound(base);
          id = *it;
        } else if (model.count(id)) {
          set.set_in_place(id, true);  // already held: nothing changes
          continue;
        }
        if (const uint32_t absent = base + uint32_t(rng() % 65536); !model.count(absent)) {
          set.remove_in_place(absent);  // not held: nothing changes
        }
        in_chunk += grow ? 1 : -1;
        const bool library = wave % 2 == 1 && rng() % 8 == 0;  // in place only on even waves
        if (library) {
          grow ? void(set.add(id)) : void(set.remove(id));
        } else if (rng() % 2) {
          set.set_in_place(id, grow);
        } else {
          grow ? set.add_in_place(id) : set.remove_in_place(id);
        }
        if (grow) {
          model.insert(id);
        } else {
          model.erase(id);
        }
      }
    }
    check(wave++);
  }
  // Writes to chunks that do not exist yet, and to an empty set.
  IdSet fresh;
  fresh.remove_in_place(3);
  fresh.add_in_place(70000);
  fresh.add_in_place(70000);
  EXPECT_EQ(fresh.to_vector(), std::vector<uint32_t>{70000});
  fresh.remove_in_place(70000);
  EXPECT_TRUE(fresh.is_empty());
}

}  // namespace
}  // namespace calderwick
