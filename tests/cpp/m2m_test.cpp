#include "index/structures/m2m/m2m.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace calderwick {
namespace {

using Pair = std::pair<uint32_t, uint32_t>;  // (left, right)
using Ids = std::vector<uint32_t>;

IdSet id_set(const Ids& ids) {
  IdSet s;
  s.add_many(ids.data(), ids.size());
  return s;
}

// The pairs left after adding `added` then removing `removed`, with set semantics.
std::set<Pair> surviving(const std::vector<Pair>& added, const std::vector<Pair>& removed) {
  std::set<Pair> pairs(added.begin(), added.end());
  for (const Pair& p : removed) pairs.erase(p);
  return pairs;
}

M2MU32 apply(const std::vector<Pair>& added, const std::vector<Pair>& removed) {
  M2MU32 rel;
  for (const auto& [l, r] : added) rel.add_pair(l, r);
  for (const auto& [l, r] : removed) rel.remove_pair(l, r);
  return rel;
}

// `rel` holds exactly `pairs`: the count, every pair, and each right's lefts.
void expect_holds_exactly(const M2MU32& rel, const std::set<Pair>& pairs) {
  EXPECT_EQ(rel.pair_count(), pairs.size());
  EXPECT_EQ(rel.is_empty(), pairs.empty());
  std::map<uint32_t, Ids> lefts;
  for (const auto& [l, r] : pairs) {
    EXPECT_TRUE(rel.contains_pair(l, r)) << l << ", " << r;
    lefts[r].push_back(l);
  }
  for (auto& [r, ls] : lefts) {
    std::sort(ls.begin(), ls.end());
    EXPECT_EQ(rel.lefts_of(r).to_vector(), ls) << "lefts of " << r;
  }
}

struct LookupCase {
  const char* name;
  std::vector<Pair> added;
  std::vector<Pair> removed;
  Ids query;
  Ids expected;
};

TEST(M2MU32, Lookups) {
  const std::vector<Pair> apart = {{0x12, 1}, {0x21, 2}};
  const std::vector<Pair> shared_right = {{0x12, 7}, {0x21, 7}};
  const std::vector<Pair> shared_left = {{1, 0x12}, {1, 0x21}};
  const std::vector<Pair> one = {{5, 300}};
  const std::vector<Pair> extremes = {{0xFFFFFFFF, 0}, {0, 0xFFFFFFFF}, {0x10000000, 1}};
  const std::vector<LookupCase> cases = {
      {"empty relation", {}, {}, {0, 1}, {}},
      {"empty query", one, {}, {}, {}},
      {"single partners stay apart", apart, {}, {1}, {0x12}},
      {"several rights give the union", apart, {}, {1, 2, 3}, {0x12, 0x21}},
      {"a right with two lefts", shared_right, {}, {7}, {0x12, 0x21}},
      {"a left with two rights is no left of their nibble mix", shared_left, {}, {0x11}, {}},
      {"lefts of several rights, repeats merged", {{3, 1}, {1, 2}, {2, 1}, {3, 2}}, {}, {1, 2}, {1, 2, 3}},
      {"one pair, lefts of its right", one, {}, {300}, {5}},
      {"one pair, its left is no right", one, {}, {5}, {}},
      {"all-ones right", extremes, {}, {0xFFFFFFFF}, {0}},
      {"a left keeps its surviving right", {{3, 0x0A}, {3, 0x1A}}, {{3, 0x0A}}, {0x1A}, {3}},
      {"the removed right has no left", {{3, 0x0A}, {3, 0x1A}}, {{3, 0x0A}}, {0x0A}, {}},
      {"a pair added twice is removed by one removal", {{5, 300}, {5, 300}}, one, {300}, {}},
      {"removal keeps the surviving pair", shared_right, {{0x21, 7}}, {7}, {0x12}},
      {"removing absent pairs changes nothing", one, {{5, 301}, {6, 300}, {300, 5}}, {300}, {5}},
      {"removing the last pair", one, one, {300}, {}},
      {"ids at both ends of the key range", extremes, {}, {0, 1, 0xFFFFFFFF}, {0, 0x10000000, 0xFFFFFFFF}},
  };
  for (const LookupCase& c : cases) {
    SCOPED_TRACE(c.name);
    const M2MU32 rel = apply(c.added, c.removed);
    const IdSet query = id_set(c.query);
    EXPECT_EQ(rel.lefts_of_all(query).to_vector(), c.expected);
    expect_holds_exactly(rel, surviving(c.added, c.removed));
  }
}

struct StateCase {
  const char* name;
  std::vector<Pair> added;
  std::vector<Pair> removed;
  Ids rights;      // every right with a pair
  Ids not_rights;  // probes that must not count as rights
};

TEST(M2MU32, RightsPresence) {
  const std::vector<StateCase> cases = {
      {"empty relation", {}, {}, {}, {0, 1, 0xFFFFFFFF}},
      {"one pair", {{5, 300}}, {}, {300}, {5, 0, 301, 300 + 0x10}},
      {"one pair removed", {{5, 300}}, {{5, 300}}, {}, {5, 300}},
      {"right survives while it keeps an owner", {{5, 300}, {6, 300}}, {{5, 300}}, {300}, {5, 6}},
      {"zero and all-ones ids", {{0xFFFFFFFF, 0}, {0, 0xFFFFFFFF}}, {}, {0, 0xFFFFFFFF}, {1, 0xFFFFFFFE}},
      {"many rights over every low nibble",
       {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {2, 4}, {2, 5}, {2, 6}, {2, 7}, {3, 8}, {3, 9}, {3, 10}, {3, 11},
        {4, 12}, {4, 13}, {4, 14}, {4, 15}, {4, 16}},
       {{2, 6}},
       {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
       {6, 17, 0x100}},
  };
  for (const StateCase& c : cases) {
    SCOPED_TRACE(c.name);
    const M2MU32 rel = apply(c.added, c.removed);
    EXPECT_EQ(rel.all_rights().to_vector(), c.rights);
    EXPECT_EQ(rel.is_empty(), c.rights.empty());
    EXPECT_EQ(rel.pair_count(), surviving(c.added, c.removed).size());
    for (uint32_t r : c.rights) EXPECT_TRUE(rel.has_right(r)) << r;
    for (uint32_t r : c.not_rights) EXPECT_FALSE(rel.has_right(r)) << r;
  }
}

struct ExactCase {
  const char* name;
  std::vector<Pair> added;
  std::vector<Pair> removed;
  uint32_t id;
  Ids lefts_of;  // exact lefts of `id` as a right
};

TEST(M2MU32, ExactRecord) {
  // Left 9 has more partners than fit inline, right 10 has three owners.
  std::vector<Pair> wide = {{1, 10}, {2, 10}, {3, 10}, {1, 11}};
  for (uint32_t r = 100; r < 110; ++r) wide.push_back({9, r});
  const std::vector<Pair> removed = {{2, 10}, {9, 103}, {9, 100}};
  const std::vector<ExactCase> cases = {
      {"empty relation", {}, {}, 10, {}},
      {"owners of a shared right", wide, removed, 10, {1, 3}},
      {"a removed owner keeps none", wide, removed, 2, {}},
      {"a left is no right", wide, removed, 1, {}},
      {"a right of the wide left", wide, removed, 105, {9}},
      {"a removed right of the wide left", wide, removed, 103, {}},
      {"an id on both sides", {{4, 4}, {4, 8}, {8, 4}}, {}, 4, {4, 8}},
  };
  for (const ExactCase& c : cases) {
    SCOPED_TRACE(c.name);
    const M2MU32 rel = apply(c.added, c.removed);
    EXPECT_EQ(rel.lefts_of(c.id).to_vector(), c.lefts_of);
    EXPECT_EQ(rel.owner_count(c.id), c.lefts_of.size());
    const std::set<Pair> pairs = surviving(c.added, c.removed);
    for (const auto& [l, r] : c.added) EXPECT_EQ(rel.contains_pair(l, r), pairs.count({l, r}) == 1);
  }
}

struct AddRemoveCase {
  const char* name;
  std::vector<Pair> before;
  bool add;  // otherwise remove
  Pair pair;
  bool changed;
};

TEST(M2MU32, AddAndRemoveReportChanges) {
  const std::vector<AddRemoveCase> cases = {
      {"add to empty", {}, true, {1, 2}, true},
      {"add again", {{1, 2}}, true, {1, 2}, false},
      {"add the mirrored pair", {{1, 2}}, true, {2, 1}, true},
      {"remove present", {{1, 2}}, false, {1, 2}, true},
      {"remove from empty", {}, false, {1, 2}, false},
      {"remove the mirrored pair", {{1, 2}}, false, {2, 1}, false},
      {"remove with a known right but another left", {{1, 2}}, false, {3, 2}, false},
      {"remove with a known left but another right", {{1, 2}}, false, {1, 3}, false},
  };
  for (const AddRemoveCase& c : cases) {
    SCOPED_TRACE(c.name);
    M2MU32 rel = apply(c.before, {});
    std::set<Pair> expected(c.before.begin(), c.before.end());
    if (c.add) {
      EXPECT_EQ(rel.add_pair(c.pair.first, c.pair.second), c.changed);
      expected.insert(c.pair);
    } else {
      EXPECT_EQ(rel.remove_pair(c.pair.first, c.pair.second), c.changed);
      expected.erase(c.pair);
    }
    expect_holds_exactly(rel, expected);
  }
}

// Mirrors every operation into a std::set of pairs and compares after each step.
class CheckedM2M {
 public:
  void add(uint32_t l, uint32_t r) {
    const bool fresh = mirror_.insert({l, r}).second;
    ASSERT_EQ(rel_.add_pair(l, r), fresh) << "add (" << l << ", " << r << ")";
  }
  void remove(uint32_t l, uint32_t r) {
    const bool had = mirror_.erase({l, r}) == 1;
    ASSERT_EQ(rel_.remove_pair(l, r), had) << "remove (" << l << ", " << r << ")";
  }
  // Every pair of the lefts in `lefts` goes (owners narrowed away).
  void remove_lefts(const IdSet& lefts) {
    std::erase_if(mirror_, [&](const Pair& p) { return lefts.contains(p.first); });
    rel_.remove_lefts(lefts);
  }
  // A batch, repeats and known pairs included.
  void add_all(const std::vector<Pair>& batch) {
    mirror_.insert(batch.begin(), batch.end());
    rel_.add_pairs(batch);
  }
  const std::set<Pair>& pairs() const { return mirror_; }

  void check(const Ids& universe, std::mt19937& rng) {
    ASSERT_EQ(rel_.pair_count(), mirror_.size());
    ASSERT_EQ(rel_.is_empty(), mirror_.empty());

    std::map<uint32_t, std::set<uint32_t>> lefts_by_right;
    for (const auto& [l, r] : mirror_) lefts_by_right[r].insert(l);
    const auto exact = [](const std::map<uint32_t, std::set<uint32_t>>& m, uint32_t id) {
      const auto it = m.find(id);
      return it == m.end() ? Ids{} : Ids(it->second.begin(), it->second.end());
    };
    Ids all_rights;
    for (const auto& [r, ls] : lefts_by_right) all_rights.push_back(r);
    ASSERT_EQ(rel_.all_rights().to_vector(), all_rights);

    // Exact lefts of a random handful of rights at once.
    IdSet some_rights;
    std::set<uint32_t> their_lefts;
    for (uint32_t id : universe) {
      if (rng() % 4) continue;
      some_rights.add(id);
      if (const auto it = lefts_by_right.find(id); it != lefts_by_right.end()) {
        their_lefts.insert(it->second.begin(), it->second.end());
      }
    }
    ASSERT_EQ(rel_.lefts_of_all(some_rights).to_vector(), Ids(their_lefts.begin(), their_lefts.end()));

    for (uint32_t id : universe) {
      const Ids lefts = exact(lefts_by_right, id);
      ASSERT_EQ(rel_.lefts_of(id).to_vector(), lefts) << id;
      ASSERT_EQ(rel_.owner_count(id), lefts.size()) << id;
      ASSERT_EQ(rel_.has_right(id), !lefts.empty()) << id;
      for (uint32_t other : {universe[rng() % universe.size()], universe[rng() % universe.size()]}) {
        ASSERT_EQ(rel_.contains_pair(id, other), mirror_.count({id, other}) == 1) << id << ", " << other;
      }
    }

    // A lookup of several keys is the union of their exact partners.
    Ids keys;
    std::sample(universe.begin(), universe.end(), std::back_inserter(keys), 5, rng);
    std::set<uint32_t> union_lefts;
    for (uint32_t k : keys) {
      for (uint32_t l : exact(lefts_by_right, k)) union_lefts.insert(l);
    }
    ASSERT_EQ(rel_.lefts_of_all(id_set(keys)).to_vector(), Ids(union_lefts.begin(), union_lefts.end()));
  }

 private:
  M2MU32 rel_;
  std::set<Pair> mirror_;
};

struct BatchCase {
  const char* name;
  std::vector<Pair> before;  // added pair by pair first
  std::vector<Pair> batch;
};

// A batch gives what its pairs added one by one give: small and large (past
// a chunk), ascending or not, with repeats, with pairs already there.
TEST(M2MU32, BatchesMatchPairByPair) {
  std::vector<Pair> shared, scattered, descending;
  for (uint32_t i = 0; i < 70000; ++i) shared.emplace_back(i * 7 + 1, 1000000 + i % 300);
  shared.push_back(shared.front());  // a repeat across chunks
  std::mt19937 rng(5);
  for (uint32_t i = 0; i < 40000; ++i) scattered.emplace_back(rng() % 5000, rng() % 5000);
  for (uint32_t i = 70000; i > 0; --i) descending.emplace_back(i, i / 2);
  const std::vector<Pair> few = {{9, 1}, {3, 1}, {3, 2}, {9, 1}};
  const std::vector<BatchCase> cases = {
      {"empty batch", few, {}},
      {"a few pairs, unordered, with a repeat", {}, few},
      {"a few pairs onto the same pairs", few, few},
      {"owners in order sharing rights, past a chunk", {}, shared},
      {"random pairs with repeats", {}, scattered},
      {"descending owners, each its own right", {}, descending},
      {"a batch over pairs already recorded", std::vector<Pair>(scattered.begin(), scattered.begin() + 20000),
       scattered},
  };
  for (const BatchCase& c : cases) {
    SCOPED_TRACE(c.name);
    M2MU32 batched = apply(c.before, {});
    batched.add_pairs(c.batch);
    std::vector<Pair> all = c.before;
    all.insert(all.end(), c.batch.begin(), c.batch.end());
    expect_holds_exactly(batched, surviving(all, {}));
    EXPECT_EQ(batched.all_rights().to_vector(), apply(all, {}).all_rights().to_vector());
  }
}

class M2MU32Randomised : public ::testing::TestWithParam<uint32_t> {};

TEST_P(M2MU32Randomised, MatchesMirror) {
  std::mt19937 rng(GetParam());
  // Small ids share most nibbles; the large ones share their low nibbles with
  // small ids and differ only higher up.
  Ids universe;
  for (uint32_t i = 0; i < 64; ++i) universe.push_back(i);
  for (uint32_t big : {0x10000000u, 0x10000001u, 0x80000011u, 0x12345678u, 0x87654321u, 0xFFFFFFFFu, 0x00000F2Fu})
    universe.push_back(big);
  const auto pick = [&] {
    return rng() % 5 == 0 ? universe[64 + rng() % (universe.size() - 64)] : universe[rng() % 64];
  };

  CheckedM2M checked;
  for (int step = 0; step < 1200; ++step) {
    SCOPED_TRACE(step);
    const uint32_t op = rng() % 10;
    if (op == 5) {
      // A batch sharing a few rights among many lefts, as nested objects do.
      std::vector<Pair> batch;
      const uint32_t shared = pick();
      for (size_t n = 1 + rng() % 24; n > 0; --n) batch.emplace_back(pick(), rng() % 3 ? shared : pick());
      checked.add_all(batch);
    } else if (op < 6 || checked.pairs().empty()) {
      // Reuse an existing left or right half the time, so ids gather partners.
      uint32_t l = pick(), r = pick();
      if (!checked.pairs().empty() && rng() % 2) {
        auto it = checked.pairs().begin();
        std::advance(it, rng() % checked.pairs().size());
        (rng() % 2 ? l : r) = rng() % 2 ? it->first : it->second;
      }
      checked.add(l, r);
    } else if (op < 9) {
      auto it = checked.pairs().begin();
      std::advance(it, rng() % checked.pairs().size());
      const Pair p = *it;
      checked.remove(p.first, p.second);
    } else if (rng() % 4 == 0) {
      // Owners narrowed away: a few lefts, some holding pairs, some not.
      IdSet gone;
      for (int k = 0; k < 3; ++k) gone.add(pick());
      checked.remove_lefts(gone);
    } else {
      checked.remove(pick(), pick());  // usually absent
    }
    checked.check(universe, rng);
    if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure()) return;
  }
  // Drain in random order: the relation ends up empty.
  std::vector<Pair> rest(checked.pairs().begin(), checked.pairs().end());
  std::shuffle(rest.begin(), rest.end(), rng);
  for (const auto& [l, r] : rest) {
    checked.remove(l, r);
    checked.check(universe, rng);
    if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure()) return;
  }
  EXPECT_TRUE(checked.pairs().empty());
}

