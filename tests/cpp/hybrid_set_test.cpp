#include "index/core/structures/hybrid_set/hybrid_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "index/core/structures/centered_array/centered_array.h"

namespace calderwick {
namespace {

using Ids = std::vector<uint32_t>;
using Kind = HybridSet::Kind;

Ids sorted_unique(const Ids& ids) {
  const std::set<uint32_t> u(ids.begin(), ids.end());
  return Ids(u.begin(), u.end());
}

Ids ids_of(const CenteredArray& a) { return Ids(a.slice().begin(), a.slice().end()); }

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

// Runs `f` and checks that it throws InternalError whose message contains `needle`.
void expect_internal_error(const std::function<void()>& f, const std::string& needle) {
  try {
    f();
    ADD_FAILURE() << "expected InternalError containing \"" << needle << "\"";
  } catch (const InternalError& e) {
    EXPECT_NE(std::string(e.what()).find(needle), std::string::npos) << e.what();
  }
}

// The layout rules every CenteredArray must keep, whatever happened to it.
void expect_well_formed(const CenteredArray& a) {
  ASSERT_LE(a.length, CenteredArray::kCapacity);
  ASSERT_LE(a.start + a.length, CenteredArray::kCapacity);
  for (size_t i = a.start + 1; i < a.start + a.length; ++i) {
    EXPECT_LT(a.data[i - 1], a.data[i]) << "slots " << i - 1 << " and " << i;
  }
}

// ---------------------------------------------------------------------------
// CenteredArray

struct ArrayStep {
  enum Op { kInsert, kRemove } op;
  uint32_t id;
};
ArrayStep ins(uint32_t id) { return {ArrayStep::kInsert, id}; }
ArrayStep rem(uint32_t id) { return {ArrayStep::kRemove, id}; }

CenteredArray run_steps(const std::vector<ArrayStep>& steps) {
  CenteredArray a;
  for (const auto& s : steps) {
    if (s.op == ArrayStep::kInsert) {
      a.insert(s.id);
    } else {
      a.remove(s.id);
    }
  }
  return a;
}

struct LayoutCase {
  const char* name;
  std::vector<ArrayStep> steps;
  size_t start;
  Ids ids;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class CenteredArrayLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(CenteredArrayLayout, PlacesRunWhereExpected) {
  const LayoutCase& c = GetParam();
  const CenteredArray a = run_steps(c.steps);
  expect_well_formed(a);
  EXPECT_EQ(a.start, c.start);
  EXPECT_EQ(a.length, c.ids.size());
  EXPECT_EQ(ids_of(a), c.ids);
  for (uint32_t id : c.ids) EXPECT_TRUE(a.contains(id)) << id;
  EXPECT_FALSE(a.contains(7));  // no case uses 7
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CenteredArrayLayout,
    ::testing::Values(
        LayoutCase{"Default", {}, 0, {}},
        // Insertion: the run is re-centred first when it touches either end.
        LayoutCase{"FirstIdGoesToSlotTwo", {ins(10)}, 2, {10}},
        LayoutCase{"SecondLargerIdGoesRight", {ins(10), ins(20)}, 2, {10, 20}},
        LayoutCase{"SecondSmallerIdShiftsRight", {ins(20), ins(10)}, 2, {10, 20}},
        LayoutCase{"ThirdAscendingRecentresToOne", {ins(10), ins(20), ins(30)}, 1, {10, 20, 30}},
        LayoutCase{"ThirdInMiddleShiftsRight", {ins(10), ins(30), ins(20)}, 1, {10, 20, 30}},
        LayoutCase{"ThirdSmallestShiftsLeft", {ins(30), ins(20), ins(10)}, 0, {10, 20, 30}},
        LayoutCase{"FourthLargestRecentresToZero", {ins(10), ins(20), ins(30), ins(40)}, 0, {10, 20, 30, 40}},
        LayoutCase{"FourthSmallestRecentresToZero", {ins(10), ins(20), ins(30), ins(5)}, 0, {5, 10, 20, 30}},
        LayoutCase{"ExtremeIds", {ins(0xFFFFFFFFu), ins(0)}, 2, {0, 0xFFFFFFFFu}},
        // A duplicate changes nothing but the re-centring done before the search.
        LayoutCase{"DuplicateWithoutRecentring", {ins(10), ins(10)}, 2, {10}},
        LayoutCase{"DuplicateAfterRecentring", {ins(10), ins(20), ins(20)}, 1, {10, 20}},
        // Removal: the slot index against half the length picks the side to close.
        LayoutCase{"RemoveFromEmpty", {rem(10)}, 0, {}},
        LayoutCase{"RemoveAbsent", {ins(10), ins(20), ins(30), rem(25)}, 1, {10, 20, 30}},
        LayoutCase{"RemoveOnlyId", {ins(10), rem(10)}, 2, {}},
        LayoutCase{"RemoveFirstAtSlotOneClosesFromRight", {ins(10), ins(20), ins(30), rem(10)}, 1, {20, 30}},
        LayoutCase{"RemoveLast", {ins(10), ins(20), ins(30), rem(30)}, 1, {10, 20}},
        LayoutCase{"RemoveFirstAtSlotZeroClosesFromLeft", {ins(30), ins(20), ins(10), rem(10)}, 1, {20, 30}},
        LayoutCase{"RemoveSecondAtSlotOneOfThree", {ins(30), ins(20), ins(10), rem(20)}, 0, {10, 30}},
        LayoutCase{"RemoveSlotOneOfFourClosesFromLeft",
                   {ins(10), ins(20), ins(30), ins(40), rem(20)},
                   1,
                   {10, 30, 40}},
        LayoutCase{"RemoveSlotTwoOfFourClosesFromRight",
                   {ins(10), ins(20), ins(30), ins(40), rem(30)},
                   0,
                   {10, 20, 40}},
        // No re-centring on removal, so the next insertion may shift left.
        LayoutCase{"InsertAfterRemoveShiftsLeft", {ins(10), ins(20), ins(30), rem(10), ins(10)}, 0, {10, 20, 30}},
        LayoutCase{"RefillAfterEmptying", {ins(10), rem(10), ins(20), ins(30)}, 2, {20, 30}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CenteredArray, FullArrayRefusesEveryInsertion) {
  for (uint32_t id : {5u, 10u, 25u, 40u, 50u}) {  // new ids below, between, above and an existing one
    CenteredArray a = run_steps({ins(10), ins(20), ins(30), ins(40)});
    const CenteredArray before = a;
    expect_internal_error([&] { a.insert(id); }, "CenteredArray full");
    EXPECT_EQ(a.start, before.start);
    EXPECT_EQ(a.length, before.length);
    EXPECT_EQ(ids_of(a), ids_of(before));
  }
}

TEST(CenteredArray, RunOutsideBufferIsRefused) {
  struct Broken {
    size_t start, length;
  };
  for (const Broken b : {Broken{3, 2}, Broken{5, 0}, Broken{0, 5}}) {
    CenteredArray a;
    a.start = b.start;
    a.length = b.length;
    expect_internal_error([&] { a.insert(1); }, "out of range");
    expect_internal_error([&] { a.remove(1); }, "out of range");
    expect_internal_error([&] { (void)a.slice(); }, "out of range");
    expect_internal_error([&] { a.union_with(CenteredArray{}); }, "out of range");
  }
}

struct UnionCase {
  const char* name;
  Ids left, right;
  size_t start;
  Ids ids;
};

void PrintTo(const UnionCase& c, std::ostream* os) { *os << c.name; }

class CenteredArrayUnion : public ::testing::TestWithParam<UnionCase> {};

CenteredArray array_of(const Ids& ids) {
  CenteredArray a;
  for (uint32_t id : ids) a.insert(id);
  return a;
}

TEST_P(CenteredArrayUnion, MergesAndRecentres) {
  const UnionCase& c = GetParam();
  CenteredArray a = array_of(c.left);
  const CenteredArray b = array_of(c.right);
  a.union_with(b);
  expect_well_formed(a);
  EXPECT_EQ(a.start, c.start);
  EXPECT_EQ(ids_of(a), c.ids);
  EXPECT_EQ(ids_of(b), sorted_unique(c.right));  // other untouched
}

INSTANTIATE_TEST_SUITE_P(Cases, CenteredArrayUnion,
                         ::testing::Values(UnionCase{"BothEmpty", {}, {}, 2, {}},
                                           UnionCase{"EmptyWithOne", {}, {4}, 1, {4}},
                                           UnionCase{"OneWithEmpty", {4}, {}, 1, {4}},
                                           UnionCase{"SameSingle", {5}, {5}, 1, {5}},
                                           UnionCase{"TwoSingles", {2}, {1}, 1, {1, 2}},
                                           UnionCase{"SamePair", {1, 2}, {2, 1}, 1, {1, 2}},
                                           UnionCase{"SharedTail", {1, 3}, {2, 3}, 0, {1, 2, 3}},
                                           UnionCase{"DisjointPairs", {3, 4}, {1, 2}, 0, {1, 2, 3, 4}},
                                           UnionCase{"Interleaved", {1, 3}, {2, 4}, 0, {1, 2, 3, 4}},
                                           UnionCase{"ThreeAndOne", {1, 2, 3}, {9}, 0, {1, 2, 3, 9}},
                                           UnionCase{"ThreeAndOneInside", {1, 5, 9}, {5}, 0, {1, 5, 9}},
                                           UnionCase{"FourAndEmpty", {1, 2, 3, 4}, {}, 0, {1, 2, 3, 4}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CenteredArray, UnionOverflowIsAnInternalErrorAndChangesNothing) {
  struct Overflow {
    Ids left, right;
  };
  for (const auto& c : {Overflow{{1, 3, 5}, {2, 4, 6}},  // both runs still hold ids after four
                        Overflow{{1, 2, 3}, {4, 5, 6}},  // overflow while appending the rest
                        Overflow{{1, 2, 3, 4}, {0}}}) {
    CenteredArray a = array_of(c.left);
    const CenteredArray before = a;
    expect_internal_error([&] { a.union_with(array_of(c.right)); }, "index out of range");
    EXPECT_EQ(a.start, before.start);
    EXPECT_EQ(ids_of(a), c.left);
  }
}

TEST(CenteredArray, UnionWithItself) {
  for (const Ids& ids : {Ids{}, Ids{8}, Ids{3, 8}}) {
    CenteredArray a = array_of(ids);
    a.union_with(a);
    expect_well_formed(a);
    EXPECT_EQ(ids_of(a), ids);
    EXPECT_EQ(a.start, CenteredArray::centre_for(ids.size()));
  }
}

// Random insertions, removals and unions mirrored into std::set.
TEST(CenteredArray, RandomOperationsMatchReference) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<uint32_t> pick_id(0, 9);
  std::uniform_int_distribution<int> pick_op(0, 9);
  for (int round = 0; round < 200; ++round) {
    CenteredArray a;
    std::set<uint32_t> ref;
    for (int step = 0; step < 60; ++step) {
      const int op = pick_op(rng);
      const uint32_t id = pick_id(rng);
      if (op < 5) {
        if (ref.size() == CenteredArray::kCapacity) {
          EXPECT_THROW(a.insert(id), InternalError);
        } else {
          a.insert(id);
          ref.insert(id);
        }
      } else if (op < 9) {
        a.remove(id);
        ref.erase(id);
      } else {
        CenteredArray b;
        std::set<uint32_t> bref;
        while (ref.size() + bref.size() < CenteredArray::kCapacity && pick_op(rng) < 6) {
          const uint32_t v = pick_id(rng);
          b.insert(v);
          bref.insert(v);
        }
        a.union_with(b);
        ref.insert(bref.begin(), bref.end());
        if (ref.size() <= 2) {
          EXPECT_EQ(a.start, CenteredArray::centre_for(ref.size()));
        }
      }
      expect_well_formed(a);
      ASSERT_EQ(ids_of(a), Ids(ref.begin(), ref.end())) << "round " << round << " step " << step;
      for (uint32_t v = 0; v < 10; ++v) EXPECT_EQ(a.contains(v), ref.count(v) == 1);
    }
  }
}

// ---------------------------------------------------------------------------
// HybridSet

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

struct SetUnionCase {
  const char* name;
  Seed self, other;
  Kind kind;
  Ids ids;
};

void PrintTo(const SetUnionCase& c, std::ostream* os) { *os << c.name; }

class HybridSetUnion : public ::testing::TestWithParam<SetUnionCase> {};

TEST_P(HybridSetUnion, DecidesKindBySumOfLengths) {
  const SetUnionCase& c = GetParam();
  HybridSet s = c.self.build();
  const HybridSet other = c.other.build();
  s.union_with(other);
  expect_set(s, c.kind, c.ids);
  {
    SCOPED_TRACE("other is left as it was");
    expect_set(other, c.other.kind, sorted_unique(c.other.ids));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HybridSetUnion,
    ::testing::Values(
        SetUnionCase{"EmptyEmpty", empty(), empty(), Kind::kEmpty, {}},
        SetUnionCase{"EmptySmall", empty(), small({2, 1}), Kind::kSmall, {1, 2}},
        SetUnionCase{"EmptyEmptiedSmall", empty(), small({}), Kind::kSmall, {}},
        SetUnionCase{"EmptyLarge", empty(), large({1, 2}), Kind::kLarge, {1, 2}},
        SetUnionCase{"SmallEmpty", small({4}), empty(), Kind::kSmall, {4}},
        SetUnionCase{"SmallSmallFits", small({1, 2}), small({3, 4}), Kind::kSmall, {1, 2, 3, 4}},
        SetUnionCase{"SmallSmallShared", small({1, 3}), small({2, 3}), Kind::kSmall, {1, 2, 3}},
        SetUnionCase{"SmallSmallOverSumIsLarge", small({1, 2, 3}), small({2, 3}), Kind::kLarge, {1, 2, 3}},
        SetUnionCase{"SmallSmallFullPlusOne", small({1, 2, 3, 4}), small({9}), Kind::kLarge, {1, 2, 3, 4, 9}},
        SetUnionCase{"SmallEmptiedSmall", small({1, 2, 3, 4}), small({}), Kind::kSmall, {1, 2, 3, 4}},
        SetUnionCase{"SmallLarge", small({1, 9}), large({5}), Kind::kLarge, {1, 5, 9}},
        SetUnionCase{"SmallLargeEmpty", small({1}), large({}), Kind::kLarge, {1}},
        SetUnionCase{"LargeEmpty", large({1, 2}), empty(), Kind::kLarge, {1, 2}},
        SetUnionCase{"LargeSmall", large({1, 2}), small({2, 70000}), Kind::kLarge, {1, 2, 70000}},
        SetUnionCase{"LargeLarge", large({1, 2}), large({3, 0xFFFFFFFFu}), Kind::kLarge, {1, 2, 3, 0xFFFFFFFFu}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HybridSet, UnionWithItselfCountsLengthTwice) {
  struct Case {
    Seed seed;
    Kind kind;
  };
  for (const auto& c : {Case{empty(), Kind::kEmpty}, Case{small({4, 6}), Kind::kSmall},
                        Case{small({4, 6, 8}), Kind::kLarge}, Case{large({4, 6}), Kind::kLarge}}) {
    HybridSet s = c.seed.build();
    s.union_with(s);
    expect_set(s, c.kind, c.seed.ids);
  }
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

  void union_with(const CheckedHybridSet& other) {
    Kind expected = std::max(set_.kind(), other.set_.kind());
    const CenteredArray* a = set_.small();
    const CenteredArray* b = other.set_.small();
    if (a && b && a->length + b->length > CenteredArray::kCapacity) expected = Kind::kLarge;
    set_.union_with(other.set_);
    ref_.insert(other.ref_.begin(), other.ref_.end());
    EXPECT_EQ(kind_name(set_.kind()), std::string(kind_name(expected)));
    verify();
    other.verify();
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
  auto random_other = [&]() {
    CheckedHybridSet o;
    const int n = static_cast<int>(rng() % 7);
    for (int i = 0; i < n; ++i) {
      o.add(pick_id());
      if (rng() % 4 == 0) o.remove(pick_id());
    }
    return o;
  };
  for (int round = 0; round < 150; ++round) {
    CheckedHybridSet s;
    for (int step = 0; step < 40; ++step) {
      SCOPED_TRACE("round " + std::to_string(round) + " step " + std::to_string(step));
      const uint32_t op = rng() % 20;
      if (op < 9) {
        s.add(pick_id());
      } else if (op < 14) {
        s.remove(pick_id());
      } else if (op < 17) {
        s.union_with(random_other());
      } else if (op < 19) {
        std::set<uint32_t> allowed;
        for (uint32_t i = 0, n = rng() % 10; i < n; ++i) allowed.insert(pick_id());
        s.keep_only(allowed);
      } else {
        // A copy evolves on its own and leaves the original as it was.
        HybridSet copy = s.set();
        copy.add(pick_id());
        copy.union_with(random_other().set());
        s.verify();
      }
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, HybridSetRandom, ::testing::Values(1u, 7u, 42u, 2024u, 99991u));

}  // namespace
}  // namespace calderwick
