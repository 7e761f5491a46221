// The node registry in a scratch system root where nothing answers IPMI:
// merging, the hosts and DHCP files, the module's events and its lock.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "modules/nodes.h"
#include "modules/utils.h"
#include "tests/support/registry_root.h"

namespace {

using trl::test::leaseBlock;
using trl::test::readFile;
using Node = Nodes::Node;

class Registry : public ::testing::Test {
 protected:
  trl::test::RegistryRoot root;

  // The real DHCP server checks the configuration we generated.
  void expectAcceptedByDhcpd() {
    std::string dhcpd = "/usr/sbin/dhcpd", test = "-t", quiet = "-q", cf = "-cf",
                conf = root.path("/etc/dhcp/dhcpd.conf");
    char* const args[] = {dhcpd.data(), test.data(), quiet.data(), cf.data(), conf.data(), nullptr};
    trl::test::CaptureStdout out;
    EXPECT_NO_THROW(launch(args, 0, true, true)) << readFile(conf);
  }

  static std::vector<Node> records(Nodes& nodes) {
    const Nodes::SharedAccess table(nodes);
    return std::vector<Node>(table.begin(), table.end());
  }

  // Edits the table the way the Servers tab does, then saves.
  template <typename Edit>
  static void edit(Nodes& nodes, Edit change) {
    {
      Nodes::ExclusiveAccess table(nodes);
      change(table);
    }
    nodes.commit();
  }
};

TEST_F(Registry, LeasesBecomeNamedHostRecordsAndTheLaterAddressCounts) {
  root.setLeases(leaseBlock("10.0.0.11", "00:25:90:01:02:03") + leaseBlock("10.0.0.12", "18:a9:05:00:00:01") +
                 leaseBlock("10.0.0.13", "00:11:22:33:44:55"));  // no rule for this brand
  trl::test::CaptureStdout out;
  Nodes nodes;
  auto table = records(nodes);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].eth0.name(), "node1");
  EXPECT_EQ(table[0].eth0.ip_str(), "10.0.0.11");
  EXPECT_EQ(table[1].eth0.name(), "node2");
  EXPECT_EQ(table[1].mc.mac(), 0u) << "nothing answered IPMI: a host interface";
  EXPECT_EQ(root.controlCalls(), (std::vector<std::string>{"stop isc-dhcp-server", "start isc-dhcp-server"}));
  EXPECT_NE(readFile(root.path("/etc/hosts")).find("\n10.0.0.11\tnode1\n10.0.0.12\tnode2\n"), std::string::npos);

  for (int i = 0; i < 2; ++i) {
    root.appendLeases(leaseBlock("10.0.0.21", "00:25:90:01:02:03"));
    nodes.update();
  }
  const std::string log = out.text();
  EXPECT_NE(log.find("MAC addr not in supported range, filtered out"), std::string::npos);
  EXPECT_NE(log.find("found 2 with 2 nodes"), std::string::npos);
  EXPECT_NE(log.find("found 1 with 2 nodes"), std::string::npos) << "one change for the new address";
  EXPECT_NE(log.find("found 0 with 2 nodes"), std::string::npos) << "a repeated lease changes nothing";
  table = records(nodes);
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].eth0.ip_str(), "10.0.0.21");
  EXPECT_EQ(root.controlCalls().size(), 4u) << "saved twice: at start and for the new address";
}

TEST_F(Registry, RecordsVanishWithTheirLeasesAndReloadFromDisk) {
  root.setLeases(leaseBlock("10.0.0.11", "00:25:90:01:02:03") + leaseBlock("10.0.0.12", "00:25:90:01:02:04"));
  {
    Nodes nodes;
    ASSERT_EQ(records(nodes).size(), 2u);
  }
  EXPECT_EQ(trl::test::fileSize(root.path("/var/lib/trellium/nodes.db")), 2 * 336);
  root.setLeases(leaseBlock("10.0.0.12", "00:25:90:01:02:04"));
  Nodes nodes;
  const auto table = records(nodes);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].eth0.name(), "node2") << "the surviving record keeps its name";
}