// Nested objects shared by many owners: two hub rights gain lefts past the
// listed size (one by one and in batches), lose them in random order down
// to none, and gain them again, while a few other rights keep short lists.
TEST_P(M2MU32Randomised, HubsCrossTheListedSize) {
  std::mt19937 rng(GetParam());
  constexpr uint32_t kLefts = 3 * PackedIds::kListMax;
  const uint32_t hubs[] = {1000000, 1000001};
  Ids universe;
  for (uint32_t i = 0; i < kLefts; ++i) universe.push_back(i);
  universe.insert(universe.end(), {1000000, 1000001, 1000002, 1000003});
  CheckedM2M checked;
  for (int round = 0; round < 2; ++round) {
    // Grow: mostly adds, some removes, so a hub crosses the size both ways
    // on its way up.
    for (int step = 0; step < 500; ++step) {
      SCOPED_TRACE(step);
      const uint32_t hub = hubs[rng() % 2];
      const uint32_t op = rng() % 8;
      if (op == 0) {
        std::vector<Pair> batch;
        for (size_t n = 1 + rng() % 40; n > 0; --n) batch.emplace_back(rng() % kLefts, hub);
        checked.add_all(batch);
      } else if (op < 6) {
        checked.add(rng() % kLefts, rng() % 6 ? hub : 1000002 + rng() % 2);
      } else if (op == 7 && rng() % 4 == 0) {
        IdSet gone;
        for (int k = 0; k < 6; ++k) gone.add(rng() % kLefts);
        checked.remove_lefts(gone);
      } else {
        checked.remove(rng() % kLefts, hub);
      }
      if (step % 10 == 0) checked.check(universe, rng);
      if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure()) return;
    }
    checked.check(universe, rng);
    // Drain every hub's lefts in random order.
    std::vector<Pair> hub_pairs;
    for (const Pair& p : checked.pairs()) {
      if (p.second == hubs[0] || p.second == hubs[1]) hub_pairs.push_back(p);
    }
    ASSERT_GT(hub_pairs.size(), 2 * PackedIds::kListMax);
    std::shuffle(hub_pairs.begin(), hub_pairs.end(), rng);
    for (size_t i = 0; i < hub_pairs.size(); ++i) {
      checked.remove(hub_pairs[i].first, hub_pairs[i].second);
      if (i % 16 == 0) checked.check(universe, rng);
      if (::testing::Test::HasFatalFailure() || ::testing::Test::HasNonfatalFailure()) return;
    }
    checked.check(universe, rng);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, M2MU32Randomised, ::testing::Values(1u, 7u, 42u, 2024u));

}  // namespace
}  // namespace calderwick
