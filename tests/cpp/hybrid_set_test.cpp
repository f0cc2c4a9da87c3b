#include "index/structures/hybrid_set/hybrid_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "id_set_test_support.h"
#include "index/structures/centered_array/centered_array.h"

namespace calderwick {
namespace {

using namespace calderwick::testing;
using Kind = HybridSet::Kind;

Ids ids_of(const HybridSet& s) {
  Ids out;
  s.for_each([&](uint32_t id) { out.push_back(id); });
  return out;
}

const char* kind_name(Kind k) {
  switch (k) {
    case Kind::kEmpty:
      return "Empty";
    case Kind::kSmall:
      return "Small";
    case Kind::kLarge:
      return "Large";
  }
  return "?";
}


// How a test set is built: Empty, a Small set holding `ids` (at most four,
// inserted in the given order) or a Large set holding `ids`.
struct Seed {
  Kind kind;
  Ids ids;

  HybridSet build() const {
    switch (kind) {
      case Kind::kEmpty:
        return HybridSet();
      case Kind::kSmall:
        return HybridSet(array_of(ids));
      case Kind::kLarge: {
        IdSet bm;
        bm.add_many(ids);
        return HybridSet(std::move(bm));
      }
    }
    return HybridSet();
  }
};
Seed empty() { return {Kind::kEmpty, {}}; }
Seed small(Ids ids) { return {Kind::kSmall, std::move(ids)}; }
Seed large(Ids ids) { return {Kind::kLarge, std::move(ids)}; }

void expect_set(const HybridSet& s, Kind kind, const Ids& ids) {
  EXPECT_EQ(kind_name(s.kind()), std::string(kind_name(kind)));
  EXPECT_EQ(ids_of(s), ids);
  EXPECT_EQ(s.to_bitmap().to_vector(), ids);
  EXPECT_EQ(s.cardinality(), ids.size());
  for (uint32_t id : ids) EXPECT_TRUE(s.contains(id)) << id;
  if (const CenteredArray* a = s.small()) expect_well_formed(*a);
  if (kind != Kind::kEmpty) {
    EXPECT_EQ(s.is_empty(), ids.empty());
  }
}

struct AddCase {
  const char* name;
  Seed start;
  Ids adds;
  Kind kind;
  Ids ids;
};

void PrintTo(const AddCase& c, std::ostream* os) { *os << c.name; }

class HybridSetAdd : public ::testing::TestWithParam<AddCase> {};

TEST_P(HybridSetAdd, GrowsThroughRepresentations) {
  const AddCase& c = GetParam();
  HybridSet s = c.start.build();
  for (uint32_t id : c.adds) s.add(id);
  expect_set(s, c.kind, c.ids);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HybridSetAdd,
    ::testing::Values(AddCase{"EmptyBecomesSmall", empty(), {5}, Kind::kSmall, {5}},
                      AddCase{"ThreeStaySmall", empty(), {5, 3, 9}, Kind::kSmall, {3, 5, 9}},
                      AddCase{"DuplicatesWhileSmall", empty(), {5, 5, 3, 3}, Kind::kSmall, {3, 5}},
                      AddCase{"FourthIdBecomesLarge", empty(), {5, 3, 9, 4}, Kind::kLarge, {3, 4, 5, 9}},
                      // The switch happens before membership is tested.
                      AddCase{"DuplicateFourthAddBecomesLarge", empty(), {5, 3, 9, 5}, Kind::kLarge, {3, 5, 9}},
                      AddCase{"FullSmallBecomesLarge", small({1, 2, 3, 4}), {0}, Kind::kLarge, {0, 1, 2, 3, 4}},
                      AddCase{"FullSmallDuplicateBecomesLarge", small({1, 2, 3, 4}), {2}, Kind::kLarge, {1, 2, 3, 4}},
                      AddCase{"EmptiedSmallStaysSmall", small({}), {8, 1}, Kind::kSmall, {1, 8}},
                      AddCase{"LargeStaysLarge", large({}), {70000, 1}, Kind::kLarge, {1, 70000}},
                      AddCase{"ExtremeIds", empty(), {0xFFFFFFFFu, 0, 65536, 65535}, Kind::kLarge,
                              {0, 65535, 65536, 0xFFFFFFFFu}}),
    [](const auto& info) { return std::string(info.param.name); });

struct RemoveCase {
  const char* name;
  Seed start;
  Ids removes;
  Kind kind;
  Ids ids;
};

void PrintTo(const RemoveCase& c, std::ostream* os) { *os << c.name; }

class HybridSetRemove : public ::testing::TestWithParam<RemoveCase> {};

TEST_P(HybridSetRemove, NeverShrinksRepresentation) {
  const RemoveCase& c = GetParam();
  HybridSet s = c.start.build();
  for (uint32_t id : c.removes) s.remove(id);
  expect_set(s, c.kind, c.ids);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HybridSetRemove,
    ::testing::Values(RemoveCase{"SmallMiddle", small({3, 5, 9}), {5}, Kind::kSmall, {3, 9}},
                      RemoveCase{"SmallAbsent", small({3, 5, 9}), {4, 10}, Kind::kSmall, {3, 5, 9}},
                      RemoveCase{"SmallLastIdLeavesEmptySmall", small({3}), {3}, Kind::kSmall, {}},
                      RemoveCase{"SmallAll", small({1, 2, 3, 4}), {4, 1, 3, 2}, Kind::kSmall, {}},
                      RemoveCase{"LargeToOne", large({1, 2, 3, 4, 5}), {1, 2, 3, 5}, Kind::kLarge, {4}},
                      RemoveCase{"LargeToNone", large({1, 70000}), {70000, 1, 1}, Kind::kLarge, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HybridSet, EmptyPlaceholder) {
  HybridSet s;
  EXPECT_EQ(s.kind(), Kind::kEmpty);
  expect_internal_error([&] { s.remove(1); }, "called remove on Empty");
  expect_internal_error([&] { (void)s.is_empty(); }, "called is_empty on Empty");
  EXPECT_FALSE(s.contains(0));
  EXPECT_EQ(s.cardinality(), 0u);
  EXPECT_TRUE(s.to_bitmap().is_empty());
  s.keep_only(IdSet{1, 2});
  EXPECT_EQ(s.kind(), Kind::kEmpty);
  EXPECT_EQ(s.small(), nullptr);
  EXPECT_EQ(s.large(), nullptr);
}

struct KeepCase {
  const char* name;
  Seed start;
  Ids allowed;
  Kind kind;
  Ids ids;
};

void PrintTo(const KeepCase& c, std::ostream* os) { *os << c.name; }

class HybridSetKeepOnly : public ::testing::TestWithParam<KeepCase> {};

TEST_P(HybridSetKeepOnly, KeepsKind) {
  const KeepCase& c = GetParam();
  HybridSet s = c.start.build();
  IdSet allowed;
  allowed.add_many(c.allowed);
  s.keep_only(allowed);
  expect_set(s, c.kind, c.ids);
  if (const CenteredArray* a = s.small()) {
    // Rebuilt from scratch: the same layout as inserting the kept ids afresh.
    EXPECT_EQ(a->start, array_of(c.ids).start);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HybridSetKeepOnly,
    ::testing::Values(KeepCase{"SmallSome", small({30, 20, 10}), {10, 30, 99}, Kind::kSmall, {10, 30}},
                      KeepCase{"SmallAll", small({1, 2, 3, 4}), {1, 2, 3, 4}, Kind::kSmall, {1, 2, 3, 4}},
                      KeepCase{"SmallThreeKept", small({1, 2, 3, 4}), {2, 3, 4}, Kind::kSmall, {2, 3, 4}},
                      KeepCase{"SmallNoneWithEmptyAllowed", small({1, 2}), {}, Kind::kSmall, {}},
                      KeepCase{"LargeSome", large({1, 2, 3, 70000}), {2, 70000}, Kind::kLarge, {2, 70000}},
                      KeepCase{"LargeNoneWithEmptyAllowed", large({1, 2, 3, 4}), {}, Kind::kLarge, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HybridSet, KeepOnlyOwnBitmap) {
  HybridSet s = large({1, 2, 3}).build();
  s.keep_only(*s.large());
  expect_set(s, Kind::kLarge, {1, 2, 3});
}

TEST(HybridSet, CopiesAreIndependent) {
  for (const Seed& seed : {small({1, 2}), large({1, 2, 70000})}) {
    HybridSet original = seed.build();
    HybridSet copy = original;
    EXPECT_EQ(copy.kind(), original.kind());
    copy.add(5);
    copy.remove(1);
    original.add(6);
    Ids expected_original = seed.ids;
    expected_original.push_back(6);
    std::sort(expected_original.begin(), expected_original.end());
    EXPECT_EQ(ids_of(original), expected_original);
    EXPECT_FALSE(copy.contains(6));
    EXPECT_TRUE(copy.contains(5));
    EXPECT_FALSE(copy.contains(1));

    HybridSet assigned;
    assigned = original;
    original.remove(2);
    EXPECT_TRUE(assigned.contains(2));
    EXPECT_EQ(assigned.kind(), original.kind());
  }
}

// A HybridSet that mirrors every operation into a std::set and checks, after
// each step, that the contents agree, the representation has not shrunk and
// the kind follows the promotion rules.
class CheckedHybridSet {
 public:
  const HybridSet& set() const { return set_; }
  const std::set<uint32_t>& ref() const { return ref_; }

  void add(uint32_t id) {
    const CenteredArray* a = set_.small();
    Kind expected = Kind::kLarge;
    if (set_.kind() == Kind::kEmpty || (a && a->length < 3)) expected = Kind::kSmall;
    set_.add(id);
    ref_.insert(id);
    EXPECT_EQ(kind_name(set_.kind()), std::string(kind_name(expected))) << "add " << id;
    verify();
  }

  void remove(uint32_t id) {
    if (set_.kind() == Kind::kEmpty) {
      EXPECT_THROW(set_.remove(id), InternalError);
    } else {
      set_.remove(id);
      ref_.erase(id);
    }
    verify();
  }

  void keep_only(const std::set<uint32_t>& allowed) {
    const Kind before = set_.kind();
    IdSet bm;
    for (uint32_t id : allowed) bm.add(id);
    set_.keep_only(bm);
    std::erase_if(ref_, [&](uint32_t id) { return allowed.count(id) == 0; });
    EXPECT_EQ(kind_name(set_.kind()), std::string(kind_name(before)));
    verify();
  }

  void verify() const {
    const Ids want(ref_.begin(), ref_.end());
    ASSERT_GE(static_cast<int>(set_.kind()), static_cast<int>(high_water_))
        << "representation shrank to " << kind_name(set_.kind());
    high_water_ = set_.kind();
    ASSERT_EQ(ids_of(set_), want);
    EXPECT_EQ(set_.to_bitmap().to_vector(), want);
    EXPECT_EQ(set_.cardinality(), want.size());
    if (set_.kind() != Kind::kEmpty) {
      EXPECT_EQ(set_.is_empty(), want.empty());
    }
    if (const CenteredArray* a = set_.small()) expect_well_formed(*a);
    for (uint32_t id : want) EXPECT_TRUE(set_.contains(id));
    for (uint32_t probe : {0u, 1u, 5u, 11u, 65536u, 0xFFFFFFFFu}) {
      EXPECT_EQ(set_.contains(probe), ref_.count(probe) == 1) << probe;
    }
  }

 private:
  HybridSet set_;
  std::set<uint32_t> ref_;
  mutable Kind high_water_ = Kind::kEmpty;
};

class HybridSetRandom : public ::testing::TestWithParam<uint32_t> {};

TEST_P(HybridSetRandom, MatchesReference) {
  std::mt19937 rng(GetParam());
  // Mostly a dozen small ids so that duplicates and removals hit; now and then
  // ids in other bitmap chunks and at the top of the range.
  auto pick_id = [&]() -> uint32_t {
    const uint32_t r = rng() % 100;
    if (r < 90) return r % 12;
    if (r < 97) return 65536 + r % 3;
    return 0xFFFFFFFFu - r % 2;
  };
  for (int round = 0; round < 150; ++round) {
    CheckedHybridSet s;
    for (int step = 0; step < 40; ++step) {
      SCOPED_TRACE("round " + std::to_string(round) + " step " + std::to_string(step));
      const uint32_t op = rng() % 17;
      if (op < 9) {
        s.add(pick_id());
      } else if (op < 14) {
        s.remove(pick_id());
      } else if (op < 16) {
        std::set<uint32_t> allowed;
        for (uint32_t i = 0, n = rng() % 10; i < n; ++i) allowed.insert(pick_id());
        s.keep_only(allowed);
      } else {
        // A copy evolves on its own and leaves the original as it was.
        HybridSet copy = s.set();
        copy.add(pick_id());
        copy.remove(pick_id());
        s.verify();
      }
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, HybridSetRandom, ::testing::Values(1u, 7u, 42u, 2024u, 99991u));

}  // namespace
}  // namespace calderwick
