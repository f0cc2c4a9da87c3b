#include "index/structures/ordered_bitmap/ordered_bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <limits>
#include <map>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "index/common/error.h"

namespace calderwick {
namespace {

std::vector<uint32_t> ids_of(const IdSet& s) { return s.to_vector(); }

// ---------------------------------------------------------------------------
// Keys

using Limits = std::numeric_limits<double>;
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kTwo53 = int64_t{1} << 53;

std::string show(const Number& v) {
  if (std::holds_alternative<int64_t>(v)) return "int " + std::to_string(std::get<int64_t>(v));
  char buf[64];
  std::snprintf(buf, sizeof buf, "float %.17g%s", std::get<double>(v),
                std::signbit(std::get<double>(v)) ? " (sign set)" : "");
  return buf;
}

// Groups of equal numbers, in ascending numeric order.
const std::vector<std::vector<Number>>& ascending_groups() {
  static const std::vector<std::vector<Number>> groups = {
      {-Limits::quiet_NaN()},
      {-Limits::infinity()},
      {-Limits::max()},
      {-0x1p64},
      {kI64Min, -0x1p63},
      {kI64Min + 1},
      {-(kTwo53 + 1)},
      {-kTwo53, -0x1p53},
      {-5.5},
      {int64_t{-5}, -5.0},
      {int64_t{-1}, -1.0},
      {-0.5},
      {-Limits::min()},
      {-std::nextafter(Limits::min(), 0.0)},  // the largest subnormal
      {-2 * Limits::denorm_min()},
      {-Limits::denorm_min()},
      {int64_t{0}, 0.0, -0.0},
      {Limits::denorm_min()},
      {2 * Limits::denorm_min()},
      {std::nextafter(Limits::min(), 0.0)},
      {Limits::min()},
      {0.5},
      {int64_t{1}, 1.0},
      {std::nextafter(1.0, 2.0)},
      {int64_t{5}, 5.0},
      {5.5},
      {kTwo53 / 2 - 1, 0x1p52 - 1},
      {0x1p52 - 0.5},
      {kTwo53 / 2, 0x1p52},
      {kTwo53, 0x1p53},
      {kTwo53 + 1},
      {kTwo53 + 2, 0x1p53 + 2},
      {kI64Max},
      {0x1p63},
      {0x1p64},
      {Limits::max()},
      {Limits::infinity()},
      {Limits::quiet_NaN()},
  };
  return groups;
}

TEST(NumKey, KeyOrderIsNumericOrderForEveryPair) {
  const auto& groups = ascending_groups();
  for (size_t ga = 0; ga < groups.size(); ++ga) {
    for (const Number& a : groups[ga]) {
      for (size_t gb = 0; gb < groups.size(); ++gb) {
        for (const Number& b : groups[gb]) {
          const auto got = NumericalBitmap::key_of(a) <=> NumericalBitmap::key_of(b);
          EXPECT_EQ(got, ga <=> gb) << show(a) << " vs " << show(b);
        }
      }
    }
  }
}

TEST(NumKey, LayoutOfZeroAndOne) {
  struct Case {
    Number value;
    NumKey key;
  };
  const std::vector<Case> cases = {
      {int64_t{0}, {0, 0x800}},
      {0.0, {0, 0x800}},
      {-0.0, {0, 0x800}},
      {int64_t{1}, {uint64_t{1} << 63, 0x800 | 1023}},
      {1.0, {uint64_t{1} << 63, 0x800 | 1023}},
      {int64_t{-1}, {~(uint64_t{1} << 63), 0x7FF - 1023}},
  };
  for (const auto& c : cases) {
    const NumKey k = NumericalBitmap::key_of(c.value);
    EXPECT_EQ(k.high, c.key.high) << show(c.value);
    EXPECT_EQ(k.low, c.key.low) << show(c.value);
    EXPECT_LT(k.high, 1u << 12) << show(c.value);
  }
}

TEST(NumKey, BitsCoverBothHalves) {
  const NumKey k{0x8000000000000001ull, 0x0A01};
  std::string bits;
  for (size_t i = NumericalBitmap::kSlices; i-- > 0;) bits += char('0' + k.bit(i));
  EXPECT_EQ(bits, "101000000001" "1" + std::string(62, '0') + "1");
}

// ---------------------------------------------------------------------------
// Sweeps

enum class Op { kGt, kGte, kLt, kLte };
constexpr Op kOps[] = {Op::kGt, Op::kGte, Op::kLt, Op::kLte};
const char* op_name(Op op) {
  switch (op) {
    case Op::kGt:
      return ">";
    case Op::kGte:
      return ">=";
    case Op::kLt:
      return "<";
    case Op::kLte:
      return "<=";
  }
  return "?";
}

NumericalBitmap::SweepFn fn_of(Op op) {
  switch (op) {
    case Op::kGt:
      return &NumericalBitmap::get_gt_into;
    case Op::kGte:
      return &NumericalBitmap::get_gte_into;
    case Op::kLt:
      return &NumericalBitmap::get_lt_into;
    case Op::kLte:
      return &NumericalBitmap::get_lte_into;
  }
  return nullptr;
}

class NumericalSweepTest : public ::testing::Test {
 protected:
  std::vector<uint32_t> sweep(const NumericalBitmap& index, Op op, const Number& key, const IdSet& candidates,
                              IdSet result = IdSet()) const {
    (index.*fn_of(op))(NumericalBitmap::key_of(key), result, candidates);
    return result.to_vector();
  }
};

TEST_F(NumericalSweepTest, IntegerAndFloatOfTheSameValueAreOneKey) {
  NumericalBitmap index;
  index.insert(int64_t{5}, 1);
  index.insert(5.0, 2);
  index.insert(int64_t{4}, 3);
  index.insert(6.5, 4);
  const IdSet all{1, 2, 3, 4};
  struct Case {
    Op op;
    Number key;
    std::vector<uint32_t> expected;
  };
  const std::vector<Case> cases = {
      {Op::kGt, 4.5, {1, 2, 4}},         {Op::kGt, int64_t{5}, {4}},       {Op::kGt, 5.0, {4}},
      {Op::kGte, int64_t{5}, {1, 2, 4}}, {Op::kGte, 5.0, {1, 2, 4}},       {Op::kGte, 5.5, {4}},
      {Op::kLt, int64_t{5}, {3}},        {Op::kLt, 5.0000001, {1, 2, 3}}, {Op::kLte, 5.0, {1, 2, 3}},
      {Op::kLte, int64_t{4}, {3}},       {Op::kLt, int64_t{4}, {}},       {Op::kGt, 6.5, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sweep(index, c.op, c.key, all), c.expected) << op_name(c.op) << " " << show(c.key);
  }
  EXPECT_EQ(ids_of(index.equal(int64_t{5})), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(ids_of(index.equal(5.0)), (std::vector<uint32_t>{1, 2}));
  EXPECT_TRUE(index.equal(4.5).is_empty());
}

TEST_F(NumericalSweepTest, IntegerBeyondFloatPrecisionStaysDistinct) {
  NumericalBitmap index;
  index.insert(kTwo53 + 1, 1);
  index.insert(0x1p53, 2);
  const IdSet all{1, 2};
  EXPECT_EQ(ids_of(index.equal(kTwo53 + 1)), std::vector<uint32_t>{1});
  EXPECT_EQ(ids_of(index.equal(0x1p53)), std::vector<uint32_t>{2});
  EXPECT_EQ(ids_of(index.equal(kTwo53)), std::vector<uint32_t>{2});
  EXPECT_EQ(sweep(index, Op::kGt, 0x1p53, all), std::vector<uint32_t>{1});
  EXPECT_EQ(sweep(index, Op::kLt, kTwo53 + 1, all), std::vector<uint32_t>{2});
  EXPECT_EQ(sweep(index, Op::kLte, 0x1p53 + 2, all), (std::vector<uint32_t>{1, 2}));
}

TEST_F(NumericalSweepTest, OnlyCandidatesAreReturnedAndResultIsOnlyAddedTo) {
  NumericalBitmap index;
  for (uint32_t id = 1; id <= 20; ++id) index.insert(static_cast<int64_t>(id) - 10, id);
  const IdSet candidates{2, 5, 11, 12, 17, 19, 500};  // 500 has no number
  for (Op op : kOps) {
    const auto got = sweep(index, op, int64_t{1}, candidates, IdSet{3, 700});
    std::vector<uint32_t> expected;
    for (uint32_t id : {3u, 2u, 5u, 11u, 12u, 17u, 19u, 700u}) {
      const int64_t v = static_cast<int64_t>(id) - 10;
      const bool in_result = id == 3 || id == 700;
      const bool passes = (op == Op::kGt && v > 1) || (op == Op::kGte && v >= 1) || (op == Op::kLt && v < 1) ||
                          (op == Op::kLte && v <= 1);
      if (in_result || (id != 700 && passes)) expected.push_back(id);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(got, expected) << op_name(op);
  }
  EXPECT_TRUE(sweep(index, Op::kGte, int64_t{-100}, IdSet()).empty());
  EXPECT_EQ(ids_of(index.equal(int64_t{1})), std::vector<uint32_t>{11});  // no candidates: every id
}

TEST_F(NumericalSweepTest, SpecialValuesSortAtTheEnds) {
  NumericalBitmap index;
  const std::vector<Number> values = {-Limits::quiet_NaN(), -Limits::infinity(), kI64Min, -0.0,
                                      int64_t{0},           Limits::denorm_min(), Limits::infinity(),
                                      Limits::quiet_NaN()};
  IdSet all;
  for (uint32_t id = 0; id < values.size(); ++id) {
    index.insert(values[id], id + 1);
    all.add(id + 1);
  }
  EXPECT_EQ(sweep(index, Op::kGt, Limits::max(), all), (std::vector<uint32_t>{7, 8}));
  EXPECT_EQ(sweep(index, Op::kLt, -Limits::max(), all), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(sweep(index, Op::kLt, kI64Min, all), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(sweep(index, Op::kGt, int64_t{0}, all), (std::vector<uint32_t>{6, 7, 8}));
  EXPECT_EQ(sweep(index, Op::kLte, 0.0, all), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(ids_of(index.equal(-0.0)), (std::vector<uint32_t>{4, 5}));
  EXPECT_EQ(sweep(index, Op::kGte, Limits::quiet_NaN(), all), std::vector<uint32_t>{8});
  EXPECT_EQ(sweep(index, Op::kLte, -Limits::quiet_NaN(), all), std::vector<uint32_t>{1});
}

// ---------------------------------------------------------------------------
// Slices and writes

// Every id with a number must sit in exactly one element of each slice, and
// the key table must name the same ids as the slices.
void expect_slices_partition(const NumericalBitmap& index, const std::map<uint32_t, Number>& numbers) {
  ASSERT_EQ(index.all().cardinality(), numbers.size());
  for (size_t i = 0; i < NumericalBitmap::kSlices; ++i) {
    const IdSet zero = index.slice_set(i, 0);
    const IdSet one = index.slice_set(i, 1);
    ASSERT_EQ(zero.cardinality() + one.cardinality(), numbers.size()) << "slice " << i;
    for (const auto& [id, v] : numbers) {
      const int bit = NumericalBitmap::key_of(v).bit(i);
      ASSERT_TRUE((bit ? one : zero).contains(id)) << "slice " << i << " id " << id;
    }
  }
  std::map<NumKey, std::vector<uint32_t>> by_key;
  for (const auto& [id, v] : numbers) by_key[NumericalBitmap::key_of(v)].push_back(id);
  ASSERT_EQ(index.distinct_keys(), by_key.size());
  size_t shared = 0;
  for (const auto& [key, ids] : by_key) {
    ASSERT_EQ(ids_of(index.equal(key)), ids);
    shared += ids.size() > 1;
  }
  ASSERT_EQ(index.shared_keys(), shared);
}

TEST(NumericalBitmap, BufferedInsertsMatchDirectInsertsAfterFlush) {
  NumericalBitmap direct, buffered;
  std::map<uint32_t, Number> numbers;
  for (uint32_t id = 1; id <= 200; ++id) {  // crosses the 64-id buffer several times
    const Number v = id % 3 ? Number(static_cast<int64_t>(id * 7919) - 700000) : Number(id * -1.25);
    numbers[id] = v;
    direct.insert(v, id);
    buffered.buffered_insert(v, id);
  }
  EXPECT_GT(buffered.pending_count(), 0u);
  buffered.flush_all();
  EXPECT_EQ(buffered.pending_count(), 0u);
  for (size_t i = 0; i < NumericalBitmap::kSlices; ++i) {
    for (int bit : {0, 1}) {
      EXPECT_TRUE(buffered.slice_set(i, bit) == direct.slice_set(i, bit)) << i << "/" << bit;
    }
  }
  expect_slices_partition(buffered, numbers);
}

TEST(NumericalBitmap, BufferedRepeatsOfAKeyShareOneSet) {
  // The second id of a key is matched against the first one's bits while
  // both may still wait in the buffers.
  NumericalBitmap index;
  std::map<uint32_t, Number> numbers;
  for (uint32_t id = 1; id <= 300; ++id) {
    const Number v = id % 2 ? Number(static_cast<int64_t>(id % 7)) : Number(static_cast<double>(id % 7));
    numbers[id] = v;
    index.buffered_insert(v, id);
  }
  index.flush_all();
  EXPECT_EQ(index.distinct_keys(), 7u);
  EXPECT_EQ(index.shared_keys(), 7u);
  expect_slices_partition(index, numbers);
}

TEST(NumericalBitmap, RemoveTakesTheIdOutOfEverySlice) {
  NumericalBitmap index;
  std::map<uint32_t, Number> numbers = {{1, int64_t{-3}}, {2, 2.5}, {3, int64_t{2}}, {4, -Limits::infinity()}};
  for (const auto& [id, v] : numbers) index.insert(v, id);
  expect_slices_partition(index, numbers);
  index.remove(2.5, 2);
  index.remove(-Limits::infinity(), 4);
  numbers.erase(2);
  numbers.erase(4);
  expect_slices_partition(index, numbers);
  EXPECT_TRUE(index.equal(2.5).is_empty());
  index.insert(int64_t{2}, 2);  // re-insert under another value
  EXPECT_EQ(ids_of(index.equal(2.0)), (std::vector<uint32_t>{2, 3}));
  index.remove(int64_t{2}, 3);  // a shared key falls back to a single id
  numbers[2] = int64_t{2};
  numbers.erase(3);
  expect_slices_partition(index, numbers);
}

TEST(NumericalBitmap, KeyTableSurvivesGrowthRemovalAndNarrowing) {
  // Enough distinct keys to grow the table many times; removals in random
  // order shift probe runs back; narrowing rebuilds it.
  struct Case {
    const char* name;
    uint32_t ids;
    uint64_t distinct;  // 0: every id its own key
  };
  const std::vector<Case> cases = {{"unique", 20000, 0}, {"few keys", 20000, 50}, {"pairs", 20000, 10000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::mt19937_64 rng(7);
    NumericalBitmap index;
    std::map<uint32_t, Number> numbers;
    for (uint32_t id = 1; id <= c.ids; ++id) {
      const int64_t v = c.distinct ? static_cast<int64_t>(rng() % c.distinct) - 20 : static_cast<int64_t>(rng());
      const Number n = id % 3 ? Number(v) : Number(static_cast<double>(v));
      numbers[id] = n;
      if (id % 2) {
        index.insert(n, id);
      } else {
        index.buffered_insert(n, id);
      }
    }
    index.flush_all();
    std::vector<uint32_t> order;
    for (const auto& [id, _] : numbers) order.push_back(id);
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t k = 0; k < order.size() / 2; ++k) {
      index.remove(numbers.at(order[k]), order[k]);
      numbers.erase(order[k]);
    }
    expect_slices_partition(index, numbers);
    IdSet keep;
    for (const auto& [id, _] : numbers) {
      if (id % 5 != 0) keep.add(id);
    }
    keep.add(c.ids + 100);  // an id without a number stays without one
    index.keep_only(keep);
    std::erase_if(numbers, [](const auto& kv) { return kv.first % 5 == 0; });
    expect_slices_partition(index, numbers);
    for (const auto& [id, v] : numbers) index.remove(v, id);
    EXPECT_EQ(index.distinct_keys(), 0u);
    EXPECT_TRUE(index.all().is_empty());
  }
}

// Many queued moves (more than one batch, chains of moves of one id, moves
// back to where an id started, ids sharing keys) answer exactly as the same
// moves written at once, with ordered keys patched along the way.
TEST(NumericalBitmap, QueuedMovesAnswerLikeMovesWrittenAtOnce) {
  constexpr uint32_t kIds = 3000;
  std::mt19937_64 rng(11);
  NumericalBitmap direct, queued;
  std::map<uint32_t, Number> numbers;
  auto value = [&] {
    return rng() % 3 ? Number(static_cast<double>(rng() % 100000) / 8) : Number(static_cast<int64_t>(rng() % 40));
  };
  for (uint32_t id = 0; id < kIds; ++id) {
    numbers[id] = value();
    direct.buffered_insert(numbers[id], id);
    queued.buffered_insert(numbers[id], id);
  }
  direct.flush_all();
  queued.flush_all();
  for (NumericalBitmap* index : {&direct, &queued}) index->set_range_plan(NumericalBitmap::RangePlan::kOrdered);
  auto compare = [&](const char* when) {
    SCOPED_TRACE(when);
    queued.flush_all();
    ASSERT_FALSE(queued.has_queued_moves());
    for (size_t i = 0; i < NumericalBitmap::kSlices; ++i) {
      ASSERT_TRUE(queued.slice_set(i, 1) == direct.slice_set(i, 1)) << "slice " << i;
    }
    EXPECT_EQ(queued.distinct_keys(), direct.distinct_keys());
    EXPECT_EQ(queued.shared_keys(), direct.shared_keys());
    expect_slices_partition(queued, numbers);
    IdSet all;
    for (uint32_t id = 0; id < kIds; ++id) all.add(id);
    for (const Number& bound : {Number(int64_t{20}), Number(6000.0), Number(12000.5)}) {
      const NumKey key = NumericalBitmap::key_of(bound);
      IdSet a, b;
      direct.get_lte_into(key, a, all);
      queued.get_lte_into(key, b, all);
      ASSERT_TRUE(a == b) << show(bound);
    }
  };
  compare("loaded");  // builds the ordered keys, which the moves then patch
  for (int round = 0; round < 6; ++round) {
    const uint32_t span = round % 2 ? 40 : kIds;  // a narrow span makes long chains
    const int moves = round < 2 ? 100 : 700;      // within a batch, or across several
    for (int k = 0; k < moves; ++k) {
      const uint32_t id = static_cast<uint32_t>(rng() % span);
      const Number from = numbers[id];
      const Number to = rng() % 5 ? value() : from;
      direct.replace_key(NumericalBitmap::key_of(from), NumericalBitmap::key_of(to), id);
      queued.queue_replace(NumericalBitmap::key_of(from), NumericalBitmap::key_of(to), id);
      numbers[id] = to;
      if (rng() % 3 == 0) {  // and back
        direct.replace_key(NumericalBitmap::key_of(to), NumericalBitmap::key_of(from), id);
        queued.queue_replace(NumericalBitmap::key_of(to), NumericalBitmap::key_of(from), id);
        numbers[id] = from;
      }
    }
    compare(round % 2 ? "narrow round" : "wide round");
    if (HasFatalFailure()) return;
  }
  // After a query's read, the next move is written at once; the one after
  // it waits again.
  queued.note_read();
  queued.queue_replace(NumericalBitmap::key_of(numbers[7]), NumericalBitmap::key_of(int64_t{-1}), 7);
  EXPECT_FALSE(queued.has_queued_moves());
  direct.replace_key(NumericalBitmap::key_of(numbers[7]), NumericalBitmap::key_of(int64_t{-1}), 7);
  numbers[7] = int64_t{-1};
  queued.queue_replace(NumericalBitmap::key_of(numbers[7]), NumericalBitmap::key_of(int64_t{-2}), 7);
  EXPECT_TRUE(queued.has_queued_moves());
  direct.replace_key(NumericalBitmap::key_of(numbers[7]), NumericalBitmap::key_of(int64_t{-2}), 7);
  numbers[7] = int64_t{-2};
  compare("written at once after a read");
  // Other writes apply the queue first: a removal of a queued id's new value.
  const uint32_t id = 5;
  const Number to = 0.125;
  queued.queue_replace(NumericalBitmap::key_of(numbers[id]), NumericalBitmap::key_of(to), id);
  ASSERT_TRUE(queued.has_queued_moves());
  queued.remove(to, id);
  EXPECT_FALSE(queued.has_queued_moves());
  direct.remove(numbers[id], id);
  numbers.erase(id);
  compare("removed");
}

TEST(NumericalBitmap, SliceAccessIsBoundsChecked) {
  NumericalBitmap index;
  EXPECT_NO_THROW(index.slice_set(75, 1));
  EXPECT_THROW(index.slice_set(76, 0), InternalError);
  EXPECT_THROW(index.slice_set(0, 2), InternalError);
}

// ---------------------------------------------------------------------------
// Randomised check against an ordered reference

// Numeric order of the reference, independent of the key encoding: values are
// compared exactly as long double (64-bit mantissa holds every int64_t and
// every double); a NaN sorts beyond the infinity of its sign.
int reference_compare(const Number& a, const Number& b) {
  auto rank = [](const Number& v) -> std::pair<int, long double> {
    if (const auto* d = std::get_if<double>(&v); d && std::isnan(*d)) return {std::signbit(*d) ? -1 : 1, 0.0L};
    return {0, std::visit([](auto x) { return static_cast<long double>(x); }, v)};
  };
  const auto [ra, va] = rank(a);
  const auto [rb, vb] = rank(b);
  if (ra != rb) return ra < rb ? -1 : 1;
  return va < vb ? -1 : (vb < va ? 1 : 0);
}

class CheckedNumerical {
 public:
  // An id that holds a number moves to the new one in turn by removal and
  // insertion, in place, or queued for the next flush (which every other
  // write, and the reader below, must apply first).
  void insert(uint32_t id, const Number& v) {
    const auto it = mirror_.find(id);
    const int how = it == mirror_.end() ? 0 : move_kind_++ % 4;
    if (how == 3) {
      index_.insert(v, id);  // an insertion for an id that holds a number moves it
    } else if (how == 1) {
      index_.replace_key(NumericalBitmap::key_of(it->second), NumericalBitmap::key_of(v), id);
    } else if (how == 2) {
      index_.queue_replace(NumericalBitmap::key_of(it->second), NumericalBitmap::key_of(v), id);
    } else {
      remove(id);
      index_.insert(v, id);
    }
    mirror_[id] = v;
  }
  // Files the number an id holds again, as adding a member again does.
  void file_again(uint32_t id) { index_.insert(mirror_.at(id), id); }
  // Readers see queued moves only once a writer has flushed them.
  void settle() { index_.flush_all(); }
  void remove(uint32_t id) {
    auto it = mirror_.find(id);
    if (it == mirror_.end()) return;
    index_.remove(it->second, id);
    mirror_.erase(it);
  }
  // The bulk writer's path: ids through the buffers, then one flush. An id
  // that holds a number is filed again with it (a member in a bulk add).
  void bulk_load(const std::vector<std::pair<uint32_t, Number>>& rows) {
    for (const auto& [id, v] : rows) {
      const auto held = mirror_.find(id);
      index_.buffered_insert(held == mirror_.end() ? v : held->second, id);
      mirror_.emplace(id, v);
    }
    index_.flush_all();
  }

  std::vector<uint32_t> reference(Op op, const Number& key, const IdSet& candidates, const IdSet& preset) const {
    std::set<uint32_t> out;
    for (uint32_t id : preset.to_vector()) out.insert(id);
    for (const auto& [id, v] : mirror_) {
      if (!candidates.contains(id)) continue;
      const int c = reference_compare(v, key);
      if ((op == Op::kGt && c > 0) || (op == Op::kGte && c >= 0) || (op == Op::kLt && c < 0) ||
          (op == Op::kLte && c <= 0)) {
        out.insert(id);
      }
    }
    return {out.begin(), out.end()};
  }

  void check(const Number& key, const IdSet& candidates, const IdSet& preset) const {
    std::vector<uint32_t> expected_equal;
    for (const auto& [id, v] : mirror_) {
      if (reference_compare(v, key) == 0) expected_equal.push_back(id);
    }
    ASSERT_EQ(ids_of(index_.equal(key)), expected_equal) << "== " << show(key);
    const NumKey k = NumericalBitmap::key_of(key);
    for (Op op : kOps) {
      const auto expected = reference(op, key, candidates, preset);
      IdSet result = preset;
      (index_.*fn_of(op))(k, result, candidates);
      ASSERT_EQ(result.to_vector(), expected) << op_name(op) << " " << show(key);
    }
  }

  void check_between(const Number& low, const Number& high, const IdSet& candidates, const IdSet& preset) const {
    std::set<uint32_t> out;
    for (uint32_t id : preset.to_vector()) out.insert(id);
    for (const auto& [id, v] : mirror_) {
      if (candidates.contains(id) && reference_compare(v, low) >= 0 && reference_compare(v, high) <= 0) out.insert(id);
    }
    IdSet result = preset;
    index_.get_between_into(NumericalBitmap::key_of(low), NumericalBitmap::key_of(high), result, candidates);
    ASSERT_EQ(result.to_vector(), std::vector<uint32_t>(out.begin(), out.end()))
        << "between " << show(low) << " and " << show(high);
  }

  void keep_only(const IdSet& keep) {
    index_.keep_only(keep);
    std::erase_if(mirror_, [&](const auto& kv) { return !keep.contains(kv.first); });
  }

  const std::map<uint32_t, Number>& mirror() const { return mirror_; }
  const NumericalBitmap& index() const { return index_; }
  void set_plan(NumericalBitmap::RangePlan plan) { index_.set_range_plan(plan); }
  void set_patch_limit(size_t limit) { index_.set_patch_limit(limit); }

 private:
  NumericalBitmap index_;
  std::map<uint32_t, Number> mirror_;
  uint32_t move_kind_ = 0;
};

Number random_number(std::mt19937_64& rng) {
  static const std::vector<Number> extremes = {
      kI64Min, kI64Max, kI64Min + 1, int64_t{0}, 0.0, -0.0, Limits::infinity(), -Limits::infinity(),
      Limits::quiet_NaN(), -Limits::quiet_NaN(), Limits::max(), -Limits::max(), Limits::min(), -Limits::min(),
      Limits::denorm_min(), -Limits::denorm_min(), kTwo53, kTwo53 + 1, -(kTwo53 + 1), 0x1p53, 0x1p63, -0x1p63};
  std::uniform_int_distribution<int> kind(0, 7);
  switch (kind(rng)) {
    case 0:
      return extremes[rng() % extremes.size()];
    case 1:  // small integers: many ids share a value
      return static_cast<int64_t>(rng() % 21) - 10;
    case 2:  // the same integers as floats, plus halves between them
      return static_cast<double>(static_cast<int64_t>(rng() % 41) - 20) / 2.0;
    case 3:  // integers around 2^53, where floats lose precision
      return (rng() & 1 ? 1 : -1) * (kTwo53 + static_cast<int64_t>(rng() % 9) - 4);
    case 4:  // subnormals of either sign
      return std::bit_cast<double>((rng() & ((uint64_t{1} << 52) - 1)) | (rng() & (uint64_t{1} << 63)));
    case 5:
      return static_cast<int64_t>(rng());
    default: {
      double d = std::bit_cast<double>(rng());
      if (std::isnan(d)) d = std::signbit(d) ? -Limits::quiet_NaN() : Limits::quiet_NaN();
      return d;
    }
  }
}

using Plan = NumericalBitmap::RangePlan;

const char* plan_name(Plan plan) {
  switch (plan) {
    case Plan::kAuto:
      return "Auto";
    case Plan::kSweep:
      return "Sweep";
    case Plan::kOrdered:
      return "Ordered";
  }
  return "?";
}

// Every range algorithm against the reference: the sweep alone, the ordered
// keys alone (built by loads, patched by direct writes, queued moves and
// later loads, folded at the default limit or every few patches, narrowed),
// and the choice by selectivity between them.
// With `pooled`, values come from a dozen drawn at the start, so that every
// key is held by several ids (ranges are then read from the key sets) until
// removals leave a key to one id and back.
class NumericalRandomised : public ::testing::TestWithParam<std::tuple<uint64_t, Plan, size_t, bool>> {};

TEST_P(NumericalRandomised, MatchesOrderedReference) {
  const auto [seed, plan, patch_limit, pooled] = GetParam();
  std::mt19937_64 rng(seed);
  CheckedNumerical checked;
  checked.set_plan(plan);
  checked.set_patch_limit(patch_limit);
  constexpr uint32_t kIdSpace = 600;
  // Every other id from the top of the id space, where container elements
  // draw theirs: the patch marks keep that half from its top.
  const auto id_of = [](uint32_t k) { return k % 2 ? k : 0xFFFFFFFFu - k; };
  std::vector<Number> pool;
  for (int i = 0; i < 12; ++i) pool.push_back(random_number(rng));
  const auto draw_number = [&](std::mt19937_64& r) { return pooled ? pool[r() % pool.size()] : random_number(r); };
  size_t from_key_sets = 0;
  const auto load = [&] {
    std::vector<std::pair<uint32_t, Number>> rows;
    for (uint32_t k = 1; k <= kIdSpace; ++k) {
      if (rng() % 3 == 0) rows.emplace_back(id_of(k), draw_number(rng));
    }
    checked.bulk_load(rows);
  };
  for (int batch = 0; batch < 40; ++batch) {
    if (batch % 5 == 0) load();
    for (int step = 0; step < 60; ++step) {
      const uint32_t id = id_of(1 + rng() % kIdSpace);
      if (rng() % 3 == 0) {
        checked.remove(id);
      } else if (rng() % 4 == 0 && checked.mirror().count(id)) {
        checked.file_again(id);
      } else {
        const Number before = checked.mirror().count(id) ? checked.mirror().at(id) : Number(int64_t{0});
        checked.insert(id, draw_number(rng));
        // Set back at once, as often happens: queued, the two moves cancel.
        if (rng() % 4 == 0 && checked.mirror().count(id)) checked.insert(id, before);
      }
    }
    // A load straight after the writes: their queued moves are applied first.
    if (batch % 5 == 3) load();
    if (batch % 7 == 6) {
      IdSet keep;
      for (uint32_t k = 1; k <= kIdSpace; ++k) {
        if (rng() % 4) keep.add(id_of(k));
      }
      checked.keep_only(keep);
    }
    checked.settle();
    expect_slices_partition(checked.index(), checked.mirror());
    for (int q = 0; q < 12; ++q) {
      // Keys drawn from stored values hit equality; fresh ones mostly fall between.
      Number key = random_number(rng);
      if (rng() % 2 && !checked.mirror().empty()) {
        auto it = checked.mirror().begin();
        std::advance(it, rng() % checked.mirror().size());
        key = it->second;
      }
      IdSet candidates;
      switch (rng() % 4) {
        case 0:
          for (uint32_t c = 1; c <= kIdSpace + 10; ++c) candidates.add(id_of(c));
          break;
        case 1:
          break;  // empty
        default:
          for (uint32_t c = 1; c <= kIdSpace + 10; ++c) {
            if (rng() % 3 == 0) candidates.add(id_of(c));
          }
      }
      IdSet preset;
      if (rng() % 2) {
        for (int p = 0; p < 5; ++p) preset.add(id_of(1 + rng() % (kIdSpace * 2)));
      }
      from_key_sets += checked.index().ranges_from_key_sets();
      checked.check(key, candidates, preset);
      if (HasFatalFailure()) return;
      // A second bound: near the first (narrow ranges share a long key
      // prefix), or anywhere; either order (a reversed range is empty).
      Number other = random_number(rng);
      if (rng() % 2 && !checked.mirror().empty()) {
        auto it = checked.mirror().begin();
        std::advance(it, rng() % checked.mirror().size());
        other = it->second;
      }
      checked.check_between(key, other, candidates, preset);
      checked.check_between(other, key, candidates, preset);
      checked.check_between(key, key, candidates, preset);
      if (HasFatalFailure()) return;
      // The forced plans really take their path.
      if (plan == Plan::kOrdered) {
        ASSERT_TRUE(checked.index().has_ordered_keys());
      }
      if (plan == Plan::kSweep) {
        ASSERT_FALSE(checked.index().has_ordered_keys());
      }
      if (plan != Plan::kAuto) {
        ASSERT_FALSE(checked.index().ranges_from_key_sets());
      }
    }
  }
  // The pooled runs spend most of their queries on the key sets.
  if (pooled && plan == Plan::kAuto) {
    EXPECT_GT(from_key_sets, size_t{40 * 12 / 4});
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, NumericalRandomised,
                         ::testing::Combine(::testing::Values(1u, 2u, 3u, 0xC0FFEEu),
                                            ::testing::Values(Plan::kAuto, Plan::kSweep, Plan::kOrdered),
                                            ::testing::Values(size_t{0}, size_t{3}, size_t{40}),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return plan_name(std::get<1>(info.param)) + std::string("_") +
                                  std::to_string(std::get<0>(info.param)) + "_fold" +
                                  std::to_string(std::get<2>(info.param)) +
                                  (std::get<3>(info.param) ? "_pooled" : "");
                         });

// ---------------------------------------------------------------------------
// The ordered keys

// Many ids per key around 2^53, where integers hold keys whose prefix is
// shared with their neighbours: bounds at, between and beside every stored
// value, with both algorithms, agree with the reference.
TEST(NumericalOrderedKeys, SharedPrefixesBeyondTwo53) {
  std::vector<Number> values;
  for (int64_t d = -6; d <= 6; ++d) {
    values.emplace_back(kTwo53 + d);
    values.emplace_back(-(kTwo53 + d));
    values.emplace_back(static_cast<double>(kTwo53 + d));
  }
  values.emplace_back(kI64Max);
  values.emplace_back(0x1p63);
  values.emplace_back(kI64Min);
  values.emplace_back(kI64Min + 1);
  for (Plan plan : {Plan::kSweep, Plan::kOrdered, Plan::kAuto}) {
    SCOPED_TRACE(plan_name(plan));
    CheckedNumerical checked;
    checked.set_plan(plan);
    std::vector<std::pair<uint32_t, Number>> rows;
    for (uint32_t id = 1; id <= 40 * values.size(); ++id) rows.emplace_back(id, values[id % values.size()]);
    checked.bulk_load(rows);
    IdSet all;
    for (uint32_t id = 1; id <= rows.size(); ++id) all.add(id);
    for (const Number& key : values) {
      checked.check(key, all, IdSet());
      for (const Number& other : values) checked.check_between(key, other, all, IdSet{7});
      if (HasFatalFailure()) return;
    }
    // Patched keys take the same comparisons.
    checked.insert(5, kTwo53 + 3);
    checked.insert(rows.size() + 1, -(kTwo53 + 5));
    checked.remove(6);
    for (const Number& key : values) {
      checked.check(key, all, IdSet());
      checked.check_between(key, kTwo53 + 3, all, IdSet());
      if (HasFatalFailure()) return;
    }
  }
}

// Floats spread over [0, 1000), a few ids a value.
std::vector<std::pair<uint32_t, Number>> price_rows(std::mt19937_64& rng, uint32_t first, uint32_t count) {
  std::vector<std::pair<uint32_t, Number>> rows;
  for (uint32_t id = first; id < first + count; ++id) {
    rows.emplace_back(id, id % 7 == 0 ? Number(static_cast<int64_t>(rng() % 1000))
                                      : Number(static_cast<double>(rng() % 1000000) / 1000.0));
  }
  return rows;
}

// Bounds at stored values and between them, narrow and wide, every kind.
void check_prices(const CheckedNumerical& checked, std::mt19937_64& rng, const IdSet& candidates, int rounds) {
  for (int q = 0; q < rounds; ++q) {
    const double low = static_cast<double>(rng() % 1000000) / 1000.0;
    checked.check(low, candidates, IdSet());
    checked.check(static_cast<int64_t>(low), candidates, IdSet());
    checked.check_between(low, low + static_cast<double>(rng() % 20000) / 1000.0, candidates, IdSet{3});
    if (!checked.mirror().empty()) {
      auto it = checked.mirror().begin();
      std::advance(it, rng() % checked.mirror().size());
      checked.check(it->second, candidates, IdSet());
      checked.check_between(it->second, it->second, candidates, IdSet());
    }
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// The ordered keys through every state they have: built by the load that
// fills an empty map (before any query), patched by direct writes, queued
// moves and a later load, folded at a small limit (buckets merged, emptied
// and split), narrowed, emptied and filled again.
TEST(NumericalOrderedKeys, BuiltByTheLoadThenPatchedFoldedMergedAndNarrowed) {
  std::mt19937_64 rng(5);
  CheckedNumerical checked;
  IdSet all;
  for (uint32_t id = 1; id <= 20000; ++id) all.add(id);
  checked.bulk_load(price_rows(rng, 1, 6000));
  const auto& index = checked.index();
  ASSERT_TRUE(index.has_ordered_keys());
  EXPECT_EQ(index.ordered_patches(), 0u);
  EXPECT_GE(index.ordered_buckets(), 6000 / NumericalBitmap::kMaxBucket);
  EXPECT_LT(index.ordered_keys_bytes(), 6000u * 6);  // the ids, and a fence and a start a bucket
  check_prices(checked, rng, all, 20);
  if (HasFatalFailure()) return;

  // Patches: moves (some queued), removals, new ids, values set back.
  for (int w = 0; w < 300; ++w) {
    const uint32_t id = 1 + rng() % 7000;
    if (w % 5 == 0) {
      checked.remove(id);
    } else {
      checked.insert(id, static_cast<double>(rng() % 1000000) / 1000.0);
    }
  }
  checked.settle();
  EXPECT_GT(index.ordered_patches(), 0u);
  check_prices(checked, rng, all, 20);
  if (HasFatalFailure()) return;

  // Ids patched again long after their first patch (further back than a
  // move searches): their entries are checked against the slices, by
  // queries and by the fold; some of them removed, some set back.
  for (uint32_t id = 1; id <= 50; ++id) checked.insert(id, static_cast<double>(id));
  for (uint32_t w = 0; w < NumericalBitmap::kRecentPatches + 50; ++w) {
    checked.insert(1000 + w, static_cast<double>(rng() % 1000000) / 1000.0);
  }
  for (uint32_t id = 1; id <= 50; ++id) {
    if (id % 5 == 0) {
      checked.remove(id);
    } else {
      checked.insert(id, id % 5 == 1 ? static_cast<double>(id) + 0.5 : static_cast<double>(id % 7));
    }
  }
  for (uint32_t id = 1; id <= 50; id += 5) checked.insert(id, static_cast<double>(id));  // back, long after
  checked.settle();
  for (int64_t v = 0; v <= 52; ++v) checked.check(v, all, IdSet());
  checked.check_between(0.0, 60.0, all, IdSet());
  check_prices(checked, rng, all, 5);
  if (HasFatalFailure()) return;

  // Folded every 50 patches; hot ids moved again and again between folds.
  checked.set_patch_limit(50);
  for (int w = 0; w < 2000; ++w) {
    const uint32_t id = w % 3 == 0 ? 1 + rng() % 8 : 1 + rng() % 7000;
    checked.insert(id, static_cast<double>(rng() % 1000000) / 1000.0);
    if (w % 97 == 0) {
      checked.settle();
      EXPECT_LE(index.ordered_patches(), 50u);
      check_prices(checked, rng, all, 2);
      if (HasFatalFailure()) return;
    }
  }
  checked.settle();
  check_prices(checked, rng, all, 10);
  if (HasFatalFailure()) return;

  // Many keys into one bucket's range: folds split it.
  const size_t buckets = index.ordered_buckets();
  for (uint32_t id = 8001; id <= 8600; ++id) checked.insert(id, 500.0 + static_cast<double>(id % 50) / 1e6);
  checked.settle();
  EXPECT_GE(index.ordered_buckets(), buckets + 600 / NumericalBitmap::kMaxBucket);
  checked.check_between(500.0, 500.00001, all, IdSet());
  checked.check(500.00002, all, IdSet());
  check_prices(checked, rng, all, 10);
  if (HasFatalFailure()) return;

  // A later load, small then large, into the map that has them.
  checked.set_patch_limit(0);
  checked.bulk_load(price_rows(rng, 9001, 40));
  EXPECT_GE(index.ordered_patches(), 40u);
  check_prices(checked, rng, all, 10);
  checked.bulk_load(price_rows(rng, 10001, 5000));
  EXPECT_EQ(index.ordered_patches(), 0u);  // folded at the flush
  check_prices(checked, rng, all, 20);
  if (HasFatalFailure()) return;

  // A narrowing filters them, patches included.
  checked.insert(2, 1.5);
  IdSet keep;
  for (uint32_t id = 1; id <= 20000; ++id) {
    if (rng() % 3) keep.add(id);
  }
  checked.keep_only(keep);
  ASSERT_TRUE(index.has_ordered_keys());
  EXPECT_EQ(index.ordered_patches(), 0u);
  check_prices(checked, rng, all, 20);
  if (HasFatalFailure()) return;

  // Emptied (every bucket folded away), then filled by direct writes.
  checked.set_patch_limit(64);
  const auto ids = checked.mirror();
  for (const auto& [id, v] : ids) checked.remove(id);
  check_prices(checked, rng, all, 5);
  checked.keep_only(IdSet());  // folds: no bucket holds anything
  EXPECT_EQ(index.ordered_buckets(), 0u);
  checked.insert(1, 2.0);
  check_prices(checked, rng, all, 5);
  for (uint32_t id = 1; id <= 700; ++id) checked.insert(id, static_cast<double>(rng() % 1000000) / 1000.0);
  EXPECT_GT(index.ordered_buckets(), 0u);
  check_prices(checked, rng, all, 20);
}

// A map written while the sweep plan was set has none; the first query under
// another plan builds them from the slices, and writes patch them from then.
TEST(NumericalOrderedKeys, BuiltFromTheSlicesWhereTheLoadDidNot) {
  std::mt19937_64 rng(8);
  CheckedNumerical checked;
  IdSet all;
  for (uint32_t id = 1; id <= 6000; ++id) all.add(id);
  checked.set_plan(Plan::kSweep);
  checked.bulk_load(price_rows(rng, 1, 3000));
  checked.insert(4000, 12.5);
  checked.insert(4001, int64_t{kTwo53 + 1});
  checked.insert(4002, int64_t{kTwo53 + 3});
  const auto& index = checked.index();
  EXPECT_FALSE(index.has_ordered_keys());
  checked.set_plan(Plan::kOrdered);
  checked.check(12.5, all, IdSet());
  ASSERT_TRUE(index.has_ordered_keys());
  checked.check(int64_t{kTwo53 + 2}, all, IdSet());
  checked.check(int64_t{kTwo53 + 3}, all, IdSet());
  check_prices(checked, rng, all, 10);
  checked.set_plan(Plan::kAuto);
  checked.set_patch_limit(20);
  for (int w = 0; w < 500; ++w) checked.insert(1 + rng() % 4500, static_cast<double>(rng() % 1000000) / 1000.0);
  checked.settle();
  ASSERT_TRUE(index.has_ordered_keys());
  check_prices(checked, rng, all, 20);
}

}  // namespace
}  // namespace calderwick
