// Node records as a file format, vendor rules and the texts of MACs and addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "modules/nodes.h"
#include "tests/support/registry_root.h"

namespace {

using Node = Nodes::Node;
using Interface = Nodes::Node::Interface;

struct CredentialsReset {
  ~CredentialsReset() {
    IpmiCredentials::getInstance().username.clear();
    IpmiCredentials::getInstance().password.clear();
  }
};

TEST(NodeRecord, OnDiskLayoutIsLittleEndianAtFixedOffsets) {
  trl::test::RegistryRoot root;
  Interface host(0x002590010203ULL, 0x0A00000BU);
  host.name("node1");
  Node node(host);  // nothing answers IPMI in the test namespace: a host interface
  node.partition = -1;
  node.ipmiProbeFailedCount = 2;
  node.setError("boom");
  unsigned char raw[336];
  std::memcpy(raw, &node, sizeof raw);
  EXPECT_EQ(raw[0], 0x03);
  EXPECT_EQ(raw[5], 0x00);
  EXPECT_EQ(raw[4], 0x25);
  EXPECT_EQ(raw[8], 0x0B);  // 10.0.0.11, low byte first
  EXPECT_EQ(raw[11], 0x0A);
  EXPECT_STREQ(reinterpret_cast<const char*>(raw + 12), "node1");
  EXPECT_EQ(raw[28], 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(raw + 44), "unset");  // mc name
  EXPECT_EQ(raw[68], Node::Unknown);
  EXPECT_EQ(raw[72], 0xff);  // partition -1
  EXPECT_STREQ(reinterpret_cast<const char*>(raw + 76), "boom");
  EXPECT_EQ(raw[332], 2);
}

TEST(NodeRecord, RulesMatchByManufacturerPrefix) {
  EXPECT_TRUE(Node::isServerMacAddr(0x002590abcdefULL));
  EXPECT_EQ(Node::serverBrand(0x003048000001ULL), "Supermicro");
  EXPECT_EQ(Node::serverSerialport(0x002590abcdefULL), 2);
  EXPECT_EQ(Node::ipmiUsername(0x002590abcdefULL), "ADMIN");
  EXPECT_EQ(Node::ipmiRule(0xe41f13000014ULL).macaddr_offset, 4);
  for (const macaddr unknown : {0x002591000000ULL, 0x000000000001ULL}) {
    EXPECT_FALSE(Node::isServerMacAddr(unknown));
    EXPECT_EQ(Node::serverBrand(unknown), "Unknown");
    EXPECT_EQ(Node::serverSerialport(unknown), -1);
    EXPECT_EQ(Node::ipmiUsername(unknown), "");
    EXPECT_EQ(Node::ipmiPassword(unknown), "");
  }
}

TEST(NodeRecord, CredentialOverridesActIndependently) {
  const CredentialsReset restore;
  IpmiCredentials::getInstance().username = "operator";
  EXPECT_EQ(Node::ipmiUsername(0x002590abcdefULL), "operator");
  EXPECT_EQ(Node::ipmiPassword(0x002590abcdefULL), "QZWRT");
  EXPECT_EQ(Node::ipmiUsername(0x002591000000ULL), "operator") << "the override applies to every node";
}

TEST(NodeRecord, MacAndAddressTexts) {
  Interface iface;
  EXPECT_EQ(iface.mac_str(), "unset");
  iface.mac(static_cast<macaddr>(0xff));
  EXPECT_EQ(iface.mac_str(), "00:00:00:00:00:ff");
  iface.ip(0x0A000005U);
  EXPECT_EQ(iface.ip_str(), "10.0.0.5");

  iface.mac(std::string("00:25:90:AB:cd:ef"));
  EXPECT_EQ(iface.mac(), 0x002590abcdefULL);
  EXPECT_EQ(iface.toString(), "mac=00:25:90:ab:cd:ef ip=10.0.0.5 name=unset");
  iface.mac(std::string("unset"));
  EXPECT_EQ(iface.mac(), 0u);
  EXPECT_EQ(iface.ip(), 0u) << "unset clears the address too";

  auto message = [&](const std::string& text) {
    return trl::test::errorOf<std::invalid_argument>([&] { iface.mac(text); });
  };
  EXPECT_EQ(message("00:25:90:01:02"), "MAC address must be 17 characters long");
  EXPECT_EQ(message("00-25-90-01-02-03"), "MAC address format must be xx:xx:xx:xx:xx:xx");
  EXPECT_EQ(message("0g:25:90:01:02:03"), "MAC address format must be xx:xx:xx:xx:xx:xx");
  EXPECT_EQ(message("000:25:90:01:02:3"), "MAC address format must be xx:xx:xx:xx:xx:xx");
}

TEST(NodeRecord, NamesAreHostNamesOrRefused) {
  Interface iface;
  iface.setUpdated(false);
  iface.name("");
  EXPECT_EQ(iface.name(), "unset");
  EXPECT_TRUE(iface.isUpdated());
  iface.name("Rack-1_a9");
  EXPECT_EQ(iface.name(), "Rack-1_a9");
  for (const char* bad : {"abcdefghijklmnop", "node 1", "n\"; }", "_node", "-node", "node.1", "n\u00e9"})
    EXPECT_NE(trl::test::errorOf([&] { iface.name(bad); }).find("] invalid host name"), std::string::npos) << bad;
  EXPECT_EQ(iface.name(), "Rack-1_a9") << "a refused name changes nothing";
  EXPECT_EQ(NodeRecord::controllerName("abcdefghijklmn"), "abcdefghijklmn-");
}

TEST(NodeRecord, TableOrderIsVersionOrderOfHostNamesAndAnUnknownPowerStateIsNamed) {
  trl::test::RegistryRoot root;
  std::vector<Node> nodes;
  for (const char* name : {"node10", "node2", "node1"}) {
    Interface iface(0x002590000001ULL, 0x0A000001U);
    iface.name(name);
    nodes.emplace_back(iface);
  }
  std::sort(nodes.begin(), nodes.end());
  EXPECT_EQ(nodes[0].eth0.name() + " " + nodes[1].eth0.name() + " " + nodes[2].eth0.name(), "node1 node2 node10");
  EXPECT_EQ(Node::toPowerStatusStr(static_cast<Node::PowerStatus>(9)), "unknown");
}

TEST(NodeRecord, ResolveNamesFromTheHostsFileByWholeAddress) {
  trl::test::RegistryRoot root;
  trl::test::writeFile(root.path("/etc/hosts"), root.hostsTemplate() + "10.0.0.20\tnode20.cluster node20\n");
  Interface near(0x002590000001ULL, 0x0A000002U);  // 10.0.0.2 is not 10.0.0.20
  near.resolve();
  EXPECT_EQ(near.name(), "unset");
  EXPECT_NE(trl::test::readFile(root.path("/etc/hosts")).find("\n10.0.0.2\tunset\n"), std::string::npos);
  Interface far(0x002590000002ULL, 0x0A000014U);
  far.resolve();
  EXPECT_EQ(far.name(), "node20");
}

}  // namespace
