#include "index/common/small_string.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace calderwick {
namespace {

TEST(SmallString, InlineUpTo23BytesSharedBeyond) {
  const std::string s23(23, 'x'), s24(24, 'y');
  SmallString a(s23), b(s24);
  EXPECT_TRUE(a.is_inline());
  EXPECT_FALSE(b.is_inline());
  SmallString b2 = b;
  EXPECT_EQ(b2.data(), b.data());  // one shared heap buffer
  EXPECT_EQ(b2, s24);
  SmallString moved = std::move(b);
  EXPECT_EQ(moved.view(), s24);
  EXPECT_TRUE(SmallString("").empty());
  a = b2;
  EXPECT_EQ(a.view(), s24);
}

}  // namespace
}  // namespace calderwick
