// The registry keeps the hosts file and dhcpd.conf true to the table through
// failures: free names, files caught up at start and after a failed write,
// dhcpd's own check before a configuration goes live, leftovers of a kill.
// Every configuration written here is checked by the real dhcpd (RegistryRoot).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "modules/files.h"
#include "modules/nodes.h"
#include "tests/support/registry_root.h"

namespace {

using trl::test::leaseBlock;
using trl::test::readFile;
using trl::test::writeFile;

class RegistryFiles : public ::testing::Test {
 protected:
  trl::test::RegistryRoot root;

  std::string mac(int i) const {
    char text[18];
    std::snprintf(text, sizeof text, "00:25:90:00:01:%02x", i);
    return text;
  }
  std::string lease(int i) const { return leaseBlock("10.0.0." + std::to_string(100 + i), mac(i)); }
  static std::vector<std::string> names(Nodes& nodes) {
    const Nodes::SharedAccess table(nodes);
    std::vector<std::string> out;
    for (const Nodes::Node* node = table.begin(); node != table.end(); ++node) out.push_back(node->eth0.name());
    return out;
  }
  bool hostsName(const std::string& name) const {
    return readFile(root.path("/etc/hosts")).find("\t" + name + "\n") != std::string::npos;
  }
};

TEST_F(RegistryFiles, NewServersTakeAFreeNameAndNamesAreValidated) {
  root.setLeases(lease(1) + lease(2) + lease(3) + lease(4) + lease(5) + lease(6));
  Nodes nodes(root.config());
  nodes.removeNode(1);  // node2
  root.appendLeases(lease(7));
  nodes.update();
  EXPECT_EQ(names(nodes), (std::vector<std::string>{"node1", "node3", "node4", "node5", "node6", "node7"}))
      << "node6 is taken: the lowest free number above it";
  EXPECT_EQ(nodes.dhcpConfError(), "");
  nodes.removeNode(0);
  root.appendLeases(lease(8));
  nodes.update();
  EXPECT_EQ(names(nodes).front(), "node3");
  EXPECT_EQ(names(nodes).back(), "node8") << "count + 1 = 6 is taken, 7 too";

  EXPECT_NE(trl::test::errorOf([&] { nodes.nodeNamePrefix("rack 1"); }).find("invalid host name"), std::string::npos);
  EXPECT_NE(trl::test::errorOf([&] { nodes.nodeNamePrefix("abcdefghijklm"); }).find("invalid"), std::string::npos);
  EXPECT_EQ(nodes.nodeNamePrefix(), "node");
  nodes.nodeNamePrefix("r-");
  EXPECT_EQ(names(nodes).front(), "r-3");
  EXPECT_TRUE(hostsName("r-3"));
}

TEST_F(RegistryFiles, FilesBehindTheTableAreCaughtUpAtStartAndAfterAFailedWrite) {
  root.setLeases(lease(1));
  { Nodes nodes(root.config()); }
  // As after a kill between the table and the files, or a full disk.
  writeFile(root.path("/etc/hosts"), root.hostsTemplate());
  const size_t calls = root.controlCalls().size();
  {
    Nodes nodes(root.config());
    EXPECT_TRUE(hostsName("node1")) << "rewritten at start";
    EXPECT_EQ(root.controlCalls().size(), calls + 2) << "and the DHCP server restarted";
  }
  { Nodes nodes(root.config()); }
  EXPECT_EQ(root.controlCalls().size(), calls + 2) << "files that match the table are left alone";

  Nodes nodes(root.config());
  const std::string conf = root.path("/etc/dhcp");
  ASSERT_EQ(::rename(conf.c_str(), (conf + ".away").c_str()), 0);
  root.appendLeases(lease(2));
  EXPECT_NE(trl::test::errorOf([&] { nodes.update(); }), "");
  EXPECT_FALSE(hostsName("node2"));
  ASSERT_EQ(::rename((conf + ".away").c_str(), conf.c_str()), 0);
  nodes.update();  // nothing new in the leases: the owed write alone
  EXPECT_TRUE(hostsName("node2"));
  EXPECT_NE(readFile(root.path("/etc/dhcp/dhcpd.conf")).find("host node2\t"), std::string::npos);
}

TEST_F(RegistryFiles, AServiceControlProgramThatCannotRunIsReportedAndTheRestartStaysOwed) {
  const std::string control = root.path("/sbin/initctl");
  ASSERT_EQ(::rename(control.c_str(), (control + ".away").c_str()), 0);
  root.setLeases(lease(1));
  Nodes nodes(root.config());  // starts, and writes the files
  EXPECT_TRUE(hostsName("node1"));
  const std::string error = nodes.dhcpConfError();
  EXPECT_EQ(error.find("DHCP server not restarted: cannot run " + control + ": "), 0u) << error;
  ASSERT_EQ(::rename((control + ".away").c_str(), control.c_str()), 0);
  nodes.update();  // nothing new in the leases
  EXPECT_EQ(root.controlCalls(), (std::vector<std::string>{"stop isc-dhcp-server", "start isc-dhcp-server"}));
  EXPECT_EQ(nodes.dhcpConfError(), "");
}

TEST_F(RegistryFiles, DhcpdRefusalKeepsTheLiveFilesAndTheServerAndNoDhcpdMeansUnchecked) {
  root.setLeases(lease(1));
  Nodes nodes(root.config());
  const std::string hosts = readFile(root.path("/etc/hosts")), conf = readFile(root.path("/etc/dhcp/dhcpd.conf"));
  const std::string dhcp_template = root.path("/usr/share/trellium/host/dhcpd.conf.in");
  // A host the administrator added by hand under a name Trellium gives next.
  writeFile(dhcp_template, root.dhcpTemplate() + "\thost node2 { hardware ethernet 00:25:90:00:01:09; }\n");
  const size_t calls = root.controlCalls().size();
  trl::test::CaptureStdout out;
  root.appendLeases(lease(2));
  nodes.update();
  const std::string error = nodes.dhcpConfError();
  EXPECT_EQ(error.find("dhcpd.conf rejected: line "), 0u) << error;
  EXPECT_NE(error.find(": host node2: already exists"), std::string::npos) << error;
  EXPECT_EQ(readFile(root.path("/etc/hosts")), hosts);
  EXPECT_EQ(readFile(root.path("/etc/dhcp/dhcpd.conf")), conf);
  EXPECT_EQ(root.controlCalls().size(), calls);
  writeFile(dhcp_template, root.dhcpTemplate());
  nodes.update();
  EXPECT_EQ(nodes.dhcpConfError(), "") << "the next good write clears it";
  EXPECT_TRUE(hostsName("node2"));

  ASSERT_EQ(::unlink(root.path("/usr/sbin/dhcpd").c_str()), 0);
  for (int i = 3; i <= 4; ++i) {
    root.appendLeases(lease(i));
    nodes.update();
  }
  EXPECT_TRUE(hostsName("node4"));
  const std::string log = out.text(), warning = "is not installed: the DHCP configuration is written unchecked";
  EXPECT_NE(log.find(warning), std::string::npos);
  EXPECT_EQ(log.find(warning), log.rfind(warning)) << "once";
  EXPECT_NE(log.find("dhcpd.conf rejected: line "), std::string::npos);
}

TEST_F(RegistryFiles, StagingLeftoversGoAndLinksAreReplacedNotFollowed) {
  const std::string leftover = root.path("/etc/dhcp/.dhcpd.conf.Ab12Cd"), other = root.path("/etc/dhcp/.dhcpd.conf.keep");
  writeFile(leftover, "half");
  writeFile(other, "not ours");
  { Nodes nodes(root.config()); }
  EXPECT_EQ(trl::test::fileSize(leftover), -1);
  EXPECT_EQ(trl::test::fileSize(other), 8);

  const std::string secret = root.path("/secret"), target = root.path("/etc/planted");
  writeFile(secret, "keep");
  ::chmod(secret.c_str(), 0600);
  ASSERT_EQ(::symlink(secret.c_str(), target.c_str()), 0);
  trl::replaceFile(target, "new");
  struct stat st;
  ASSERT_EQ(::lstat(target.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u) << "the link's target's mode is not copied";
  EXPECT_EQ(readFile(secret), "keep");
}

}  // namespace
