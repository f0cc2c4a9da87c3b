// FxHash and the byte-string digest.
//
// FxHash mixes 64-bit words into a state as state = (state + w) * K and
// finishes by rotating the state left by 26 bits. Strings are first reduced to
// one 64-bit word by `byte_digest`, a folded-multiply digest of their bytes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace calderwick {

inline constexpr uint64_t kFxSeed = 0xf1357aea2e62a9c5ULL;

class FxHasher {
 public:
  void write_u64(uint64_t w) { state_ = (state_ + w) * kFxSeed; }
  uint64_t finish() const { return std::rotl(state_, 26); }
  uint64_t state() const { return state_; }

 private:
  uint64_t state_ = 0;
};

// FxHash of a single 64-bit word: rotl(w * K, 26).
inline uint64_t fx_hash_u64(uint64_t w) { return std::rotl(w * kFxSeed, 26); }

namespace detail {
inline uint64_t load_u64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;  // little-endian on every platform we build for
}
inline uint64_t load_u32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
// Full 128-bit product folded into 64 bits by xor of its halves.
inline uint64_t folded_multiply(uint64_t a, uint64_t b) {
  const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
}
}  // namespace detail

inline uint64_t byte_digest(std::string_view text) {
  const auto* b = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  uint64_t s0 = 0x243f6a8885a308d3ULL;
  uint64_t s1 = 0x13198a2e03707344ULL;
  if (n <= 16) {
    if (n >= 8) {
      s0 ^= detail::load_u64(b);
      s1 ^= detail::load_u64(b + n - 8);
    } else if (n >= 4) {
      s0 ^= detail::load_u32(b);
      s1 ^= detail::load_u32(b + n - 4);
    } else if (n > 0) {
      s0 ^= b[0];
      s1 ^= (static_cast<uint64_t>(b[n - 1]) << 8) | b[n / 2];
    }
  } else {
    for (size_t o = 0; o < n - 16; o += 16) {
      const uint64_t x = detail::load_u64(b + o);
      const uint64_t y = detail::load_u64(b + o + 8);
      const uint64_t t = detail::folded_multiply(s0 ^ x, 0xa4093822299f31d0ULL ^ y);
      s0 = s1;
      s1 = t;
    }
    s0 ^= detail::load_u64(b + n - 16);
    s1 ^= detail::load_u64(b + n - 8);
  }
  return detail::folded_multiply(s0, s1) ^ n;
}

// Hash functor for maps keyed by 32-bit ids.
struct FxIdHash {
  size_t operator()(uint32_t id) const { return fx_hash_u64(id); }
};

}  // namespace calderwick
