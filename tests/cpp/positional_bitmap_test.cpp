#include "index/structures/positional_bitmap/positional_bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "index/common/error.h"

namespace calderwick {
namespace {

using namespace std::string_literals;

enum class Op { kEqual, kStartsWith, kEndsWith, kContains, kAnyString };

const char* op_name(Op op) {
  switch (op) {
    case Op::kEqual: return "equal";
    case Op::kStartsWith: return "starts_with";
    case Op::kEndsWith: return "ends_with";
    case Op::kContains: return "contains";
    case Op::kAnyString: return "any_string";
  }
  return "?";
}

IdSet run(const PositionalBitmap& map, Op op, std::string_view needle, const IdSet* within = nullptr) {
  switch (op) {
    case Op::kEqual: return map.equal(needle, within);
    case Op::kStartsWith: return map.starts_with(needle, within);
    case Op::kEndsWith: return map.ends_with(needle, within);
    case Op::kContains: return map.contains(needle, within);
    case Op::kAnyString: return map.any_string();
  }
  return {};
}

bool matches(Op op, const std::string& text, const std::string& needle) {
  switch (op) {
    case Op::kEqual: return text == needle;
    case Op::kStartsWith: return text.starts_with(needle);
    case Op::kEndsWith: return text.ends_with(needle);
    case Op::kContains: return text.find(needle) != std::string::npos;
    case Op::kAnyString: return true;
  }
  return false;
}

std::vector<uint32_t> brute_force(const std::map<uint32_t, std::string>& stored, Op op, const std::string& needle) {
  std::vector<uint32_t> out;
  for (const auto& [id, text] : stored) {
    if (matches(op, text, needle)) out.push_back(id);
  }
  return out;
}

// Every `step`-th id of `ids`.
IdSet strided(const std::vector<uint32_t>& ids, size_t step) {
  IdSet out;
  for (size_t i = 0; i < ids.size(); i += step) out.add(ids[i]);
  return out;
}

// Width the growth rule gives after the longest string ever stored.
size_t expected_width(size_t longest_ever) { return longest_ever == 0 ? 0 : (longest_ever + 3) / 2 * 2; }

// One cell of the map: byte value 0..255, or the START / END cell.
using CellRef = std::pair<size_t, size_t>;  // (position, cell index)

IdSet set_of(const PositionalBitmap& map, size_t pos, size_t key) {
  if (key == PositionalBitmap::kStartCell) return map.start_set(pos);
  if (key == PositionalBitmap::kEndCell) return map.end_set(pos);
  return map.byte_set(pos, static_cast<uint8_t>(key));
}

// Every cell holding `id`. Narrow maps are searched cell by cell over all
// 258 keys, which also checks that `keys_at` lists every key that holds an
// id; wide ones only through `keys_at`.
std::set<CellRef> cells_holding(const PositionalBitmap& map, uint32_t id) {
  std::set<CellRef> out;
  for (size_t pos = 0; pos < map.width(); ++pos) {
    const auto keys = map.keys_at(pos);
    if (map.width() <= 128) {
      for (size_t key = 0; key < PositionalBitmap::kCellsPerPosition; ++key) {
        const bool listed = std::binary_search(keys.begin(), keys.end(), key);
        const IdSet set = set_of(map, pos, key);
        EXPECT_EQ(listed, !set.is_empty()) << "keys_at(" << pos << ") and key " << key << " disagree";
        if (set.contains(id)) out.insert({pos, key});
      }
    } else {
      for (size_t key : keys) {
        if (set_of(map, pos, key).contains(id)) out.insert({pos, key});
      }
    }
  }
  return out;
}

// The cells a string placed at `start` should occupy.
std::set<CellRef> placed(const std::string& text, size_t start) {
  std::set<CellRef> out{{start, PositionalBitmap::kStartCell}, {start + text.size() - 1, PositionalBitmap::kEndCell}};
  for (size_t k = 0; k < text.size(); ++k) out.insert({start + k, static_cast<uint8_t>(text[k])});
  return out;
}

std::string show(const std::set<CellRef>& cells) {
  std::string out;
  for (const auto& [pos, c] : cells) {
    out += "(" + std::to_string(pos) + ",";
    if (c == PositionalBitmap::kStartCell) {
      out += "START";
    } else if (c == PositionalBitmap::kEndCell) {
      out += "END";
    } else {
      out += std::to_string(c);
    }
    out += ") ";
  }
  return out;
}

// ---------------------------------------------------------------------------
// Placement and growth, step by step: after each insert every stored string
// must sit exactly at its listed start and nowhere else.

struct LayoutStep {
  std::string text;
  uint32_t id;
  size_t width;
  std::map<uint32_t, size_t> starts;  // id -> start position after this step
};

TEST(PositionalBitmapLayout, StringsStayCentredAcrossGrowth) {
  const std::vector<LayoutStep> steps = {
      {"abcd", 1, 6, {{1, 0}}},
      {"ab", 2, 6, {{1, 0}, {2, 1}}},
      {"abcdef", 3, 8, {{1, 1}, {2, 2}, {3, 0}}},
      {"x", 4, 8, {{1, 1}, {2, 2}, {3, 0}, {4, 3}}},
      {"abc", 5, 8, {{1, 1}, {2, 2}, {3, 0}, {4, 3}, {5, 2}}},
      {"abcdefg", 6, 10, {{1, 2}, {2, 3}, {3, 1}, {4, 4}, {5, 3}, {6, 1}}},
      {"abcdefghijkl", 7, 14, {{1, 4}, {2, 5}, {3, 3}, {4, 6}, {5, 5}, {6, 3}, {7, 0}}},
  };
  PositionalBitmap map;
  EXPECT_EQ(map.width(), 0u);
  std::map<uint32_t, std::string> texts;
  for (const auto& step : steps) {
    map.insert(step.text, step.id);
    texts[step.id] = step.text;
    ASSERT_EQ(map.width(), step.width) << "after inserting " << step.text;
    for (const auto& [id, start] : step.starts) {
      const auto got = cells_holding(map, id);
      const auto want = placed(texts[id], start);
      EXPECT_EQ(got, want) << "after inserting " << step.text << ", string " << texts[id] << "\n got  " << show(got)
                           << "\n want " << show(want);
    }
  }
}

TEST(PositionalBitmapLayout, EmptyStringTouchesNoPosition) {
  PositionalBitmap map;
  map.insert("", 9);
  EXPECT_EQ(map.width(), 0u);
  EXPECT_EQ(map.empty_set().to_vector(), std::vector<uint32_t>{9});
  map.insert("ab", 1);
  EXPECT_TRUE(cells_holding(map, 9).empty());
  map.remove("", 9);
  EXPECT_TRUE(map.empty_set().is_empty());
  EXPECT_EQ(map.any_string().to_vector(), std::vector<uint32_t>{1});
}

// ---------------------------------------------------------------------------
// Worked query cases with hand-derived answers.

struct QueryCase {
  std::string name;
  std::vector<std::pair<uint32_t, std::string>> stored;
  Op op;
  std::string needle;
  std::vector<uint32_t> expected;
};

class PositionalBitmapQuery : public ::testing::TestWithParam<QueryCase> {};

TEST_P(PositionalBitmapQuery, SelectsExactlyTheExpectedIds) {
  const QueryCase& c = GetParam();
  for (bool buffered : {false, true}) {
    PositionalBitmap map;
    for (const auto& [id, text] : c.stored) {
      if (buffered) {
        map.buffered_insert(text, id);
      } else {
        map.insert(text, id);
      }
    }
    if (buffered) map.flush_all();
    EXPECT_EQ(run(map, c.op, c.needle).to_vector(), c.expected)
        << op_name(c.op) << "(\"" << c.needle << "\")" << (buffered ? " via the buffers" : "");
  }
}

const std::vector<std::pair<uint32_t, std::string>> kBAndAb = {{1, "b"}, {2, "ab"}};
const std::vector<std::pair<uint32_t, std::string>> kHelloLob = {{1, "hello"}, {2, "lob"}};
const std::vector<std::pair<uint32_t, std::string>> kWithEmpty = {{3, ""}, {4, "a"}, {5, "ba"}};
const std::vector<std::pair<uint32_t, std::string>> kMixedParity = {{1, "abc"}, {2, "abcd"}, {3, "bc"}};
const std::vector<std::pair<uint32_t, std::string>> kBinary = {{1, "\0\xff"s}, {2, "\xff"s}, {3, "\0"s}};

INSTANTIATE_TEST_SUITE_P(
    Cases, PositionalBitmapQuery,
    ::testing::Values(
        QueryCase{"OneBytePrefixIgnoresSecondByte", kBAndAb, Op::kStartsWith, "b", {1}},
        QueryCase{"OneByteSuffixMatchesBoth", kBAndAb, Op::kEndsWith, "b", {1, 2}},
        QueryCase{"OneByteEqualityIsNotSuffix", kBAndAb, Op::kEqual, "b", {1}},
        QueryCase{"TwoByteEquality", kBAndAb, Op::kEqual, "ab", {2}},
        QueryCase{"PrefixOfTwoByte", kBAndAb, Op::kStartsWith, "a", {2}},
        QueryCase{"ContainsFindsBoth", kHelloLob, Op::kContains, "lo", {1, 2}},
        QueryCase{"SuffixOnlyAtTheEnd", kHelloLob, Op::kEndsWith, "lo", {1}},
        QueryCase{"PrefixOnlyAtTheStart", kHelloLob, Op::kStartsWith, "lo", {2}},
        QueryCase{"WholeStringIsItsOwnPrefix", kHelloLob, Op::kStartsWith, "hello", {1}},
        QueryCase{"WholeStringIsItsOwnSuffix", kHelloLob, Op::kEndsWith, "lob", {2}},
        QueryCase{"WholeStringContainsItself", kHelloLob, Op::kContains, "hello", {1}},
        QueryCase{"PrefixIsNotEquality", kHelloLob, Op::kEqual, "hell", {}},
        QueryCase{"LongerIsNotEquality", kHelloLob, Op::kEqual, "hellos", {}},
        QueryCase{"NeedleWiderThanMapEqual", kHelloLob, Op::kEqual, "hellohello", {}},
        QueryCase{"NeedleWiderThanMapContains", kHelloLob, Op::kContains, "hellohello", {}},
        QueryCase{"NeedleWiderThanMapPrefix", kHelloLob, Op::kStartsWith, "hellohello", {}},
        QueryCase{"NeedleWiderThanMapSuffix", kHelloLob, Op::kEndsWith, "hellohello", {}},
        QueryCase{"CaseIsExact", kHelloLob, Op::kStartsWith, "H", {}},
        QueryCase{"ContainsAtLastBytes", kHelloLob, Op::kContains, "ob", {2}},
        QueryCase{"EmptyEqualsOnlyEmpty", kWithEmpty, Op::kEqual, "", {3}},
        QueryCase{"EmptyPrefixIsEverything", kWithEmpty, Op::kStartsWith, "", {3, 4, 5}},
        QueryCase{"EmptySuffixIsEverything", kWithEmpty, Op::kEndsWith, "", {3, 4, 5}},
        QueryCase{"EmptyInfixIsEverything", kWithEmpty, Op::kContains, "", {3, 4, 5}},
        QueryCase{"AnyStringIncludesEmpty", kWithEmpty, Op::kAnyString, "", {3, 4, 5}},
        QueryCase{"EqualityOnEmptyMap", {}, Op::kEqual, "a", {}},
        QueryCase{"EmptyNeedleOnEmptyMap", {}, Op::kContains, "", {}},
        QueryCase{"OddAndEvenSuffix", kMixedParity, Op::kEndsWith, "bc", {1, 3}},
        QueryCase{"OddAndEvenInfix", kMixedParity, Op::kContains, "bc", {1, 2, 3}},
        QueryCase{"OddAndEvenPrefix", kMixedParity, Op::kStartsWith, "abc", {1, 2}},
        QueryCase{"OddAndEvenEquality", kMixedParity, Op::kEqual, "abc", {1}},
        QueryCase{"ZeroByteEquality", kBinary, Op::kEqual, "\0"s, {3}},
        QueryCase{"HighBytePrefix", kBinary, Op::kStartsWith, "\xff"s, {2}},
        QueryCase{"HighByteInfix", kBinary, Op::kContains, "\xff"s, {1, 2}},
        QueryCase{"ZeroBytePrefix", kBinary, Op::kStartsWith, "\0"s, {1, 3}}),
    [](const ::testing::TestParamInfo<QueryCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Every length 1..40, stored in different orders so the map grows in between,
// then queried and removed one by one.

enum class Order { kAscending, kDescending, kShuffled };

struct LengthsCase {
  Order order;
  bool buffered;
  uint32_t seed;
};

std::string lengths_case_name(const ::testing::TestParamInfo<LengthsCase>& info) {
  const char* order = info.param.order == Order::kAscending    ? "Ascending"
                      : info.param.order == Order::kDescending ? "Descending"
                                                               : "Shuffled";
  return std::string(order) + (info.param.buffered ? "Buffered" : "Direct") + std::to_string(info.param.seed);
}

class PositionalBitmapLengths : public ::testing::TestWithParam<LengthsCase> {};

void expect_queries_match(const PositionalBitmap& map, const std::map<uint32_t, std::string>& stored,
                          const std::vector<std::string>& needles, const std::string& context) {
  for (const auto& needle : needles) {
    for (Op op : {Op::kEqual, Op::kStartsWith, Op::kEndsWith, Op::kContains}) {
      EXPECT_EQ(run(map, op, needle).to_vector(), brute_force(stored, op, needle))
          << context << ": " << op_name(op) << "(\"" << needle << "\")";
    }
  }
}

TEST_P(PositionalBitmapLengths, EveryLengthIsFoundAndRemovedCleanly) {
  const LengthsCase& c = GetParam();
  constexpr size_t kMax = 40;
  // Odd lengths are prefixes of one base text and even lengths suffixes, so
  // prefix and suffix queries each select many lengths at once.
  std::mt19937 rng(c.seed);
  std::string base(kMax, 'a');
  for (auto& ch : base) ch = "abc"[rng() % 3];
  std::map<uint32_t, std::string> text_of;
  for (size_t n = 1; n <= kMax; ++n) {
    text_of[uint32_t(n)] = n % 2 ? base.substr(0, n) : base.substr(kMax - n, n);
  }

  std::vector<uint32_t> order(kMax);
  std::iota(order.begin(), order.end(), 1u);
  if (c.order == Order::kDescending) std::reverse(order.begin(), order.end());
  if (c.order == Order::kShuffled) std::shuffle(order.begin(), order.end(), rng);

  auto needles_for = [&](const std::map<uint32_t, std::string>& stored) {
    std::vector<std::string> needles;
    for (const auto& [id, text] : stored) {
      needles.push_back(text);
      needles.push_back(text.substr(0, std::min<size_t>(3, text.size())));
      needles.push_back(text.substr(text.size() / 2, 2));
    }
    return needles;
  };

  PositionalBitmap map;
  std::map<uint32_t, std::string> stored;
  size_t longest = 0;
  for (size_t i = 0; i < order.size(); ++i) {
    const uint32_t id = order[i];
    if (c.buffered) {
      map.buffered_insert(text_of[id], id);
    } else {
      map.insert(text_of[id], id);
    }
    stored[id] = text_of[id];
    longest = std::max(longest, text_of[id].size());
    ASSERT_EQ(map.width(), expected_width(longest));
    if (c.buffered && i % 7 != 6 && i + 1 != order.size()) continue;
    if (c.buffered) map.flush_all();
    for (const auto& [sid, text] : stored) {
      EXPECT_EQ(map.equal(text).to_vector(), std::vector<uint32_t>{sid}) << "length " << text.size();
    }
  }
  expect_queries_match(map, stored, needles_for(stored), "all stored");

  for (const uint32_t id : order) {
    map.remove(text_of[id], id);
    stored.erase(id);
    EXPECT_TRUE(cells_holding(map, id).empty()) << "length " << id << " left behind in " << show(cells_holding(map, id));
    EXPECT_TRUE(map.equal(text_of[id]).is_empty()) << "length " << id;
    EXPECT_FALSE(map.any_string().contains(id));
    expect_queries_match(map, stored, needles_for(stored), "after removing length " + std::to_string(id));
  }
  EXPECT_TRUE(map.any_string().is_empty());
  EXPECT_EQ(map.width(), expected_width(kMax));  // removal never shrinks the row
}

INSTANTIATE_TEST_SUITE_P(Orders, PositionalBitmapLengths,
                         ::testing::Values(LengthsCase{Order::kAscending, false, 1},
                                           LengthsCase{Order::kDescending, false, 2},
                                           LengthsCase{Order::kShuffled, false, 3},
                                           LengthsCase{Order::kShuffled, false, 4},
                                           LengthsCase{Order::kAscending, true, 5},
                                           LengthsCase{Order::kDescending, true, 6},
                                           LengthsCase{Order::kShuffled, true, 7}),
                         lengths_case_name);

// ---------------------------------------------------------------------------
// Randomised run against a brute-force reference. Every operation goes to
// both the map and a std::map id -> string; after each step every query
// operator is compared with std::string operations over the reference.

class CheckedPositionalBitmap {
 public:
  void insert(const std::string& text, uint32_t id, bool buffered) {
    if (buffered) {
      map_.buffered_insert(text, id);
      pending_ = true;
    } else {
      map_.insert(text, id);
    }
    ref_[id] = text;
    longest_ = std::max(longest_, text.size());
    check_width();
  }

  // Files the string an id holds again, as adding a member again does.
  void file_again(uint32_t id, bool buffered) {
    if (buffered) {
      map_.buffered_insert(ref_.at(id), id);
      pending_ = true;
    } else {
      map_.insert(ref_.at(id), id);
    }
  }

  void remove(uint32_t id) {
    const std::string text = ref_.at(id);
    map_.remove(text, id);
    ref_.erase(id);
    removed_.push_back(id);
  }

  // The id's string becomes `text` (an assignment), at once or (every other
  // time) queued until the next write or flush.
  void replace(const std::string& text, uint32_t id) {
    if ((queue_ = !queue_)) {
      map_.queue_replace(ref_.at(id), text, id);
      pending_ = true;
    } else {
      map_.replace(ref_.at(id), text, id);
    }
    ref_[id] = text;
    longest_ = std::max(longest_, text.size());
    if (!pending_) check_width();
  }

  // The row fits every string held, and grew only for strings given to it
  // (a queued string replaced again before any flush never reaches it).
  void check_width() {
    size_t held = 0;
    for (const auto& [id, text] : ref_) held = std::max(held, text.size());
    ASSERT_GE(map_.width(), expected_width(held));
    ASSERT_LE(map_.width(), expected_width(longest_));
  }

  // Applies queued ids, then checks every id removed since the last check
  // is gone from every cell and the queries agree with the reference.
  void check(const std::vector<std::string>& needles) {
    if (pending_) map_.flush_all();
    pending_ = false;
    check_width();
    for (uint32_t id : removed_) {
      if (ref_.count(id)) continue;  // re-inserted since
      ASSERT_TRUE(cells_holding(map_, id).empty()) << "id " << id << " left in " << show(cells_holding(map_, id));
      ASSERT_FALSE(map_.empty_set().contains(id));
    }
    removed_.clear();
    EXPECT_EQ(map_.any_string().to_vector(), brute_force(ref_, Op::kAnyString, ""));
    for (const auto& needle : needles) {
      for (Op op : {Op::kEqual, Op::kStartsWith, Op::kEndsWith, Op::kContains}) {
        ASSERT_EQ(run(map_, op, needle).to_vector(), brute_force(ref_, op, needle))
            << op_name(op) << "(\"" << needle << "\") with " << ref_.size() << " strings, width " << map_.width();
        // Restricted to a subset: every other id (which may hold no string,
        // or hold one of every kind of run and bitmap cell), one id, none.
        std::vector<uint32_t> all_ids;
        for (const auto& [id, _] : ref_) all_ids.push_back(id);
        const uint32_t one = all_ids.empty() ? 1 : all_ids[all_ids.size() / 2];
        for (const IdSet& within : {strided(all_ids, 2), IdSet{one, 1u << 30}, IdSet()}) {
          std::vector<uint32_t> expected;
          for (uint32_t id : brute_force(ref_, op, needle)) {
            if (within.contains(id)) expected.push_back(id);
          }
          ASSERT_EQ(run(map_, op, needle, &within).to_vector(), expected)
              << op_name(op) << "(\"" << needle << "\") within " << within.cardinality() << " ids";
        }
      }
    }
  }

  const std::map<uint32_t, std::string>& reference() const { return ref_; }
  size_t width() const { return map_.width(); }
  PositionalBitmap& map() { return map_; }

 private:
  PositionalBitmap map_;
  std::map<uint32_t, std::string> ref_;
  std::vector<uint32_t> removed_;
  size_t longest_ = 0;
  bool pending_ = false;
  bool queue_ = false;
};

struct RandomCase {
  std::string alphabet;
  uint32_t seed;
};

class PositionalBitmapRandom : public ::testing::TestWithParam<RandomCase> {};

TEST_P(PositionalBitmapRandom, AgreesWithBruteForce) {
  const RandomCase& c = GetParam();
  std::mt19937 rng(c.seed);
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  auto random_text = [&](size_t len) {
    std::string s(len, ' ');
    for (auto& ch : s) ch = c.alphabet[pick(c.alphabet.size())];
    return s;
  };

  CheckedPositionalBitmap checked;
  constexpr uint32_t kIds = 48;
  constexpr int kSteps = 300;
  for (int step = 0; step < kSteps; ++step) {
    // The longest allowed length rises over the run, so the map keeps
    // growing while strings are stored.
    const size_t max_len = std::min<size_t>(40, 1 + step / 6);
    const size_t ops = 1 + pick(3);
    for (size_t i = 0; i < ops; ++i) {
      const uint32_t id = uint32_t(pick(kIds));
      if (checked.reference().count(id) && pick(6) == 0) {
        checked.file_again(id, pick(2) == 0);
      } else if (checked.reference().count(id) && pick(2) == 0) {
        checked.remove(id);
      } else if (checked.reference().count(id)) {
        // Half of them keep the length (cells shared with the old string
        // stay), some become or leave the empty string.
        const size_t old_len = checked.reference().at(id).size();
        const size_t len = pick(2) == 0 ? old_len : pick(8) == 0 ? 0 : pick(max_len + 1);
        checked.replace(random_text(len), id);
      } else {
        const size_t len = pick(8) == 0 ? 0 : pick(max_len + 1);
        checked.insert(random_text(len), id, pick(2) == 0);
      }
      if (::testing::Test::HasFatalFailure()) return;
    }

    std::vector<std::string> needles = {"", std::string(checked.width() + 1, c.alphabet[0]),
                                        std::string(checked.width() > 0 ? checked.width() - 1 : 0, c.alphabet[0])};
    for (char ch : c.alphabet) needles.push_back(std::string(1, ch));
    for (int i = 0; i < 3; ++i) needles.push_back(random_text(1 + pick(4)));
    const auto& ref = checked.reference();
    if (!ref.empty()) {
      for (int i = 0; i < 4; ++i) {
        auto it = ref.begin();
        std::advance(it, pick(ref.size()));
        const std::string& text = it->second;
        needles.push_back(text);
        if (!text.empty()) {
          const size_t from = pick(text.size());
          needles.push_back(text.substr(from, 1 + pick(text.size() - from)));
          needles.push_back(text.substr(0, 1 + pick(text.size())));
          needles.push_back(text.substr(pick(text.size())));
        }
      }
    }
    checked.check(needles);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Alphabets, PositionalBitmapRandom,
                         ::testing::Values(RandomCase{"ab", 11}, RandomCase{"ab", 12}, RandomCase{"abc", 13},
                                           RandomCase{"abc", 14}, RandomCase{"a\0\xff"s, 15}),
                         [](const ::testing::TestParamInfo<RandomCase>& info) {
                           return "Alphabet" + std::to_string(info.param.alphabet.size()) + "Seed" +
                                  std::to_string(info.param.seed);
                         });

// ---------------------------------------------------------------------------
// Long strings, multi-byte text and sparse positions. A position must hold
// exactly the keys that some stored string puts there: after every step the
// keys of every position are compared with the ones the reference implies.

// Keys each position should hold for the strings in `ref` under width `w`.
std::vector<std::set<size_t>> expected_keys(const std::map<uint32_t, std::string>& ref, size_t w) {
  std::vector<std::set<size_t>> keys(w);
  for (const auto& [id, text] : ref) {
    if (text.empty()) continue;
    const size_t s = w / 2 - text.size() / 2 - 1;
    keys[s].insert(PositionalBitmap::kStartCell);
    keys[s + text.size() - 1].insert(PositionalBitmap::kEndCell);
    for (size_t k = 0; k < text.size(); ++k) keys[s + k].insert(static_cast<uint8_t>(text[k]));
  }
  return keys;
}

void expect_sparse(const PositionalBitmap& map, const std::map<uint32_t, std::string>& ref) {
  const auto want = expected_keys(ref, map.width());
  for (size_t pos = 0; pos < map.width(); ++pos) {
    const auto got = map.keys_at(pos);
    ASSERT_EQ(std::set<size_t>(got.begin(), got.end()), want[pos]) << "keys at position " << pos;
  }
}

struct LongCase {
  std::string name;
  std::vector<std::string> alphabet;  // symbols, possibly multi-byte
  size_t max_symbols;                 // longest string, in symbols
  uint32_t ids;                       // distinct ids in play
  uint32_t seed;
};

class PositionalBitmapLong : public ::testing::TestWithParam<LongCase> {};

TEST_P(PositionalBitmapLong, AgreesWithBruteForceAndStaysSparse) {
  const LongCase& c = GetParam();
  std::mt19937 rng(c.seed);
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  // A few base texts, copied with small edits, so that many ids share bytes
  // at the same positions (bitmap cells) next to rare bytes (runs).
  std::vector<std::string> bases;
  for (int b = 0; b < 3; ++b) {
    std::string t;
    const size_t len = c.max_symbols / 2 + pick(c.max_symbols / 2 + 1);
    for (size_t i = 0; i < len; ++i) t += c.alphabet[pick(c.alphabet.size())];
    bases.push_back(t);
  }
  auto make_text = [&]() {
    std::string t = bases[pick(bases.size())];
    switch (pick(4)) {
      case 0: t = t.substr(0, pick(t.size() + 1)); break;  // a prefix
      case 1: t = t.substr(pick(t.size() + 1)); break;     // a suffix
      case 2: break;                                       // the whole base
      default: {                                           // a random text
        t.clear();
        const size_t len = pick(c.max_symbols + 1);
        for (size_t i = 0; i < len; ++i) t += c.alphabet[pick(c.alphabet.size())];
      }
    }
    for (size_t edits = pick(4); edits > 0 && !t.empty(); --edits) t[pick(t.size())] = char(pick(256));
    return t;
  };

  CheckedPositionalBitmap checked;
  PositionalBitmap& map = checked.map();
  for (int step = 0; step < 120; ++step) {
    for (size_t i = 0, ops = 1 + pick(4); i < ops; ++i) {
      const uint32_t id = uint32_t(pick(c.ids));
      if (checked.reference().count(id)) {
        checked.remove(id);
      } else {
        checked.insert(make_text(), id, pick(2) == 0);
      }
      if (::testing::Test::HasFatalFailure()) return;
    }
    std::vector<std::string> needles;
    for (const auto& alpha : c.alphabet) needles.push_back(alpha);
    for (int i = 0; i < 4 && !checked.reference().empty(); ++i) {
      auto it = checked.reference().begin();
      std::advance(it, pick(checked.reference().size()));
      const std::string& text = it->second;
      needles.push_back(text);
      if (text.empty()) continue;
      const size_t from = pick(text.size());
      needles.push_back(text.substr(from, 1 + pick(std::min<size_t>(12, text.size() - from))));
      needles.push_back(text.substr(0, 1 + pick(text.size())));
      needles.push_back(text.substr(pick(text.size())));
      needles.push_back(text.substr(0, text.size() - 1) + "\x01");  // differs in its last byte only
    }
    checked.check(needles);
    if (::testing::Test::HasFatalFailure()) return;
    expect_sparse(map, checked.reference());
    if (::testing::Test::HasFatalFailure()) return;
  }
  // Emptying the map leaves no key anywhere.
  while (!checked.reference().empty()) checked.remove(checked.reference().begin()->first);
  checked.check({});
  expect_sparse(map, checked.reference());
  EXPECT_EQ(map.bitmap_cells(), 0u);
}

const std::vector<std::string> kAscii = {"a", "b", "c", " ", "e"};
// Two-, three- and four-byte UTF-8 sequences that share lead bytes.
const std::vector<std::string> kUtf8 = {"\xc3\xa9", "\xc3\xa8", "\xe2\x82\xac", "\xe2\x80\x94",
                                        "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x81", "a"};

INSTANTIATE_TEST_SUITE_P(Texts, PositionalBitmapLong,
                         ::testing::Values(LongCase{"AsciiLong", kAscii, 1500, 40, 21},
                                           LongCase{"Utf8Long", kUtf8, 600, 40, 22},
                                           LongCase{"AsciiManyIds", kAscii, 300, 120, 23},
                                           LongCase{"Utf8FewIds", kUtf8, 2000, 6, 24}),
                         [](const ::testing::TestParamInfo<LongCase>& info) { return info.param.name; });

TEST(PositionalBitmapLong, OneMegabyteString) {
  std::mt19937 rng(5);
  std::string big(1 << 20, ' ');
  for (auto& ch : big) ch = "abcdefgh"[rng() % 8];
  const std::string needle = big.substr(700000, 40);
  PositionalBitmap map;
  map.insert("abc", 1);
  map.insert(big, 2);
  map.insert(big.substr(0, big.size() - 1) + "z", 3);
  EXPECT_EQ(map.width(), expected_width(big.size()));
  EXPECT_EQ(map.equal(big).to_vector(), std::vector<uint32_t>{2});
  EXPECT_EQ(map.starts_with(big.substr(0, 1000)).to_vector(), (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(map.ends_with(big.substr(big.size() - 1000)).to_vector(), std::vector<uint32_t>{2});
  EXPECT_EQ(map.contains(needle).to_vector(), (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(map.equal("abc").to_vector(), std::vector<uint32_t>{1});
  // Two ids per byte at most: every key stays a run, no bitmap cell exists.
  EXPECT_EQ(map.bitmap_cells(), 0u);
  map.remove(big, 2);
  EXPECT_TRUE(map.equal(big).is_empty());
  EXPECT_EQ(map.contains(needle).to_vector(), std::vector<uint32_t>{3});
  map.remove(big.substr(0, big.size() - 1) + "z", 3);
  EXPECT_TRUE(map.contains("a").to_vector() == std::vector<uint32_t>{1});
  const size_t centre = map.width() / 2;
  for (size_t pos = 0; pos < map.width(); ++pos) {
    const size_t expected = (pos >= centre - 2 && pos <= centre) ? 1 : 0;
    ASSERT_EQ(map.keys_at(pos).size() > 0, expected == 1) << "position " << pos;
  }
}

// ---------------------------------------------------------------------------
// Queries through the lead pairs, in every state they can be in. Strings are
// drawn from multi-byte tokens (so a byte pair can straddle two characters)
// and ids from a dense range or one spread over several 2^16-id chunks;
// inserts, removals, queued moves, bulk loads (some with removals of ids
// they queued) and narrowing are interleaved with queries of every operator,
// each compared with the reference, unrestricted and within a few subsets.
// Under the default plan the map is given a small load threshold, so that
// loads cross it upwards (the lead pairs are built at the flush), later loads
// extend them, narrowing crosses it downwards (they are dropped) or keeps
// them (filtered), and the sweeps then pay for a rebuild on demand. The model
// tracks which of these states the map must be in after each step.

struct LeadCase {
  std::string name;
  PositionalBitmap::PrefixPlan plan;
  uint32_t id_step;  // ids are 1 + k * id_step; 0 for 1 + k/2 * 2^16 + k%2 * 7
  uint32_t seed;
  uint64_t load_build_at;  // 0: the default
};

// Distinct leading byte pairs among the stored strings.
size_t lead_pairs_of(const std::map<uint32_t, std::string>& ref) {
  std::set<std::string> pairs;
  for (const auto& [_, text] : ref) {
    if (text.size() >= 2) pairs.insert(text.substr(0, 2));
  }
  return pairs.size();
}

class PositionalBitmapLeadPairs : public ::testing::TestWithParam<LeadCase> {};

TEST_P(PositionalBitmapLeadPairs, QueriesAgreeWithBruteForceInEveryState) {
  using Plan = PositionalBitmap::PrefixPlan;
  const LeadCase& c = GetParam();
  const std::vector<std::string> tokens = {"a", "b", "ab", "\xc3\xa9", "\xe2\x82\xac", "\0"s, "\xff"};
  std::mt19937 rng(c.seed);
  auto pick = [&](size_t n) { return size_t(rng() % n); };
  auto random_text = [&](size_t pieces) {
    std::string s;
    for (size_t i = 0; i < pieces; ++i) s += tokens[pick(tokens.size())];
    return s;
  };
  constexpr uint32_t kIds = 160;
  auto id_of_slot = [&](uint32_t k) { return c.id_step ? 1 + k * c.id_step : 1 + (k / 2) * 65536 + (k % 2) * 7; };

  PositionalBitmap map;
  map.set_prefix_plan(c.plan);
  if (c.load_build_at) map.set_load_build_at(c.load_build_at);
  const uint64_t threshold = c.load_build_at ? c.load_build_at : PositionalBitmap::kLoadBuildAt;
  std::map<uint32_t, std::string> ref;
  bool expect = false;  // whether the map must hold the lead pairs now
  // How often each state was reached.
  size_t built_at_load = 0, extended = 0, narrowed = 0, dropped = 0, built_by_query = 0, steps_with = 0;
  constexpr int kSteps = 300;
  for (int step = 0; step < kSteps; ++step) {
    // The run opens with a load: under the forced plan, the first prefix
    // query would build them otherwise.
    const size_t kind = step == 0 ? 1 : pick(10);
    if (kind == 0) {
      // Narrowing: sometimes deep, so that the map falls below the threshold.
      const size_t cut = pick(2) == 0 ? 2 : 5;
      IdSet keep;
      for (const auto& [id, _] : ref) {
        if (pick(cut) != 0) keep.add(id);
      }
      keep.add(id_of_slot(kIds + 1));  // an id holding no string
      map.keep_only(keep);
      std::erase_if(ref, [&](const auto& entry) { return !keep.contains(entry.first); });
      if (expect && c.plan == Plan::kAuto && ref.size() < threshold) {
        expect = false;
        ++dropped;
      } else if (expect) {
        ++narrowed;
      }
    } else {
      const bool bulk = kind <= 2;
      bool loaded = false;
      for (size_t i = 0, n = bulk ? 10 + pick(60) : 1 + pick(4); i < n; ++i) {
        const uint32_t id = id_of_slot(uint32_t(pick(kIds)));
        if (ref.count(id) && pick(5) == 0) {
          // Filed again with the string it holds (a member added again).
          if (bulk) {
            map.buffered_insert(ref[id], id);
            loaded = true;
          } else {
            map.insert(ref[id], id);
          }
        } else if (ref.count(id) && (!bulk || pick(3) == 0) && pick(2) == 0) {
          // Removed; in a load, perhaps while its own ids are queued.
          map.remove(ref[id], id);
          ref.erase(id);
        } else if (ref.count(id) && !bulk) {
          // An assignment, queued; sometimes set back before the flush.
          const std::string before = ref[id];
          const std::string text = random_text(pick(7) == 0 ? 0 : 1 + pick(5));
          map.queue_replace(before, text, id);
          ref[id] = text;
          if (pick(4) == 0) {
            map.queue_replace(text, before, id);
            ref[id] = before;
          }
        } else if (!ref.count(id)) {
          const std::string text = random_text(pick(7) == 0 ? 0 : 1 + pick(5));
          if (bulk) {
            map.buffered_insert(text, id);
            loaded = true;
          } else {
            map.insert(text, id);
          }
          ref[id] = text;
        }
      }
      map.flush_all();
      if (loaded && expect) {
        ++extended;
      } else if (loaded && (c.plan == Plan::kLeadPairs || (c.plan == Plan::kAuto && ref.size() >= threshold))) {
        expect = true;
        ++built_at_load;
      }
    }
    ASSERT_EQ(map.has_lead_pairs(), expect) << "step " << step << ", " << ref.size() << " strings";
    if (expect) {
      ASSERT_EQ(map.lead_pair_count(), lead_pairs_of(ref)) << "step " << step;
    }

    std::vector<std::string> needles = {"", random_text(1), random_text(2), random_text(3)};
    for (int i = 0; i < 6 && !ref.empty(); ++i) {
      auto it = ref.begin();
      std::advance(it, pick(ref.size()));
      const std::string& text = it->second;
      for (size_t len = 1; len <= 4 && len <= text.size(); ++len) needles.push_back(text.substr(0, len));
      if (text.size() >= 2) needles.push_back(text.substr(text.size() - 2));
    }
    std::vector<uint32_t> all_ids;
    for (const auto& [id, _] : ref) all_ids.push_back(id);
    IdSet everything;
    everything.add_many(all_ids);
    everything.add(id_of_slot(kIds + 2));  // and an id holding no string
    ASSERT_EQ(map.any_string().to_vector(), all_ids) << "step " << step;
    const std::vector<IdSet> withins = {strided(all_ids, 3), everything, IdSet()};
    // Whole stored strings too: equality reads the lead pairs once built.
    for (int i = 0; i < 4 && !ref.empty(); ++i) {
      auto it = ref.begin();
      std::advance(it, pick(ref.size()));
      needles.push_back(it->second);
    }
    for (const std::string& needle : needles) {
      for (Op op : {Op::kStartsWith, Op::kEqual, Op::kEndsWith, Op::kContains}) {
        const std::vector<uint32_t> expected = brute_force(ref, op, needle);
        ASSERT_EQ(run(map, op, needle).to_vector(), expected)
            << op_name(op) << "(\"" << needle << "\") at step " << step << ", width " << map.width();
        for (const IdSet& within : withins) {
          std::vector<uint32_t> cut;
          for (uint32_t id : expected) {
            if (within.contains(id)) cut.push_back(id);
          }
          ASSERT_EQ(run(map, op, needle, &within).to_vector(), cut)
              << op_name(op) << "(\"" << needle << "\") within " << within.cardinality() << " ids at step " << step;
        }
        // The forced plan builds them at the first prefix that can use them;
        // the default one once the sweeps have paid.
        if (op == Op::kStartsWith && needle.size() >= 2 && needle.size() + 2 <= map.width()) {
          if (c.plan == Plan::kLeadPairs) {
            ASSERT_TRUE(map.has_lead_pairs());
          }
        }
        if (!expect && map.has_lead_pairs()) {
          ASSERT_NE(c.plan, Plan::kSweep);
          expect = true;
          ++built_by_query;
        }
        ASSERT_EQ(map.has_lead_pairs(), expect) << op_name(op) << "(\"" << needle << "\") at step " << step;
      }
    }
    steps_with += expect;
  }
  if (c.plan == Plan::kSweep) {
    EXPECT_EQ(steps_with, 0u);
    return;
  }
  // Every state was reached, and many steps ran with the lead pairs.
  const std::string seen = "built at load " + std::to_string(built_at_load) + ", extended " + std::to_string(extended) +
                           ", narrowed " + std::to_string(narrowed) + ", dropped " + std::to_string(dropped) +
                           ", built by a query " + std::to_string(built_by_query) + ", steps with them " +
                           std::to_string(steps_with);
  EXPECT_GT(built_at_load, 0u) << seen;
  EXPECT_GT(extended, 0u) << seen;
  EXPECT_GT(narrowed, 0u) << seen;
  EXPECT_GT(steps_with, size_t(kSteps / 3)) << seen;
  if (c.plan == Plan::kAuto) {
    EXPECT_GT(dropped, 0u) << seen;
    EXPECT_GT(built_by_query, 0u) << seen;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Plans, PositionalBitmapLeadPairs,
    ::testing::Values(LeadCase{"LeadPairsDenseIds", PositionalBitmap::PrefixPlan::kLeadPairs, 1, 31, 0},
                      LeadCase{"LeadPairsDenseIds2", PositionalBitmap::PrefixPlan::kLeadPairs, 1, 32, 0},
                      LeadCase{"LeadPairsSpreadIds", PositionalBitmap::PrefixPlan::kLeadPairs, 1000003, 33, 0},
                      LeadCase{"LeadPairsIdsOverTwoChunks", PositionalBitmap::PrefixPlan::kLeadPairs, 509, 35, 0},
                      // Two ids per chunk, at the same two offsets in every chunk.
                      LeadCase{"LeadPairsTwoIdsPerChunk", PositionalBitmap::PrefixPlan::kLeadPairs, 0, 36, 0},
                      LeadCase{"AutoDenseIds", PositionalBitmap::PrefixPlan::kAuto, 1, 37, 90},
                      LeadCase{"AutoDenseIds2", PositionalBitmap::PrefixPlan::kAuto, 1, 38, 90},
                      LeadCase{"AutoSpreadIds", PositionalBitmap::PrefixPlan::kAuto, 1000003, 39, 90},
                      LeadCase{"AutoTwoIdsPerChunk", PositionalBitmap::PrefixPlan::kAuto, 0, 40, 90},
                      LeadCase{"SweepDenseIds", PositionalBitmap::PrefixPlan::kSweep, 1, 34, 1}),
    [](const ::testing::TestParamInfo<LeadCase>& info) { return info.param.name; });

// At the default threshold: a load that brings the map to kLoadBuildAt
// strings leaves it with the lead pairs, a load below it does not, and the
// sweep plan never gets them from a load.
TEST(PositionalBitmapLeadPairs, LoadsReachingTheThresholdBuildThem) {
  // A first load of kLoadBuildAt - 1 strings then one of a single string
  // (the second builds them), or one load of kLoadBuildAt into the empty map.
  for (auto [plan, split] : {std::pair{PositionalBitmap::PrefixPlan::kAuto, 1u},
                             std::pair{PositionalBitmap::PrefixPlan::kAuto, 0u},
                             std::pair{PositionalBitmap::PrefixPlan::kSweep, 1u}}) {
    PositionalBitmap map;
    map.set_prefix_plan(plan);
    std::map<uint32_t, std::string> ref;
    std::mt19937 rng(43);
    auto load = [&](uint32_t from, uint32_t to) {
      for (uint32_t id = from; id < to; ++id) {
        std::string text(6, ' ');
        for (auto& ch : text) ch = char('a' + rng() % 26);
        map.buffered_insert(text, id);
        ref[id] = text;
      }
      map.flush_all();
    };
    constexpr uint32_t kAt = uint32_t(PositionalBitmap::kLoadBuildAt);
    if (split) {
      load(0, kAt - 1);
      EXPECT_FALSE(map.has_lead_pairs());
      load(kAt - 1, kAt);
    } else {
      load(0, kAt);
    }
    EXPECT_EQ(map.has_lead_pairs(), plan == PositionalBitmap::PrefixPlan::kAuto);
    load(kAt, kAt + 1000);
    EXPECT_EQ(map.has_lead_pairs(), plan == PositionalBitmap::PrefixPlan::kAuto);
    if (map.has_lead_pairs()) {
      EXPECT_EQ(map.lead_pair_count(), lead_pairs_of(ref));
    }
    for (const std::string needle : {"ab", "zq", "abc", "q"}) {
      ASSERT_EQ(map.starts_with(needle).to_vector(), brute_force(ref, Op::kStartsWith, needle)) << needle;
    }
  }
}

// Under the default plan a map written directly gets the lead pairs once the
// sweeps have visited kFirstBuildWork cell ids, and after a drop only once
// they have visited kBuildWork per string; answers are the same throughout.
TEST(PositionalBitmapLeadPairs, AutoPlanBuildsOnceTheSweepsHavePaid) {
  PositionalBitmap map;
  std::map<uint32_t, std::string> ref;
  std::mt19937 rng(41);
  constexpr uint32_t kStrings = 4000;
  for (uint32_t id = 1; id <= kStrings; ++id) {
    std::string text(6, ' ');
    for (auto& ch : text) ch = char('a' + rng() % 4);
    map.insert(text, id);
    ref[id] = text;
  }
  const std::vector<std::string> needles = {"ab", "ba", "cd", "abc", "dd", "a"};
  // Queries until the lead pairs exist, each checked.
  auto query_until_built = [&] {
    size_t queries = 0;
    while (!map.has_lead_pairs() && queries < 100000) {
      const std::string& needle = needles[queries++ % needles.size()];
      EXPECT_EQ(map.starts_with(needle).to_vector(), brute_force(ref, Op::kStartsWith, needle)) << needle;
    }
    return queries;
  };
  // A two-byte sweep here visits two cells of ~1,000 ids each.
  const size_t first = query_until_built();
  ASSERT_TRUE(map.has_lead_pairs());
  EXPECT_GT(first, PositionalBitmap::kFirstBuildWork / 2500);
  EXPECT_EQ(map.lead_pair_count(), 16u);
  for (const std::string& needle : needles) {
    ASSERT_EQ(map.starts_with(needle).to_vector(), brute_force(ref, Op::kStartsWith, needle)) << needle;
  }
  // A bulk write extends them. (Another six-byte string: the sweeps keep
  // visiting one start position.)
  map.buffered_insert("abcdab", kStrings + 1);
  map.flush_all();
  ref[kStrings + 1] = "abcdab";
  ASSERT_TRUE(map.has_lead_pairs());
  EXPECT_EQ(map.starts_with("ab").to_vector(), brute_force(ref, Op::kStartsWith, "ab"));
  // A narrowing that leaves the map below the load threshold drops them; the
  // rebuild waits for more sweeping.
  IdSet everyone;
  for (const auto& [id, _] : ref) everyone.add(id);
  map.keep_only(everyone);
  EXPECT_FALSE(map.has_lead_pairs());
  const size_t second = query_until_built();
  ASSERT_TRUE(map.has_lead_pairs());
  EXPECT_GT(second, PositionalBitmap::kBuildWork * kStrings / 2500);
  EXPECT_GT(second, first);
}

// A moved map keeps its lead pairs and the one moved from has none.
TEST(PositionalBitmapLeadPairs, MoveCarriesThem) {
  PositionalBitmap map;
  map.set_prefix_plan(PositionalBitmap::PrefixPlan::kLeadPairs);
  map.insert("abc", 1);
  map.insert("abd", 2);
  map.insert("xab", 3);
  EXPECT_EQ(map.starts_with("ab").to_vector(), (std::vector<uint32_t>{1, 2}));
  ASSERT_TRUE(map.has_lead_pairs());
  PositionalBitmap moved(std::move(map));
  EXPECT_TRUE(moved.has_lead_pairs());
  EXPECT_FALSE(map.has_lead_pairs());
  moved.insert("abx", 4);
  EXPECT_EQ(moved.starts_with("ab").to_vector(), (std::vector<uint32_t>{1, 2, 4}));
  PositionalBitmap assigned;
  assigned = std::move(moved);
  EXPECT_TRUE(assigned.has_lead_pairs());
  assigned.remove("abc", 1);
  EXPECT_EQ(assigned.starts_with("ab").to_vector(), (std::vector<uint32_t>{2, 4}));
  EXPECT_EQ(assigned.starts_with("abd").to_vector(), std::vector<uint32_t>{2});
}

// Cells large enough to be written in place. 70,000 three-letter strings
// over 20 letters put ~3,300 ids per 64k-id chunk in each byte cell, where
// single writes turn a chunk into a bitset; replacements that always start
// with 'b' then drain the other first-letter cells below the point where a
// chunk turns back into an array. After that, every query answers like a
// map built in bulk from the final strings.
TEST(PositionalBitmapDense, ReplacingInDenseCellsAnswersLikeABulkBuild) {
  constexpr uint32_t kIds = 70000;
  std::mt19937 rng(23);
  const auto word = [&](char first) {
    std::string s(3, ' ');
    for (auto& ch : s) ch = char('a' + rng() % 20);
    if (first) s[0] = first;
    return s;
  };
  std::vector<std::string> held(kIds);
  PositionalBitmap map;
  for (uint32_t id = 0; id < kIds; ++id) map.buffered_insert(held[id] = word(0), id);
  map.flush_all();
  for (int i = 0; i < 2 * int(kIds); ++i) {
    const uint32_t id = rng() % kIds;
    std::string fresh = word(i < int(kIds) / 4 ? 0 : 'b');
    if (i % 2) {
      map.queue_replace(held[id], fresh, id);
    } else {
      map.replace(held[id], fresh, id);
    }
    held[id] = std::move(fresh);
  }
  map.flush_all();
  PositionalBitmap bulk;
  for (uint32_t id = 0; id < kIds; ++id) bulk.buffered_insert(held[id], id);
  bulk.flush_all();
  ASSERT_GT(bulk.starts_with("b").cardinality(), kIds / 2);
  ASSERT_LT(bulk.starts_with("a").cardinality(), kIds / 40);  // below 1,024 per chunk
  for (char a = 'a'; a < 'a' + 20; ++a) {
    const std::string one(1, a);
    ASSERT_EQ(map.starts_with(one).to_vector(), bulk.starts_with(one).to_vector()) << one;
    ASSERT_EQ(map.ends_with(one).to_vector(), bulk.ends_with(one).to_vector()) << one;
    ASSERT_EQ(map.contains(one + "c").to_vector(), bulk.contains(one + "c").to_vector()) << one;
    ASSERT_EQ(map.equal("b" + one + "d").to_vector(), bulk.equal("b" + one + "d").to_vector()) << one;
  }
}

// Short moves wait in the queue; a long one is written at once, after the
// moves queued before it (the queue never holds copies of long strings).
TEST(PositionalBitmapQueue, LongStringsAreWrittenAtOnceAfterTheQueue) {
  PositionalBitmap map;
  const std::string long_text(PositionalBitmap::kQueuedBytes, 'z');
  map.insert("abc", 1);
  map.insert("abd", 2);
  map.queue_replace("abc", "xyz", 1);
  map.queue_replace("abd", "abe", 2);
  EXPECT_TRUE(map.has_queued_moves());
  map.queue_replace("xyz", long_text, 1);  // id 1 again: its queued move goes first
  EXPECT_FALSE(map.has_queued_moves());
  EXPECT_EQ(map.equal(long_text).to_vector(), (std::vector<uint32_t>{1}));
  EXPECT_EQ(map.equal("abe").to_vector(), (std::vector<uint32_t>{2}));
  EXPECT_TRUE(map.equal("xyz").is_empty());
  EXPECT_TRUE(map.starts_with("abc").is_empty());
  // After a query's read, the next move is written at once; the one after
  // it waits again.
  map.note_read();
  map.queue_replace("abe", "abf", 2);
  EXPECT_FALSE(map.has_queued_moves());
  EXPECT_EQ(map.equal("abf").to_vector(), (std::vector<uint32_t>{2}));
  map.queue_replace("abf", "abg", 2);
  EXPECT_TRUE(map.has_queued_moves());
}

// ---------------------------------------------------------------------------
// Buffers and misuse.

// With `shared` ids already holding "abc", its keys are bitmap cells and the
// queued ids wait in their buffers; with one, they are runs and land at once.
class PositionalBitmapBuffers : public ::testing::TestWithParam<uint32_t> {};

TEST_P(PositionalBitmapBuffers, RemovingAQueuedIdKeepsItOutAfterTheFlush) {
  const uint32_t shared = GetParam();
  PositionalBitmap map;
  std::vector<uint32_t> abc;
  for (uint32_t id = 1; id <= shared; ++id) {
    map.insert("abc", id);
    abc.push_back(id);
  }
  EXPECT_EQ(map.bitmap_cells() > 0, shared >= PositionalBitmap::kPromoteAt);
  map.buffered_insert("abc", 100);
  abc.push_back(100);
  map.buffered_insert("", 101);
  map.buffered_insert("abd", 102);
  map.buffered_insert("abc", 103);
  map.remove("abd", 102);  // possibly still queued: must not come back with the flush
  map.remove("abc", 103);
  map.flush_all();
  EXPECT_EQ(map.equal("abc").to_vector(), abc);
  EXPECT_EQ(map.equal("").to_vector(), std::vector<uint32_t>{101});
  EXPECT_TRUE(map.equal("abd").is_empty());
  for (uint32_t gone : {102u, 103u}) EXPECT_TRUE(cells_holding(map, gone).empty()) << show(cells_holding(map, gone));
  abc.push_back(101);
  std::sort(abc.begin(), abc.end());
  EXPECT_EQ(map.any_string().to_vector(), abc);
}

INSTANTIATE_TEST_SUITE_P(SharedIds, PositionalBitmapBuffers,
                         ::testing::Values(1u, PositionalBitmap::kPromoteAt - 1, PositionalBitmap::kPromoteAt, 40u));

struct MisuseCase {
  std::string name;
  std::function<void(PositionalBitmap&)> act;
};

class PositionalBitmapMisuse : public ::testing::TestWithParam<MisuseCase> {};

TEST_P(PositionalBitmapMisuse, IsAnInternalErrorThatChangesNothing) {
  PositionalBitmap map;
  map.insert("hello", 1);
  map.insert("", 2);
  const size_t width = map.width();
  EXPECT_THROW(GetParam().act(map), InternalError);
  EXPECT_EQ(map.width(), width);
  EXPECT_EQ(map.equal("hello").to_vector(), std::vector<uint32_t>{1});
  EXPECT_EQ(map.any_string().to_vector(), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(cells_holding(map, 1), placed("hello", 1));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PositionalBitmapMisuse,
    ::testing::Values(MisuseCase{"RemoveStringWiderThanMap", [](PositionalBitmap& m) { m.remove("hellohello", 1); }},
                      MisuseCase{"RemoveStringJustTooWide", [](PositionalBitmap& m) { m.remove("hellohe", 1); }},
                      MisuseCase{"ByteSetPastEnd", [](PositionalBitmap& m) { (void)m.byte_set(m.width(), 'h'); }},
                      MisuseCase{"StartSetPastEnd", [](PositionalBitmap& m) { (void)m.start_set(m.width()); }},
                      MisuseCase{"EndSetPastEnd", [](PositionalBitmap& m) { (void)m.end_set(m.width() + 5); }}),
    [](const ::testing::TestParamInfo<MisuseCase>& info) { return info.param.name; });

}  // namespace
}  // namespace calderwick
