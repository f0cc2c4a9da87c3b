#include "index/structures/string_interner/string_interner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "structure_test_support.h"

namespace calderwick {
namespace {

uint64_t constant_hash(std::string_view) { return 42; }
// Sixteen distinct hashes in all: long probe chains and equal tags everywhere.
uint64_t coarse_hash(std::string_view text) { return hash_str(text) & 0xf000'0000'0000'000full; }

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


// Names of every shape: empty, short, multi-byte UTF-8, with NUL bytes, long,
// and names that are prefixes of one another.
std::string random_name(std::mt19937& rng) {
  static const std::vector<std::string> pieces = {"a", "b", "_", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                                  std::string(1, '\0'), "name", "x"};
  std::string out;
  const size_t parts = rng() % 16 == 0 ? 40 + rng() % 200 : rng() % 5;
  for (size_t i = 0; i < parts; ++i) out += pieces[rng() % pieces.size()];
  return out;
}

struct MirrorCase {
  const char* name;
  StrInterner::HashFn hash;
  size_t initial_slots;
};

class StrInternerMirror : public ::testing::TestWithParam<MirrorCase> {};

// Every step goes to the interner and to a std::map; after each batch, the
// interner and every snapshot taken so far must agree with the map as it was
// when the snapshot was taken.
TEST_P(StrInternerMirror, AgreesWithStdMapAndSnapshotsNeverChange) {
  const MirrorCase& c = GetParam();
  StrInterner in(c.hash, c.initial_slots);
  std::map<std::string, uint32_t> ref;
  std::vector<std::string> by_id;
  std::vector<std::pair<StrInterner::Snapshot, size_t>> snaps;  // snapshot, names known then
  std::mt19937 rng(7);
  for (int batch = 0; batch < 40; ++batch) {
    for (int i = 0; i < 60; ++i) {
      const std::string name = random_name(rng);
      auto [it, fresh] = ref.emplace(name, uint32_t(by_id.size()));
      if (fresh) by_id.push_back(name);
      ASSERT_EQ(in.intern(name), it->second) << "batch " << batch;
    }
    snaps.emplace_back(in.snapshot(), by_id.size());
    for (const auto& [snap, known] : snaps) {
      ASSERT_EQ(snap->size(), known);
      for (const auto& [name, id] : ref) {
        const auto got = snap->get(name);
        if (id < known) {
          ASSERT_EQ(got, id);
          ASSERT_EQ(snap->resolve(id), name);
        } else {
          ASSERT_EQ(got, std::nullopt) << "a snapshot saw a later name";
        }
      }
      EXPECT_THROW(snap->resolve(uint32_t(known)), InternalError);
      for (int i = 0; i < 10; ++i) {
        const std::string probe = random_name(rng) + "\x01";  // never interned
        EXPECT_EQ(snap->get(probe), std::nullopt);
      }
    }
  }
  EXPECT_EQ(in.snapshot()->size(), ref.size());
}

INSTANTIATE_TEST_SUITE_P(Hashes, StrInternerMirror,
                         ::testing::Values(MirrorCase{"FxHashDefaultTable", &hash_str, 2048},
                                           MirrorCase{"FxHashTinyTable", &hash_str, 2},
                                           MirrorCase{"CoarseHashTinyTable", &coarse_hash, 2},
                                           MirrorCase{"ConstantHash", &constant_hash, 4}),
                         [](const ::testing::TestParamInfo<MirrorCase>& info) { return info.param.name; });

TEST(StrInterner, ManyNamesAcrossSegmentsAndGrowths) {
  // Enough names to fill several id segments and grow the table many times.
  StrInterner in(&hash_str, 2);
  constexpr uint32_t kNames = 70000;
  for (uint32_t i = 0; i < kNames; ++i) ASSERT_EQ(in.intern("n" + std::to_string(i)), i);
  auto snap = in.snapshot();
  ASSERT_EQ(snap->size(), kNames);
  for (uint32_t i = 0; i < kNames; ++i) {
    ASSERT_EQ(snap->get("n" + std::to_string(i)), i);
    ASSERT_EQ(snap->resolve(i), "n" + std::to_string(i));
  }
  EXPECT_EQ(snap->get("n" + std::to_string(kNames)), std::nullopt);
}

struct ThreadCase {
  const char* name;
  StrInterner::HashFn hash;
};

class StrInternerThreads : public ::testing::TestWithParam<ThreadCase> {};

// Writers intern overlapping random name pools while readers keep looking up
// names already handed out; the table grows many times during the run. At
// the end the ids must form one std::map: one id per name, dense from 0.
TEST_P(StrInternerThreads, ConcurrentWritersAndReadersAgreeWithStdMap) {
  StrInterner in(GetParam().hash, 2);
  constexpr int kWriters = 6, kReaders = 2, kPerWriter = 4000;
  std::vector<std::string> pool;
  {
    std::mt19937 rng(99);
    std::set<std::string> distinct;
    while (distinct.size() < 6000) distinct.insert(random_name(rng) + std::to_string(distinct.size() % 97));
    pool.assign(distinct.begin(), distinct.end());
  }
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> got(kWriters);  // (pool index, id)
  std::atomic<int> writers_left{kWriters};
  std::atomic<uint64_t> reader_checks{0};
  calderwick::testing::run_threads(kWriters + kReaders, [&](int t) {
    if (t < kWriters) {
      std::mt19937 rng(t);
      for (int i = 0; i < kPerWriter; ++i) {
        const uint32_t p = uint32_t(rng() % pool.size());
        const uint32_t id = in.intern(pool[p]);
        got[t].emplace_back(p, id);
        // Once intern has returned, any new snapshot finds the name.
        const auto snap = in.snapshot();
        if (snap->get(pool[p]) != id || snap->resolve(id) != pool[p]) {
          ADD_FAILURE() << "fresh snapshot disagrees on " << p;
          break;
        }
      }
      writers_left.fetch_sub(1);
      return;
    }
    std::mt19937 rng(1000 + t);
    while (writers_left.load() > 0) {
      const auto snap = in.snapshot();
      if (snap->size() == 0) continue;
      const uint32_t id = uint32_t(rng() % snap->size());
      const std::string name(snap->resolve(id));
      if (snap->get(name) != id || in.snapshot()->get(name) != id) {
        ADD_FAILURE() << "reader lost id " << id;
        break;
      }
      reader_checks.fetch_add(1);
    }
  });
  std::map<std::string, uint32_t> ref;
  for (const auto& per_thread : got) {
    for (const auto& [p, id] : per_thread) {
      auto [it, fresh] = ref.emplace(pool[p], id);
      EXPECT_EQ(it->second, id) << "two ids for one name";
    }
  }
  auto snap = in.snapshot();
  EXPECT_EQ(snap->size(), ref.size());
  std::set<uint32_t> ids;
  for (const auto& [name, id] : ref) {
    ids.insert(id);
    EXPECT_EQ(snap->get(name), id);
    EXPECT_EQ(snap->resolve(id), name);
  }
  EXPECT_EQ(ids.size(), ref.size()) << "two names share an id";
  if (!ids.empty()) {
    EXPECT_EQ(*ids.rbegin(), uint32_t(ids.size() - 1));  // dense from 0
  }
}

INSTANTIATE_TEST_SUITE_P(Hashes, StrInternerThreads,
                         ::testing::Values(ThreadCase{"FxHash", &hash_str}, ThreadCase{"CoarseHash", &coarse_hash}),
                         [](const ::testing::TestParamInfo<ThreadCase>& info) { return info.param.name; });

}  // namespace
}  // namespace calderwick