TEST_F(Registry, HostsAndDhcpFilesForOnePairedServer) {
  Nodes nodes;
  edit(nodes, [&](Nodes::ExclusiveAccess&) {
    Node::Interface host(0x002590010203ULL, 0x0A00000BU);
    host.name("node1");
    Node node(host);
    node.mc = Node::Interface(0x002590010205ULL, 0x0A00000CU);
    node.mc.name("node1-mc");
    NodesTestAccess::store(nodes).push_back(node);
  });
  EXPECT_EQ(readFile(root.path("/etc/hosts")), root.hostsTemplate() + "10.0.0.11\tnode1\n10.0.0.12\tnode1-mc\n");
  const std::string dhcp = root.dhcpTemplate() +
                           "\n\tgroup {\n\t\tfilename \"trellium/pxelinux.0\";\n"
                           "\t\thost node1\t{ hardware ethernet 00:25:90:01:02:03; fixed-address node1; }\n"
                           "\t\thost node1-mc\t{ hardware ethernet 00:25:90:01:02:05; fixed-address node1-mc; }\n"
                           "\t}\n}\n";
  EXPECT_EQ(readFile(root.path("/etc/dhcp/dhcpd.conf")), dhcp);

  expectAcceptedByDhcpd();
}

TEST_F(Registry, OutputEdgeCases) {
  Nodes nodes;
  edit(nodes, [&](Nodes::ExclusiveAccess&) {
    Node::Interface blank;
    Node empty_node(blank);  // neither MAC nor address: no lines at all
    NodesTestAccess::store(nodes).push_back(empty_node);
    Node::Interface host;
    host.name("node7");
    Node controller_only(host);
    controller_only.mc = Node::Interface(0x002590000007ULL, 0);
    controller_only.mc.name("node7-mc");
    NodesTestAccess::store(nodes).push_back(controller_only);
  });
  EXPECT_EQ(readFile(root.path("/etc/hosts")), root.hostsTemplate() + "0.0.0.0\tnode7-mc\n");
}

TEST_F(Registry, ResetRestoresTheTemplatesAndDropsLeases) {
  root.setLeases("# leases\n" + leaseBlock("10.0.0.11", "00:25:90:01:02:03") +
                 leaseBlock("10.0.0.99", "00:11:22:33:44:55"));
  Nodes nodes;
  ASSERT_EQ(records(nodes).size(), 1u);
  nodes.reset();
  EXPECT_TRUE(records(nodes).empty());
  EXPECT_EQ(readFile(root.path("/etc/hosts")), root.hostsTemplate());
  EXPECT_EQ(readFile(root.path("/etc/dhcp/dhcpd.conf")), root.dhcpTemplate() + "\n}\n");
  expectAcceptedByDhcpd();
  EXPECT_EQ(readFile(root.path("/var/lib/dhcp/dhcpd.leases")),
            "# leases\n" + leaseBlock("10.0.0.99", "00:11:22:33:44:55"));
}

TEST_F(Registry, RemoveNodeTakesOnlyItsOwnEntries) {
  const std::string other = leaseBlock("10.0.0.20", "00:25:90:00:00:20");
  root.setLeases(leaseBlock("10.0.0.2", "00:25:90:00:00:02") + other);
  Nodes nodes;
  ASSERT_EQ(records(nodes).size(), 2u);
  nodes.removeNode(0);  // node1 = 10.0.0.2
  const auto table = records(nodes);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].eth0.ip_str(), "10.0.0.20");
  const std::string hosts = readFile(root.path("/etc/hosts"));
  EXPECT_EQ(hosts.find("10.0.0.2\t"), std::string::npos);
  EXPECT_NE(hosts.find("\n10.0.0.20\tnode2\n"), std::string::npos);
  const std::string dhcp = readFile(root.path("/etc/dhcp/dhcpd.conf"));
  EXPECT_EQ(dhcp.find("00:25:90:00:00:02;"), std::string::npos);
  EXPECT_NE(dhcp.find("00:25:90:00:00:20;"), std::string::npos);
  EXPECT_EQ(readFile(root.path("/var/lib/dhcp/dhcpd.leases")), other) << "the other block stays byte for byte";

  nodes.removeNode(5);  // no such record: nothing happens
  EXPECT_EQ(records(nodes).size(), 1u);
}

