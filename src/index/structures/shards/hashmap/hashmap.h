// ShardedHashMap<K, V>: a hash map split into 16 shards, each a hash map
// behind its own poisonable reader-writer lock, so that writers to different
// shards do not wait for each other. Its use here is the exact-value map: a
// stored attribute value -> the ids holding it.
//
// A key carries a precomputed 64-bit hash (`stored_hash()`) and its own
// equality. The shard of a key is the low 4 bits of the FxHash of that stored
// hash. Inside a shard, keys are hashed again with SipHash-1-3 of the stored
// hash under a 128-bit key drawn from the operating system for each map, so
// the in-shard hash is unrelated to the bits that chose the shard and cannot
// be predicted from the stored values alone. The 16 shards are allocated once
// with the map and never change.
//
//   ShardedHashMap<PyValue, HybridSet> values;
//   {
//     auto shard = values.get_shard(v.stored_hash());  // write lock
//     shard->try_emplace(v).first->second.add(id);
//   }
//   std::optional<HybridSet> ids = values.get(v);      // copy under the read lock
//
// Callers that reach a shard by hash must pass the key's own stored hash;
// a key put into another shard is never found again.
#pragma once

#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "index/common/error.h"
#include "index/common/fxhash.h"
#include "index/common/locks.h"

namespace calderwick {

struct SipKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
  bool operator==(const SipKey&) const = default;
};

namespace detail {

struct SipState {
  uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }
  template <int Rounds>
  void compress(uint64_t m) {
    v3 ^= m;
    for (int i = 0; i < Rounds; ++i) round();
    v0 ^= m;
  }
};

}  // namespace detail

// SipHash-C-D of the 8-byte message holding `word` in little-endian order:
// one full block, then the final block carrying only the length 8.
template <int C, int D>
inline uint64_t siphash_u64(SipKey key, uint64_t word) {
  detail::SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL, key.k0 ^ 0x6c7967656e657261ULL,
                     key.k1 ^ 0x7465646279746573ULL};
  s.compress<C>(word);
  s.compress<C>(uint64_t{8} << 56);
  s.v2 ^= 0xff;
  for (int i = 0; i < D; ++i) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

inline uint64_t siphash13_u64(SipKey key, uint64_t word) { return siphash_u64<1, 3>(key, word); }

// 128 fresh random bits from the operating system (getrandom(2)). A failure
// to get them is an InternalError.
SipKey random_sip_key();

template <typename K>
concept StoredHashKey = std::equality_comparable<K> && requires(const K& k) {
  { k.stored_hash() } -> std::convertible_to<uint64_t>;
};

// The in-shard hash: SipHash-1-3 of the key's stored hash.
template <StoredHashKey K>
struct SipStoredHash {
  SipKey key;
  size_t operator()(const K& k) const { return siphash13_u64(key, k.stored_hash()); }
};

template <StoredHashKey K, typename V>
class ShardedHashMap {
 public:
  static constexpr size_t kShardCount = 16;
  static constexpr size_t kShardMask = kShardCount - 1;
  static_assert(std::has_single_bit(kShardCount));

  using Hasher = SipStoredHash<K>;
  using Map = absl::flat_hash_map<K, V, Hasher, std::equal_to<K>>;
  using Shard = RwLock<Map>;
  using ReadGuard = typename Shard::ReadGuard;
  using WriteGuard = typename Shard::WriteGuard;

  // One draw from the operating system serves all 16 shards: the shards only
  // partition keys by FxHash bits that the SipHash key does not touch, so
  // separate keys per shard would cost 15 more system calls per map and
  // protect nothing more. Each map draws its own, so no two maps share a hash layout.
  ShardedHashMap() : ShardedHashMap(random_sip_key()) {}
  // A map with a chosen hash key (tests and reproducible runs).
  explicit ShardedHashMap(SipKey key) : key_(key), shards_(make_shards(key, std::make_index_sequence<kShardCount>{})) {}

  // A moved-from map has no shards; using it is an InternalError.
  ShardedHashMap(ShardedHashMap&&) noexcept = default;
  ShardedHashMap& operator=(ShardedHashMap&&) noexcept = default;

  static size_t shard_index(uint64_t stored_hash) { return fx_hash_u64(stored_hash) & kShardMask; }

  // A copy of the value of `key`, taken under its shard's read lock.
  std::optional<V> get(const K& key) const {
    const ReadGuard shard = read_shard(key.stored_hash());
    const auto it = shard->find(key);
    if (it == shard->end()) return std::nullopt;
    return it->second;
  }

  // The shard that keys with this stored hash belong to, write-locked until
  // the guard goes; the caller inserts and removes through it.
  WriteGuard get_shard(uint64_t stored_hash) { return shard(shard_index(stored_hash)).write(); }
  // The same shard, read-locked, for lookups that must not copy.
  ReadGuard read_shard(uint64_t stored_hash) const { return shard(shard_index(stored_hash)).read(); }

  // Calls f(Map&) for shards 0..15 in turn, each under its write lock, which
  // is released before the next shard is taken.
  template <typename F>
  void for_each_shard_write(F&& f) {
    for (size_t i = 0; i < kShardCount; ++i) {
      WriteGuard g = shard(i).write();
      f(*g);
    }
  }

  SipKey sip_key() const { return key_; }
  // The in-shard hash of a key with this stored hash.
  uint64_t keyed_hash(uint64_t stored_hash) const { return siphash13_u64(key_, stored_hash); }

 private:
  using Shards = std::array<Shard, kShardCount>;

  template <size_t... I>
  static std::unique_ptr<Shards> make_shards(SipKey key, std::index_sequence<I...>) {
    return std::unique_ptr<Shards>(new Shards{{((void)I, Shard(size_t{0}, Hasher{key}))...}});
  }

  Shard& shard(size_t i) {
    if (!shards_) internal_error("sharded map used after being moved from");
    return checked_at(*shards_, i);
  }
  const Shard& shard(size_t i) const { return const_cast<ShardedHashMap*>(this)->shard(i); }

  SipKey key_;
  std::unique_ptr<Shards> shards_;
};

}  // namespace calderwick
