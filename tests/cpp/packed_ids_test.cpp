#include "index/structures/packed_ids/packed_ids.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace calderwick {
namespace {

using Ids = std::vector<uint32_t>;

// Which of the three forms holds the ids, as far as the interface tells.
enum class Form { kNone, kInline, kList, kSet };

Form form_of(const PackedIds& s) {
  if (s.empty()) return Form::kNone;
  if (s.set()) return Form::kSet;
  return s.list().size() == 1 ? Form::kInline : Form::kList;
}

// `s` holds exactly the mirror, through every reader, in the form its size
// allows.
void expect_same(const PackedIds& s, const std::set<uint32_t>& mirror, uint32_t probe) {
  const Ids want(mirror.begin(), mirror.end());
  ASSERT_EQ(s.size(), want.size());
  ASSERT_EQ(s.empty(), want.empty());
  ASSERT_EQ(s.to_set().to_vector(), want);
  if (!s.set()) {
    ASSERT_EQ(Ids(s.list().begin(), s.list().end()), want);
  }
  IdSet out{probe};
  s.or_into(out);
  std::set<uint32_t> with_probe = mirror;
  with_probe.insert(probe);
  ASSERT_EQ(out.to_vector(), Ids(with_probe.begin(), with_probe.end()));
  IdSet empty_out;
  s.or_into(empty_out);
  ASSERT_EQ(empty_out.to_vector(), want);
  ASSERT_EQ(s.contains(probe), mirror.count(probe) == 1);
  for (uint32_t id : want) ASSERT_TRUE(s.contains(id)) << id;
  // One id is inline, a set never holds kListMax / 2 or fewer, a list never
  // more than kListMax.
  const Form f = form_of(s);
  if (want.size() == 1) {
    ASSERT_EQ(f, Form::kInline);
  } else if (want.size() > PackedIds::kListMax) {
    ASSERT_EQ(f, Form::kSet);
  } else if (want.size() <= PackedIds::kListMax / 2 && !want.empty()) {
    ASSERT_EQ(f, Form::kList);
  }
}

class PackedIdsRandomised : public ::testing::TestWithParam<uint32_t> {};

// Random adds, removes and narrowings against a std::set, sweeping the size
// up past the list's limit and back to nothing, with ids ascending (a load)
// or anywhere, in one 64k chunk or spread over several.
TEST_P(PackedIdsRandomised, MatchesMirror) {
  std::mt19937 rng(GetParam());
  const uint32_t spread = GetParam() % 2 ? 200 : 0x40000;
  PackedIds s;
  std::set<uint32_t> mirror;
  uint32_t next_ascending = 0;
  int seen_forms = 0;
  for (int step = 0; step < 6000; ++step) {
    SCOPED_TRACE(step);
    // Phases of growth and of shrinking, each long enough to cross the limit.
    const bool growing = (step / 700) % 2 == 0;
    const uint32_t op = rng() % 16;
    const uint32_t id = rng() % spread;
    if (op == 0) {
      IdSet keep;
      for (uint32_t k : mirror) {
        if (rng() % 8) keep.add(k);
      }
      keep.add(rng() % spread);  // an id the set may not hold
      s.keep_only(keep);
      std::erase_if(mirror, [&](uint32_t k) { return !keep.contains(k); });
    } else if (op < (growing ? 12u : 4u)) {
      const uint32_t add = op % 3 == 0 ? (next_ascending += 1 + rng() % 3) % spread : id;
      ASSERT_EQ(s.add(add), mirror.insert(add).second) << "add " << add;
    } else if (!mirror.empty() && op % 2) {
      auto it = mirror.begin();
      std::advance(it, rng() % mirror.size());
      const uint32_t gone = *it;
      mirror.erase(it);
      ASSERT_TRUE(s.remove(gone)) << "remove " << gone;
    } else {
      ASSERT_EQ(s.remove(id), mirror.erase(id) == 1) << "remove " << id;
    }
    expect_same(s, mirror, rng() % spread);
    seen_forms |= 1 << static_cast<int>(form_of(s));
    if (::testing::Test::HasFatalFailure()) return;
  }
  EXPECT_EQ(seen_forms, 0b1111) << "every form was reached";
  PackedIds moved = std::move(s);
  expect_same(moved, mirror, 0);
  expect_same(s, {}, 0);
  moved.clear();
  expect_same(moved, {}, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, PackedIdsRandomised, ::testing::Values(1u, 2u, 7u, 42u));

}  // namespace
}  // namespace calderwick
