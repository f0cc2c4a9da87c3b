#include "index/structures/shards/hashmap/hashmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace calderwick {
namespace {

// SipHash-c-d over a byte string, written from the algorithm's definition and
// independent of the one-word version under test: little-endian 8-byte
// blocks, then a final block of the remaining bytes with the length in its
// top byte.
uint64_t reference_siphash(int c, int d, const std::array<uint8_t, 16>& key, const std::vector<uint8_t>& msg) {
  const auto le64 = [](const uint8_t* p, size_t n) {
    uint64_t w = 0;
    for (size_t i = 0; i < n; ++i) w |= uint64_t{p[i]} << (8 * i);
    return w;
  };
  const uint64_t k0 = le64(key.data(), 8), k1 = le64(key.data() + 8, 8);
  uint64_t v[4] = {k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
                   k1 ^ 0x7465646279746573ULL};
  const auto rounds = [&](int n) {
    for (int r = 0; r < n; ++r) {
      v[0] += v[1], v[1] = std::rotl(v[1], 13), v[1] ^= v[0], v[0] = std::rotl(v[0], 32);
      v[2] += v[3], v[3] = std::rotl(v[3], 16), v[3] ^= v[2];
      v[0] += v[3], v[3] = std::rotl(v[3], 21), v[3] ^= v[0];
      v[2] += v[1], v[1] = std::rotl(v[1], 17), v[1] ^= v[2], v[2] = std::rotl(v[2], 32);
    }
  };
  const size_t full = msg.size() / 8 * 8;
  for (size_t o = 0; o < full; o += 8) {
    const uint64_t m = le64(msg.data() + o, 8);
    v[3] ^= m, rounds(c), v[0] ^= m;
  }
  const uint64_t last = (uint64_t{msg.size() & 0xff} << 56) | le64(msg.data() + full, msg.size() - full);
  v[3] ^= last, rounds(c), v[0] ^= last;
  v[2] ^= 0xff;
  rounds(d);
  return v[0] ^ v[1] ^ v[2] ^ v[3];
}

std::vector<uint8_t> counting_bytes(size_t n) {
  std::vector<uint8_t> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i);
  return out;
}

