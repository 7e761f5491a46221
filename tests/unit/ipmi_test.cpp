// The parts of the IPMI client that need no controller: back-off windows,
// the "unset" address, construction rules.
#include <gtest/gtest.h>

#include <tuple>

#include "modules/ipmi.h"
#include "tests/support/scratch.h"

namespace {

using trl::test::errorOf;

TEST(IpmiSkipping, WindowIsOffsetPlusTwoSecondsPerNode) {
  const time_t marked = 1000000;
  IPMI::Skipping s(marked);
  EXPECT_FALSE(s.pending(marked + 1, 10, 5)) << "an unmarked record never skips";
  s.mark(marked);
  // 10 nodes, poll interval 5: skip while (now - mark) - 5 <= 20.
  EXPECT_TRUE(s.pending(marked, 10, 5));
  EXPECT_TRUE(s.pending(marked + 25, 10, 5));
  EXPECT_FALSE(s.pending(marked + 26, 10, 5));
  EXPECT_FALSE(s.skipped) << "the mark is cleared once the window has passed";

  s.mark(marked + 100);  // history sampler: offset 10
  EXPECT_TRUE(s.pending(marked + 100 + 10 + 2 * 3, 3, 10));
  EXPECT_FALSE(s.pending(marked + 100 + 10 + 2 * 3 + 1, 3, 10));
}

TEST(Ipmi, UnsetAddressNeverOpensASession) {
  IPMI ipmi("unset", "ADMIN", "secret");
  trl::test::CaptureStdout out;
  EXPECT_FALSE(ipmi.probe());
  EXPECT_NE(errorOf([&] { ipmi.power(); }).find("] unset: ipmi_cmd_get_chassis_status failed"), std::string::npos);
  const std::string text = out.text();
  size_t lines = 0;
  for (size_t at = 0; (at = text.find("unset hostname, skip IPMI connection", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 2u) << "one log line per attempt:\n" << text;
  EXPECT_EQ(text.find("secret"), std::string::npos);
}

TEST(Ipmi, CopyResetAndBackOffPerKind) {
  IPMI original("10.0.0.5", "ADMIN", "QZWRT");
  original.skip(IPMI::skip_power);
  EXPECT_TRUE(original.skip(4, IPMI::skip_power, 5));
  EXPECT_FALSE(original.skip(4, IPMI::skip_sensor, 5)) << "each kind has its own record";
  IPMI copy(&original);
  EXPECT_EQ(std::make_tuple(copy.hostname(), copy.username(), copy.password()),
            std::make_tuple(std::string("10.0.0.5"), std::string("ADMIN"), std::string("QZWRT")));
  EXPECT_FALSE(copy.skip(1, IPMI::skip_power, 5)) << "back-off records start fresh";
  EXPECT_TRUE(copy.begin() == copy.end()) << "no table before the first pass";
  EXPECT_NE(errorOf([] { IPMI bad(static_cast<const IPMI*>(nullptr)); }).find("] Create new IPMI from null pointer"),
            std::string::npos);

  original.reset("10.0.0.6", "", "");
  EXPECT_EQ(original.hostname(), "10.0.0.6");
  EXPECT_TRUE(original.skip(1, IPMI::skip_power, 5)) << "re-pointing keeps the back-off records";
  original.forceUnlock();
}

}  // namespace
