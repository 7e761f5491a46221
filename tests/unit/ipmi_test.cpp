// The parts of the IPMI client that need no controller: back-off windows,
// the "unset" address, construction rules.
#include <gtest/gtest.h>

#include <cmath>

#include "modules/ipmi.h"
#include "tests/support/scratch.h"

namespace {

TEST(IpmiSkipping, WindowIsOffsetPlusTwoSecondsPerNode) {
  const time_t marked = 1000000;
  IPMI::Skipping s(marked);
  EXPECT_FALSE(s.pending(marked + 1, 10, 5)) << "an unmarked record never skips";
  s.mark(marked);
  // 10 nodes, poll interval 5: skip while (now - mark) - 5 <= 20.
  EXPECT_TRUE(s.pending(marked, 10, 5));
  EXPECT_TRUE(s.pending(marked + 25, 10, 5));
  EXPECT_TRUE(s.skipped);
  EXPECT_FALSE(s.pending(marked + 26, 10, 5));
  EXPECT_FALSE(s.skipped) << "the mark is cleared once the window has passed";
  EXPECT_FALSE(s.pending(marked + 27, 10, 5));

  s.mark(marked + 100);  // history sampler: offset 10
  EXPECT_TRUE(s.pending(marked + 100 + 10 + 2 * 3, 3, 10));
  EXPECT_FALSE(s.pending(marked + 100 + 10 + 2 * 3 + 1, 3, 10));
}

TEST(IpmiSkipping, RecordsAreIndependentPerKind) {
  IPMI ipmi("unset", "", "");
  ipmi.skip(IPMI::skip_sensor);
  EXPECT_TRUE(ipmi.skip(4, IPMI::skip_sensor, 5));
  EXPECT_FALSE(ipmi.skip(4, IPMI::skip_power, 5));
}

TEST(Ipmi, UnsetAddressNeverOpensASession) {
  IPMI ipmi("unset", "ADMIN", "secret");
  trl::test::CaptureStdout out;
  EXPECT_FALSE(ipmi.probe());
  try {
    ipmi.power();
    FAIL() << "power() without an address succeeded";
  } catch (const _Error& e) {
    EXPECT_NE(std::string(e.what()).find("] unset: ipmi_cmd_get_chassis_status failed"), std::string::npos)
        << e.what();
  }
  const std::string text = out.text();
  size_t lines = 0;
  for (size_t at = 0; (at = text.find("unset hostname, skip IPMI connection", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 2u) << "one log line per attempt:\n" << text;
  EXPECT_EQ(text.find("secret"), std::string::npos);
}

TEST(Ipmi, CopyAndReset) {
  IPMI original("10.0.0.5", "ADMIN", "QZWRT");
  original.skip(IPMI::skip_power);
  IPMI copy(&original);
  EXPECT_EQ(copy.hostname(), "10.0.0.5");
  EXPECT_EQ(copy.username(), "ADMIN");
  EXPECT_EQ(copy.password(), "QZWRT");
  EXPECT_FALSE(copy.skip(1, IPMI::skip_power, 5)) << "back-off records start fresh";
  EXPECT_TRUE(copy.begin() == copy.end()) << "no table before the first pass";

  try {
    IPMI bad(static_cast<const IPMI*>(nullptr));
    FAIL();
  } catch (const _Error& e) {
    EXPECT_NE(std::string(e.what()).find("] Create new IPMI from null pointer"), std::string::npos);
  }

  original.reset("10.0.0.6", "", "");
  EXPECT_EQ(original.hostname(), "10.0.0.6");
  EXPECT_EQ(original.username(), "");
  EXPECT_TRUE(original.skip(1, IPMI::skip_power, 5)) << "re-pointing keeps the back-off records";
  original.forceUnlock();
}

}  // namespace
