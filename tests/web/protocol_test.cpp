// The decoder of a page's events takes numbers only when they fit.
#include <gtest/gtest.h>

#include "web/protocol.h"

TEST(Protocol, NumbersOutOfRangeRefuseTheEvent) {
  const auto ok = web::decodeEvent(R"({"e":"progress","id":"w3","l":1e3,"t":9007199254740993,"n":5})");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->loaded, 1000);
  EXPECT_EQ(ok->total, 9007199254740993);
  for (const char* bad : {R"({"e":"progress","id":"w3","l":1e300})", R"({"e":"progress","id":"w3","t":-1e19})",
                          R"({"e":"click","id":"w3","n":18446744073709551615})"})
    EXPECT_FALSE(web::decodeEvent(bad)) << bad;
}
