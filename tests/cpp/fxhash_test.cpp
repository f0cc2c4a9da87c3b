#include "index/common/fxhash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace calderwick {
namespace {

TEST(FxHash, ByteDigestCoversEveryLengthBranch) {
  // Each length class reads different bytes; flipping any byte must change the digest.
  for (size_t n = 1; n <= 40; ++n) {
    std::string s(n, 'a');
    for (size_t i = 0; i < n; ++i) s[i] = char('a' + i % 26);
    const uint64_t base = byte_digest(s);
    for (size_t i = 0; i < n; ++i) {
      std::string t = s;
      t[i] ^= 0x20;
      EXPECT_NE(byte_digest(t), base) << "length " << n << " byte " << i;
    }
  }
  EXPECT_EQ(byte_digest(""), detail::folded_multiply(0x243f6a8885a308d3ULL, 0x13198a2e03707344ULL));
}

}  // namespace
}  // namespace calderwick
