#include "index/structures/id_table/id_table.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <vector>

namespace calderwick {
namespace {

// A move-only value, as the items of an index are: a value lost or copied
// by a change of layout shows as a wrong or missing number.
using Value = std::unique_ptr<uint64_t>;
Value value(uint64_t v) { return std::make_unique<uint64_t>(v); }

template <typename Table>
void expect_matches(const Table& table, const std::map<uint32_t, uint64_t>& model, const std::vector<uint32_t>& probes) {
  ASSERT_EQ(table.size(), model.size());
  EXPECT_EQ(table.empty(), model.empty());
  for (uint32_t id : probes) {
    const auto it = model.find(id);
    const Value* found = table.find(id);
    if (it == model.end()) {
      EXPECT_EQ(found, nullptr) << "id " << id;
    } else {
      ASSERT_NE(found, nullptr) << "id " << id;
      EXPECT_EQ(**found, it->second) << "id " << id;
    }
  }
  std::map<uint32_t, uint64_t> seen;
  table.for_each([&](uint32_t id, const Value& v) { EXPECT_TRUE(seen.emplace(id, *v).second) << "id " << id; });
  EXPECT_EQ(seen, model);
}

// How the ids of a run are drawn: at random from a range, or mostly one
// after the other from its start; and the layout the table should have
// once the first growing phase is over.
enum class Layout { kDense, kSparse, kEither };
struct Draw {
  const char* name;
  uint32_t base;
  uint32_t range;
  bool sequential;
  Layout grown;
};

class IdTableModel : public ::testing::TestWithParam<Draw> {};

template <typename Table>
void run_model(const Draw& draw, uint32_t (*to_id)(uint32_t)) {
  int turned_dense = 0;  // runs that began hashed and became an array
  for (int seed = 0; seed < 6; ++seed) {
    std::mt19937 rng(seed);
    Table table;
    std::map<uint32_t, uint64_t> model;
    std::vector<uint32_t> probes;
    bool was_dense = false, was_sparse = false;
    bool grown_dense = false;
    uint32_t next = 0;
    const auto draw_id = [&] {
      uint32_t offset = rng() % draw.range;
      if (draw.sequential) offset = rng() % 4 != 0 ? next++ % draw.range : offset % (next + 16) % draw.range;
      return to_id(draw.base + offset);
    };
    for (int step = 0; step < 6000; ++step) {
      const uint32_t id = draw_id();
      probes.push_back(id);
      // Takes win for a while in each run, so that tables also empty out
      // and turn sparse again.
      const bool shrinking = (step / 1500) % 2 == 1;
      const unsigned op = rng() % 10;
      // What put and take hand back is what the model held for the id.
      const auto expect_held = [&](const Value& old) {
        const auto it = model.find(id);
        if (it == model.end()) {
          EXPECT_EQ(old, nullptr);
        } else {
          ASSERT_NE(old, nullptr);
          EXPECT_EQ(*old, it->second);
        }
      };
      if (op < (shrinking ? 2u : 6u)) {
        const uint64_t v = rng();
        expect_held(table.put(id, value(v)));
        model[id] = v;
      } else if (op < 9) {
        expect_held(table.take(id));
        model.erase(id);
      } else {
        table.reserve(rng() % 64, draw_id());
      }
      if (!table.empty()) {
        if (table.is_dense() && was_sparse && !was_dense) ++turned_dense;
        (table.is_dense() ? was_dense : was_sparse) = true;
      }
      if (step == 1499) grown_dense = table.is_dense();
      if (step % 500 == 0) expect_matches(table, model, probes);
    }
    expect_matches(table, model, probes);
    if (draw.range <= Table::kSmallSpan) {
      EXPECT_TRUE(was_dense && !was_sparse) << "short ranges stay dense";
    }
    if (draw.grown == Layout::kDense) {
      EXPECT_TRUE(grown_dense) << "ids that fill their range are an array";
    } else if (draw.grown == Layout::kSparse) {
      EXPECT_FALSE(was_dense) << "ids scattered thinly are hashed";
    }
  }
  if (!draw.sequential && draw.grown == Layout::kDense && draw.range > Table::kSmallSpan) {
    EXPECT_GE(turned_dense, 3) << "ids drawn at random start hashed and fill an array";
  }
}

TEST_P(IdTableModel, MatchesAMapFromTheBottom) {
  run_model<IdTable<Value>>(GetParam(), [](uint32_t x) { return x; });
}

TEST_P(IdTableModel, MatchesAMapFromTheTop) {
  run_model<IdTable<Value, true>>(GetParam(), [](uint32_t x) { return 0xFFFFFFFFu - x; });
}

INSTANTIATE_TEST_SUITE_P(Draws, IdTableModel,
                         ::testing::Values(Draw{"short", 1, 48, false, Layout::kDense},
                                           Draw{"stretch", 1, 3000, true, Layout::kDense},
                                           Draw{"stretch_far_up", 5000000, 2500, true, Layout::kSparse},
                                           Draw{"scattered", 1, 200000000, false, Layout::kSparse},
                                           Draw{"filling", 1, 500, false, Layout::kDense},
                                           Draw{"middling", 1, 4000, false, Layout::kEither}),
                         [](const auto& info) { return std::string(info.param.name); });

// The two layouts cost what they should: ids spread thinly over a wide
// range are hashed at a few words each, and a stretch of ids is one array.
TEST(IdTable, LayoutFollowsDensity) {
  IdTable<uint32_t> scattered;
  for (uint32_t i = 1; i <= 3000; ++i) scattered.put(i * 300, i);
  EXPECT_FALSE(scattered.is_dense());
  EXPECT_LT(scattered.bytes(), 3000u * 40);

  IdTable<uint32_t> stretch;
  stretch.reserve(100000, 100000);
  for (uint32_t i = 1; i <= 100000; ++i) stretch.put(i, i);
  EXPECT_TRUE(stretch.is_dense());
  EXPECT_LE(stretch.bytes(), 100001u * 4 * 2);

  // Emptied to under an eighth, the array goes back to a hash table that
  // still holds what is left.
  for (uint32_t i = 1; i <= 100000; ++i) {
    if (i % 10 != 0) stretch.take(i);
  }
  EXPECT_FALSE(stretch.is_dense());
  ASSERT_EQ(stretch.size(), 10000u);
  EXPECT_EQ(*stretch.find(99990), 99990u);
  EXPECT_EQ(stretch.find(99991), nullptr);

  // One far id does not turn a full array into a mostly vacant one.
  IdTable<uint32_t> full;
  for (uint32_t i = 1; i <= 1000; ++i) full.put(i, i);
  ASSERT_TRUE(full.is_dense());
  full.put(50000000, 7);
  EXPECT_FALSE(full.is_dense());
  EXPECT_EQ(*full.find(50000000), 7u);
  EXPECT_EQ(*full.find(1000), 1000u);
}

}  // namespace
}  // namespace calderwick
