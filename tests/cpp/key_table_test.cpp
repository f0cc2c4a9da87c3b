#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "index/structures/key_table/key_table.h"

namespace calderwick {
namespace {

// Both tables against a map of id -> key, with hashes drawn from a small
// space so that keys share hash tags and probe runs, and runs cross the
// table's end; tables grow, shrink and are narrowed along the way.
struct TableCase {
  const char* name;
  uint32_t keys;    // keys in play
  uint32_t hashes;  // distinct hashes they map to
  uint32_t seed;
};

const TableCase kTableCases[] = {
    {"every key its own hash", 400, 400, 1},
    {"keys share a few hashes", 200, 7, 2},
    {"one hash for all", 60, 1, 3},
    {"many keys, some sharing", 3000, 1200, 4},
};

uint32_t hash_of(uint32_t key, uint32_t hashes) {
  // Spread over the whole 32 bits, so that homes land anywhere, the last
  // slots of the table included.
  return (key % hashes + 1) * 0x9E3779B1u;
}

// Narrows the table and the mirror to a random two thirds of the ids.
template <typename Table>
void narrow_randomly(Table& table, std::map<uint32_t, uint32_t>& key_of, std::mt19937& rng) {
  IdSet keep;
  for (const auto& [id, key] : key_of) {
    if (rng() % 3) keep.add(id);
  }
  table.keep_only(keep);
  for (auto it = key_of.begin(); it != key_of.end();) it = keep.contains(it->first) ? std::next(it) : key_of.erase(it);
}

class KeyTables : public ::testing::TestWithParam<TableCase> {};

// KeyTable answers every key exactly.
TEST_P(KeyTables, KeyTableMatchesTheMirror) {
  const TableCase& c = GetParam();
  std::mt19937 rng(c.seed);
  KeyTable<uint32_t> table;
  std::map<uint32_t, uint32_t> key_of;  // id -> key
  auto holds = [&](uint32_t id, uint32_t key) { return key_of.count(id) && key_of.at(id) == key; };
  const uint32_t ids = 4 * c.keys;
  for (int round = 0; round < 6; ++round) {
    for (int step = 0; step < 3000; ++step) {
      const uint32_t id = rng() % ids;
      const auto it = key_of.find(id);
      if (it == key_of.end()) {
        const uint32_t key = rng() % c.keys;
        key_of[id] = key;
        table.add(key, id, hash_of(key, c.hashes), holds);
      } else {
        table.remove(it->second, id, hash_of(it->second, c.hashes));
        key_of.erase(it);
      }
    }
    if (round % 2 == 1) narrow_randomly(table, key_of, rng);
    std::map<uint32_t, std::set<uint32_t>> ids_of;
    for (const auto& [id, key] : key_of) ids_of[key].insert(id);
    size_t shared = 0;
    for (uint32_t key = 0; key < c.keys; ++key) {
      IdSet got;
      table.ids_into(key, hash_of(key, c.hashes), holds, got);
      const auto& want = ids_of[key];
      ASSERT_EQ(got.to_vector(), std::vector<uint32_t>(want.begin(), want.end())) << c.name << ", key " << key;
      shared += want.size() > 1;
    }
    EXPECT_EQ(table.shared(), shared) << c.name;
  }
}

// SoleHolders never gives a wrong id or a wrong "none": a key held by one id
// is that id or shared, a key held by several is shared, a key held by none
// is none or shared. Emptied, it holds no slot at all.
TEST_P(KeyTables, SoleHoldersNeverAnswerWrong) {
  const TableCase& c = GetParam();
  std::mt19937 rng(c.seed + 100);
  SoleHolders table;
  std::map<uint32_t, uint32_t> key_of;
  const uint32_t ids = 3 * c.keys;
  size_t sole_answers = 0;
  for (int round = 0; round < 6; ++round) {
    const bool narrow = round == 3;
    for (int step = 0; step < 2500; ++step) {
      const uint32_t id = rng() % ids;
      const auto it = key_of.find(id);
      if (it == key_of.end() || rng() % 4 == 0) {
        // A new key for an id, or a move: off the old key first.
        if (it != key_of.end()) table.remove(id, hash_of(it->second, c.hashes));
        const uint32_t key = rng() % c.keys;
        key_of[id] = key;
        table.add(id, hash_of(key, c.hashes));
      } else {
        table.remove(id, hash_of(it->second, c.hashes));
        key_of.erase(it);
      }
    }
    if (narrow) narrow_randomly(table, key_of, rng);
    std::map<uint32_t, std::vector<uint32_t>> ids_of;
    for (const auto& [id, key] : key_of) ids_of[key].push_back(id);
    for (uint32_t key = 0; key < c.keys; ++key) {
      const auto holders = ids_of[key];
      uint32_t one = ~0u;
      const auto found = table.find(
          hash_of(key, c.hashes), [&](uint32_t id) { return key_of.count(id) && key_of.at(id) == key; }, &one);
      if (found == SoleHolders::Found::kShared) continue;
      ASSERT_LE(holders.size(), 1u) << c.name << ", key " << key << ": several holders, not shared";
      if (holders.empty()) {
        ASSERT_EQ(found, SoleHolders::Found::kNone) << c.name << ", key " << key;
      } else {
        ASSERT_EQ(found, SoleHolders::Found::kOne) << c.name << ", key " << key;
        ASSERT_EQ(one, holders[0]) << c.name << ", key " << key;
        ++sole_answers;
      }
    }
  }
  // Emptied, no id is held alone; only the counts of ids narrowed away,
  // which cannot be taken back, may stay.
  for (const auto& [id, key] : key_of) table.remove(id, hash_of(key, c.hashes));
  EXPECT_EQ(table.sole(), 0u) << c.name;
  if (c.hashes == c.keys) {
    EXPECT_GT(sole_answers, 0u) << c.name << ": the table never answered alone";
  }
}

// Distinct hashes and no key held twice: every key is answered alone, and
// once all are gone no slot is left.
TEST(SoleHolders, DistinctKeysAreAnsweredAloneAndLeaveNothing) {
  SoleHolders table;
  constexpr uint32_t kKeys = 5000;
  for (uint32_t k = 0; k < kKeys; ++k) table.add(k + 7, hash_of(k, kKeys));
  for (uint32_t k = 0; k < kKeys; ++k) {
    uint32_t one = 0;
    ASSERT_EQ(table.find(hash_of(k, kKeys), [&](uint32_t id) { return id == k + 7; }, &one), SoleHolders::Found::kOne);
    ASSERT_EQ(one, k + 7);
  }
  // A second holder makes a key shared; losing both empties its slot.
  table.add(1, hash_of(3, kKeys));
  uint32_t one = 0;
  EXPECT_EQ(table.find(hash_of(3, kKeys), [](uint32_t) { return true; }, &one), SoleHolders::Found::kShared);
  table.remove(1, hash_of(3, kKeys));
  for (uint32_t k = 0; k < kKeys; ++k) table.remove(k + 7, hash_of(k, kKeys));
  EXPECT_EQ(table.sole(), 0u);
  EXPECT_EQ(table.shared(), 0u);
  EXPECT_EQ(table.find(hash_of(3, kKeys), [](uint32_t) { return true; }, &one), SoleHolders::Found::kNone);
}

INSTANTIATE_TEST_SUITE_P(Hashes, KeyTables, ::testing::ValuesIn(kTableCases),
                         [](const ::testing::TestParamInfo<TableCase>& info) { return "Case" + std::to_string(info.index); });

}  // namespace
}  // namespace calderwick