std::vector<uint8_t> word_bytes(uint64_t w) {
  std::vector<uint8_t> out(8);
  for (size_t i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(w >> (8 * i));
  return out;
}

std::array<uint8_t, 16> key_bytes(SipKey k) {
  std::array<uint8_t, 16> out;
  for (size_t i = 0; i < 8; ++i) {
    out[i] = static_cast<uint8_t>(k.k0 >> (8 * i));
    out[8 + i] = static_cast<uint8_t>(k.k1 >> (8 * i));
  }
  return out;
}

// The standard SipHash test key: bytes 00 01 02 ... 0f.
constexpr SipKey kCountingKey{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};

TEST(SipHash, ReferenceReproducesTheStandard24Vectors) {
  // Outputs for the counting key and the counting message 00 01 02 ... of each length.
  const struct {
    size_t length;
    uint64_t expected;
  } cases[] = {
      {0, 0x726fdb47dd0e0e31ULL},
      {8, 0x93f5f5799a932462ULL},
      {15, 0xa129ca6149be45e5ULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    EXPECT_EQ(reference_siphash(2, 4, key_bytes(kCountingKey), counting_bytes(c.length)), c.expected);
  }
  EXPECT_EQ((siphash_u64<2, 4>(kCountingKey, 0x0706050403020100ULL)), 0x93f5f5799a932462ULL);
}

TEST(SipHash, OneWordMatchesTheReferenceForBothVariants) {
  std::mt19937_64 rng(11);
  std::vector<SipKey> keys = {kCountingKey, {0, 0}, {~0ULL, ~0ULL}, {1, 0}, {0, 1}};
  std::vector<uint64_t> words = {0, 1, 0x8000000000000000ULL, ~0ULL, 0x0706050403020100ULL};
  for (int i = 0; i < 20; ++i) keys.push_back({rng(), rng()}), words.push_back(rng());
  for (const SipKey& k : keys) {
    for (uint64_t w : words) {
      SCOPED_TRACE(::testing::Message() << std::hex << k.k0 << ":" << k.k1 << " word " << w);
      EXPECT_EQ(siphash13_u64(k, w), reference_siphash(1, 3, key_bytes(k), word_bytes(w)));
      EXPECT_EQ((siphash_u64<2, 4>(k, w)), reference_siphash(2, 4, key_bytes(k), word_bytes(w)));
    }
  }
}

TEST(SipHash, OneWordOutputIsEvenlySpread) {
  const SipKey key{0x243f6a8885a308d3ULL, 0x13198a2e03707344ULL};
  // Consecutive words (the worst case of stored hashes that differ little):
  // the low and the high byte of the output must each fill 256 buckets
  // evenly. Chi-square with 255 degrees of freedom has mean 255 and standard
  // deviation about 22.6; 400 is over six deviations out.
  constexpr int kWords = 1 << 16;
  for (int shift : {0, 56}) {
    SCOPED_TRACE(shift);
    std::array<int, 256> buckets{};
    for (uint64_t w = 0; w < kWords; ++w) ++buckets[(siphash13_u64(key, w) >> shift) & 0xff];
    const double expected = kWords / 256.0;
    double chi2 = 0;
    for (int n : buckets) chi2 += (n - expected) * (n - expected) / expected;
    EXPECT_LT(chi2, 400.0);
  }
  // Flipping any one input bit flips about half of the output bits: over 256
  // words the mean of 32 has a standard deviation of 0.25.
  std::mt19937_64 rng(5);
  std::vector<uint64_t> sample(256);
  for (uint64_t& w : sample) w = rng();
  for (int bit = 0; bit < 64; ++bit) {
    double flipped = 0;
    for (uint64_t w : sample) flipped += std::popcount(siphash13_u64(key, w) ^ siphash13_u64(key, w ^ (1ULL << bit)));
    EXPECT_NEAR(flipped / sample.size(), 32.0, 3.0) << "input bit " << bit;
  }
  // Every bit of the key matters.
  for (int bit = 0; bit < 128; ++bit) {
    SipKey other = key;
    (bit < 64 ? other.k0 : other.k1) ^= 1ULL << (bit % 64);
    EXPECT_NE(siphash13_u64(key, 12345), siphash13_u64(other, 12345)) << "key bit " << bit;
  }
}

// A key with a chosen stored hash, so collisions can be forced.
struct FakeKey {
  uint64_t hash;
  int payload;
  uint64_t stored_hash() const { return hash; }
  bool operator==(const FakeKey&) const = default;
};

using Values = std::vector<int>;
using FakeMap = ShardedHashMap<FakeKey, Values>;

void put(FakeMap& m, const FakeKey& k, Values v) { m.get_shard(k.hash)->insert_or_assign(k, std::move(v)); }

std::array<size_t, FakeMap::kShardCount> shard_sizes(FakeMap& m) {
  std::array<size_t, FakeMap::kShardCount> sizes{};
  size_t i = 0;
  m.for_each_shard_write([&](FakeMap::Map& shard) { sizes.at(i++) = shard.size(); });
  EXPECT_EQ(i, FakeMap::kShardCount);
  return sizes;
}

TEST(ShardedHashMap, ShardIndexFollowsTheFxHashOfTheStoredHash) {
  const uint64_t hashes[] = {0, 1, 2, 15, 16, 0xdeadbeef, 0x8000000000000000ULL, ~0ULL, 0x0123456789abcdefULL};
  std::set<size_t> seen;
  for (uint64_t h : hashes) {
    SCOPED_TRACE(h);
    const size_t expected = std::rotl(h * 0xf1357aea2e62a9c5ULL, 26) & 15;
    EXPECT_EQ(FakeMap::shard_index(h), expected);
    // And an entry put in through get_shard(h) sits in that shard.
    FakeMap m(SipKey{1, 2});
    put(m, FakeKey{h, 0}, {1});
    std::array<size_t, FakeMap::kShardCount> want{};
    want[expected] = 1;
    EXPECT_EQ(shard_sizes(m), want);
    seen.insert(expected);
  }
  EXPECT_GT(seen.size(), 4u);  // the sample really spans several shards
}

TEST(ShardedHashMap, EqualStoredHashesShareAShardAndAreToldApartByEquality) {
  FakeMap m(SipKey{3, 4});
  const uint64_t h = 0x5555;
  put(m, {h, 1}, {10});
  put(m, {h, 2}, {20, 21});
  put(m, {h + 1, 1}, {30});
  EXPECT_EQ(m.get({h, 1}), Values{10});
  EXPECT_EQ(m.get({h, 2}), (Values{20, 21}));
  EXPECT_EQ(m.get({h + 1, 1}), Values{30});
  EXPECT_EQ(m.get({h, 3}), std::nullopt);
  EXPECT_EQ(m.read_shard(h)->size(), FakeMap::shard_index(h) == FakeMap::shard_index(h + 1) ? 3u : 2u);
  put(m, {h, 1}, {11});  // replaces only the equal key
  EXPECT_EQ(m.get({h, 1}), Values{11});
  EXPECT_EQ(m.get({h, 2}), (Values{20, 21}));
}

TEST(ShardedHashMap, AbsentKeysAreNotFoundAndNotInserted) {
  FakeMap m(SipKey{5, 6});
  for (int i = 0; i < 40; ++i) put(m, {uint64_t(i) * 977, i}, {i});
  const auto before = shard_sizes(m);
  const FakeKey absent[] = {
      {977, 0},       // known stored hash, other payload
      {0, 1},         // known payload, other stored hash
      {40 * 977, 40}, // neither
      {~0ULL, -1},
  };
  for (const FakeKey& k : absent) {
    SCOPED_TRACE(k.hash);
    EXPECT_EQ(m.get(k), std::nullopt);
    EXPECT_FALSE(m.read_shard(k.hash)->contains(k));
  }
  EXPECT_EQ(shard_sizes(m), before);
}

TEST(ShardedHashMap, GetReturnsAnIndependentCopy) {
  FakeMap m;
  const FakeKey k{42, 7};
  put(m, k, {1, 2, 3});
  std::optional<Values> copy = m.get(k);
  ASSERT_TRUE(copy.has_value());
  copy->push_back(4);
  EXPECT_EQ(m.get(k), (Values{1, 2, 3}));
  m.get_shard(k.hash)->at(k).assign({9});
  EXPECT_EQ(*copy, (Values{1, 2, 3, 4}));
  EXPECT_EQ(m.get(k), Values{9});
}

TEST(ShardedHashMap, RemovedKeysDisappear) {
  FakeMap m;
  const FakeKey a{100, 1}, b{100, 2};
  put(m, a, {1});
  put(m, b, {2});
  EXPECT_EQ(m.get_shard(a.hash)->erase(a), 1u);
  EXPECT_EQ(m.get(a), std::nullopt);
  EXPECT_EQ(m.get(b), Values{2});
  EXPECT_EQ(m.get_shard(b.hash)->erase(b), 1u);
  EXPECT_EQ(m.get(b), std::nullopt);
  EXPECT_EQ(shard_sizes(m), (std::array<size_t, FakeMap::kShardCount>{}));
  EXPECT_EQ(m.get_shard(b.hash)->erase(b), 0u);
}

TEST(ShardedHashMap, EachMapDrawsItsOwnHashKey) {
  FakeMap a, b;
  EXPECT_NE(a.sip_key(), b.sip_key());
  for (uint64_t w : {uint64_t{0}, uint64_t{1}, uint64_t{0xdeadbeef}, ~uint64_t{0}}) {
    SCOPED_TRACE(w);
    EXPECT_NE(a.keyed_hash(w), b.keyed_hash(w));
    // The shard maps hash with the map's key.
    EXPECT_EQ(a.read_shard(w)->hash_function()(FakeKey{w, 0}), siphash13_u64(a.sip_key(), w));
    EXPECT_EQ(b.read_shard(w)->hash_function()(FakeKey{w, 0}), siphash13_u64(b.sip_key(), w));
  }
  const SipKey chosen{0x1111, 0x2222};
  FakeMap c(chosen);
  EXPECT_EQ(c.sip_key(), chosen);
  EXPECT_EQ(c.read_shard(9)->hash_function()(FakeKey{9, 0}), siphash13_u64(chosen, 9));
}

TEST(ShardedHashMap, FailureInsideAShardPoisonsThatShardOnly) {
  FakeMap m(SipKey{7, 8});
  // One key per shard.
  std::array<std::optional<FakeKey>, FakeMap::kShardCount> per_shard;
  for (uint64_t h = 0; std::find(per_shard.begin(), per_shard.end(), std::nullopt) != per_shard.end(); ++h) {
    auto& slot = per_shard[FakeMap::shard_index(h)];
    if (!slot) slot = FakeKey{h, 0}, put(m, *slot, {int(h)});
  }
  constexpr size_t kFailing = 5;
  size_t visited = 0;
  EXPECT_THROW(m.for_each_shard_write([&](FakeMap::Map& shard) {
    if (visited++ == kFailing) {
      shard.clear();  // part-way through a change
      throw std::runtime_error("failed");
    }
  }),
               std::runtime_error);
  EXPECT_EQ(visited, kFailing + 1);
  for (size_t i = 0; i < FakeMap::kShardCount; ++i) {
    SCOPED_TRACE(i);
    const FakeKey& k = *per_shard[i];
    if (i == kFailing) {
      EXPECT_THROW(m.get(k), InternalError);
      EXPECT_THROW(m.get_shard(k.hash), InternalError);
      EXPECT_THROW(m.read_shard(k.hash), InternalError);
    } else {
      EXPECT_EQ(m.get(k), Values{int(k.hash)});
    }
  }
  EXPECT_THROW(m.for_each_shard_write([](FakeMap::Map&) {}), InternalError);
}

TEST(ShardedHashMap, MovedFromMapRefusesUse) {
  FakeMap a;
  put(a, {1, 1}, {1});
  FakeMap b = std::move(a);
  EXPECT_EQ(b.get({1, 1}), Values{1});
  EXPECT_THROW(a.get({1, 1}), InternalError);  // NOLINT(bugprone-use-after-move)
}

TEST(ShardedHashMap, ConcurrentWritersAndReadersLoseNothing) {
  FakeMap m;
  constexpr int kThreads = 8, kPerThread = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&m, t] {
      for (int i = 0; i < kPerThread; ++i) {
        // Stored hashes collide across threads; payloads keep keys apart.
        const FakeKey k{uint64_t(i % 97), t * kPerThread + i};
        m.get_shard(k.hash)->try_emplace(k, Values{t});
        const FakeKey other{uint64_t(i % 89), ((t + 1) % kThreads) * kPerThread + i};
        (void)m.get(other);
      }
    });
  }
  for (auto& th : threads) th.join();
  size_t total = 0;
  for (size_t n : shard_sizes(m)) total += n;
  EXPECT_EQ(total, size_t{kThreads} * kPerThread);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; i += 37) EXPECT_EQ(m.get({uint64_t(i % 97), t * kPerThread + i}), Values{t});
  }
}

}  // namespace
}  // namespace calderwick
