// Reading (address, MAC) pairs out of the DHCP server's leases file.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "modules/nodes.h"
#include "tests/support/registry_root.h"

namespace {

using trl::test::leaseBlock;

// Each text with the (address, MAC) pairs it must give, in file order.
TEST(Leases, OnlyWellFormedEthernetBlocksCountInFileOrder) {
  using Pairs = std::vector<std::pair<ipaddr, macaddr>>;
  const std::vector<std::tuple<const char*, std::string, Pairs>> cases = {
      {"blocks in file order, other statements between them",
       "# The format of this file is documented in the dhcpd.leases(5) manual page.\n"
       "authoring-byte-order little-endian;\n\n" +
           leaseBlock("10.0.0.12", "00:25:90:01:02:05") + leaseBlock("10.0.0.11", "00:25:90:01:02:03") +
           "server-duid \"\\000\\001\";\n" + leaseBlock("10.0.0.13", "00:25:90:01:02:05"),
       {{0x0A00000C, 0x002590010205}, {0x0A00000B, 0x002590010203}, {0x0A00000D, 0x002590010205}}},
      {"malformed blocks are skipped",
       leaseBlock("10.0.0.1", "00:25:90:AB:CD:EF") +    // upper case
           leaseBlock("10.0.0.256", "00:25:90:00:00:01") +   // octet out of range
           leaseBlock("10.0.0.0001", "00:25:90:00:00:02") +  // four digits
           leaseBlock("0.0.0.0", "00:25:90:00:00:03") +      // no address
           "lease 10.0.0.9 {\n  binding state free;\n}\n" +  // no hardware line, nor the next one's
           leaseBlock("10.0.0.7", "00:25:90:00:00:07") + "lease 10.0.0.8 {\n  hardware ethernet 00:25:9",
       {{0x0A000007, 0x002590000007}}},
      // What dhcpd writes for a client of another hardware type: the client
      // chose its uid and host name, word for word.
      {"only a hardware ethernet line counts, and nothing quoted",
       "lease 10.0.0.66 {\n  hardware token-ring 00:00:0c:00:00:01;\n"
       "  uid \"\\001\nhardware ethernet 00:25:90:01:00:01;\\\"\n}\";\n"
       "  client-hostname \"x\"; hardware ethernet 00:25:90:01:00:01;\n}\n" +
           leaseBlock("10.0.0.11", "00:25:90:01:00:02"),
       {{0x0A00000B, 0x002590010002}}}};
  for (const auto& [what, text, expected] : cases) {
    Pairs found;
    for (const auto& lease : Nodes::parseLeases(text)) found.emplace_back(lease.ip, lease.mac);
    EXPECT_EQ(found, expected) << what;
  }
}

TEST(Leases, NewServersAreNumberedByFirstLeaseAndLatestAddressCounts) {
  trl::test::RegistryRoot root;
  root.setLeases(leaseBlock("10.0.0.111", "00:25:90:00:00:0a") + leaseBlock("10.0.0.112", "00:25:90:00:00:0b") +
                 leaseBlock("10.0.0.113", "00:25:90:00:00:0a"));
  Nodes nodes(root.config());
  const Nodes::SharedAccess table(nodes);
  ASSERT_EQ(table.end() - table.begin(), 2);
  EXPECT_EQ(table.begin()[0].eth0.toString(), "mac=00:25:90:00:00:0a ip=10.0.0.113 name=node1");
  EXPECT_EQ(table.begin()[1].eth0.toString(), "mac=00:25:90:00:00:0b ip=10.0.0.112 name=node2");
}

TEST(Leases, LargeHostileTextIsScannedInOnePass) {
  // Many headers without closing lines, then many hardware lines without
  // headers: a backtracking or restarting scan would take quadratic time or
  // overflow the stack here.
  std::string text;
  text.reserve(12 << 20);
  while (text.size() < (4u << 20)) text += "lease 10.0.0.1 {\n  starts 0 2026/12/06;\n";
  while (text.size() < (8u << 20)) text += "  hardware ethernet zz:zz;\n";
  while (text.size() < (10u << 20)) text += leaseBlock("10.0.1.2", "00:25:90:00:01:02");
  const auto leases = Nodes::parseLeases(text);
  ASSERT_GT(leases.size(), 1000u);
  EXPECT_EQ(leases.back().ip, 0x0A000102U);
}

}  // namespace