TEST_F(Registry, DhcpControlFailureIsLoggedNotThrown) {
  root.setControlStatus(3);
  root.setLeases(leaseBlock("10.0.0.11", "00:25:90:01:02:03"));
  trl::test::CaptureStdout out;
  Nodes nodes;
  const std::string log = out.text();
  EXPECT_NE(log.find("/sbin/initctl stop isc-dhcp-server } exited with 3; expected 0"), std::string::npos) << log;
  EXPECT_NE(log.find("/sbin/initctl start isc-dhcp-server } exited with 3; expected 0"), std::string::npos);
  EXPECT_EQ(records(nodes).size(), 1u);
}

TEST_F(Registry, EventDescriptorsAreSemaphoresAndLockMisuseLeavesTheLockFree) {
  Nodes nodes;
  std::vector<std::pair<std::string, int>> fds;
  for (const auto& e : nodes.eventfds()) fds.emplace_back(e.name, e.fd);
  EXPECT_EQ(fds, (std::vector<std::pair<std::string, int>>{{"Inotify fd", nodes.leasesModifiedFd()},
                                                           {"Event fd", nodes.nodeChangedFd()},
                                                           {"IPMI fd", nodes.powerStatusChangedFd()},
                                                           {"History fd", nodes.historyUpdateFd()}}));
  trl::test::CaptureStdout out;
  nodes.triggerIpmiEvent();
  EXPECT_TRUE(nodes.changed(nodes.powerStatusChangedFd()));
  nodes.history().triggerEvent();
  EXPECT_TRUE(nodes.changed(nodes.historyUpdateFd()));
  // Semaphore mode: a write of 2 is two events, each read as the token 1.
  const uint64_t two = 2;
  ASSERT_EQ(::write(nodes.nodeChangedFd(), &two, sizeof two), 8);
  EXPECT_TRUE(nodes.changed(nodes.nodeChangedFd()));
  EXPECT_TRUE(nodes.changed(nodes.nodeChangedFd()));
  pollfd pending{nodes.nodeChangedFd(), POLLIN, 0};
  EXPECT_EQ(::poll(&pending, 1, 0), 0) << "both events consumed";
  EXPECT_NE(trl::test::errorOf([&] { nodes.changed(0); }).find("] unexpected fd"), std::string::npos);

  EXPECT_NE(trl::test::errorOf([&] { nodes.shared_finished(); }).find("] lock should be unlocked"), std::string::npos);
  EXPECT_THROW(nodes.exclusive_finished(), _Error);
  nodes.exclusive_begin();  // would hang if the failed checks had left it held
  nodes.exclusive_finished();
}

TEST_F(Registry, LeasesWatchFollowsAppendsAndIgnoresOurOwnRestartOnce) {
  Nodes nodes;
  trl::test::CaptureStdout out;
  root.appendLeases(leaseBlock("10.0.0.11", "00:25:90:01:02:03"));  // the server appends in place
  EXPECT_TRUE(nodes.changed(nodes.leasesModifiedFd()));
  EXPECT_EQ(records(nodes).size(), 1u);
  // That merge restarted the DHCP server, which replaces the leases file.
  const std::string leases = root.path("/var/lib/dhcp/dhcpd.leases");
  auto replace = [&](const std::string& text) {
    trl::test::writeFile(leases + ".1765000000", text);
    ASSERT_EQ(::rename((leases + ".1765000000").c_str(), leases.c_str()), 0);
  };
  // A lease appended in the same read as that replacement is merged all the same.
  replace(readFile(leases));
  root.appendLeases(leaseBlock("10.0.0.12", "00:25:90:01:02:04"));
  EXPECT_TRUE(nodes.changed(nodes.leasesModifiedFd()));
  EXPECT_EQ(records(nodes).size(), 2u);
  replace(readFile(leases));  // the restart after that merge
  bool changed = true;
  for (int i = 0; i < 4 && changed; ++i) changed = nodes.changed(nodes.leasesModifiedFd());
  EXPECT_FALSE(changed);
  replace(readFile(leases) + leaseBlock("10.0.0.13", "00:25:90:01:02:05"));
  for (int i = 0; i < 4 && !changed; ++i) changed = nodes.changed(nodes.leasesModifiedFd());
  EXPECT_TRUE(changed) << "the next replacement counts";
  EXPECT_EQ(records(nodes).size(), 3u);
  const std::string log = out.text();
  EXPECT_NE(log.find("Change initiated by DHCP server restarting. Ignore leases file replacement"), std::string::npos);
  EXPECT_NE(log.find("leases file modified or replaced; event.mask=2 or IN_MODIFY "), std::string::npos) << log;
  EXPECT_NE(log.find("or IN_MOVED_TO "), std::string::npos);
}

