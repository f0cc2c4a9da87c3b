#include "index/structures/centered_array/centered_array.h"

#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "id_set_test_support.h"

namespace calderwick {
namespace {

using namespace calderwick::testing;

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
  }
}

// Random insertions and removals mirrored into std::set.
TEST(CenteredArray, RandomOperationsMatchReference) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<uint32_t> pick_id(0, 9);
  std::uniform_int_distribution<int> pick_op(0, 8);
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
      } else {
        a.remove(id);
        ref.erase(id);
      }
      expect_well_formed(a);
      ASSERT_EQ(ids_of(a), Ids(ref.begin(), ref.end())) << "round " << round << " step " << step;
      for (uint32_t v = 0; v < 10; ++v) EXPECT_EQ(a.contains(v), ref.count(v) == 1);
    }
  }
}

}  // namespace
}  // namespace calderwick