TEST_F(Registry, PrefixChangeRenamesOnlyNumberedNamesAndIsTextNotAPattern) {
  Nodes nodes;
  edit(nodes, [&](Nodes::ExclusiveAccess&) {
    const char* names[] = {"node1", "node12", "mynode1", "node1a", "nxde5"};
    for (int i = 0; i < 5; ++i) {
      Node::Interface host(0x002590000000ULL + i, 0x0A000010U + i);
      host.name(names[i]);
      Node node(host);
      node.mc = Node::Interface(0x002590000100ULL + i, 0x0A000020U + i);
      NodesTestAccess::store(nodes).push_back(node);
    }
  });
  // A prefix starts host names: a pattern's characters are refused outright.
  EXPECT_NE(trl::test::errorOf([&] { nodes.nodeNamePrefix("n.de"); }).find("invalid name prefix"), std::string::npos);
  nodes.nodeNamePrefix("rack");
  std::vector<std::string> eth0, mc;
  for (const Node& n : records(nodes)) {
    eth0.push_back(n.eth0.name());
    mc.push_back(n.mc.name());
  }
  std::sort(eth0.begin(), eth0.end());
  EXPECT_EQ(eth0, (std::vector<std::string>{"mynode1", "node1a", "nxde5", "rack1", "rack12"}));
  EXPECT_NE(std::find(mc.begin(), mc.end(), "rack12-mc"), mc.end());
  EXPECT_NE(readFile(root.path("/etc/hosts")).find("\track1-mc\n"), std::string::npos);
  expectAcceptedByDhcpd();
}

TEST_F(Registry, ReportOfAnEmptyTableHasEverySectionAndTableQueries) {
  Nodes nodes;
  const std::string report = nodes.toString();
  const std::string bar = std::string(28, '-') + "\n";
  EXPECT_EQ(report.rfind(bar + "List of nodes\nNode name prefix: node\n" + bar + "\n", 0), 0u) << report;
  EXPECT_NE(report.find(bar + "Hosts file\n" + bar + bar + "dhcp.conf file\n" + bar + root.dhcpTemplate()),
            std::string::npos);
  EXPECT_NE(report.find(bar + "IPMI rules\n" + bar +
                        "Rule name\tMAC address prefix\tUsername\tPassword\tMAC address offset\tSerial console\n"
                        "Supermicro\t00:25:90:00:00:00\tADMIN\tQZWRT\t0\t2\n"),
            std::string::npos);
  EXPECT_EQ(nodes.emptyPartitionExists(), 0) << "empty table";
  EXPECT_FALSE(nodes.hostNameDuplicated());
  auto with_partitions = [&](std::vector<int> partitions) {
    Nodes::ExclusiveAccess table(nodes);
    NodesTestAccess::store(nodes).clear();
    for (size_t i = 0; i < partitions.size(); ++i) {
      Node::Interface host(0x002590000000ULL + i, 0x0A000010U + i);
      host.name("node" + std::to_string(i + 1));
      Node node(host);
      node.partition = partitions[i];
      NodesTestAccess::store(nodes).push_back(node);
    }
  };
  with_partitions({0, 1, 3});
  EXPECT_EQ(nodes.emptyPartitionExists(), 2);
  with_partitions({0, 1, 2});
  EXPECT_EQ(nodes.emptyPartitionExists(), -1);
  with_partitions({1});
  EXPECT_EQ(nodes.emptyPartitionExists(), 0);
  {
    Nodes::ExclusiveAccess table(nodes);
    Node::Interface host(0x002590000009ULL, 0x0A000019U);
    host.name("node1");
    NodesTestAccess::store(nodes).push_back(Node(host));
  }
  EXPECT_TRUE(nodes.hostNameDuplicated());
}

TEST_F(Registry, ServicesStopPromptlyWhileSessionsAreOpen) {
  const trl::test::SessionOpen watching(root);
  root.setLeases(leaseBlock("10.0.0.11", "00:25:90:01:02:03"));
  for (int i = 0; i < 3; ++i) {
    Nodes nodes(root.config());  // the polling and history threads run; destruction must not hang
    EXPECT_EQ(records(nodes).size(), 1u);
  }
}

}  // namespace
