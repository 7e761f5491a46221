// The node registry with real simulated controllers: discovery by IPMI
// probe, pairing, the polling thread's power states and back-off, group
// power commands and the sensor history.
#include <gtest/gtest.h>
#include <poll.h>

#include <cmath>
#include <thread>

#include "tests/support/bmc_sim.h"
#include "modules/nodes.h"
#include "tests/support/registry_root.h"

namespace {

using trl::test::leaseBlock;
using trl::test::SimulatedBmcs;
using Node = Nodes::Node;

std::vector<Node> records(Nodes& nodes) {
  const Nodes::SharedAccess table(nodes);
  return std::vector<Node>(table.begin(), table.end());
}

bool pending(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

void drainEvents(Nodes& nodes, int fd) {
  while (pending(fd)) nodes.changed(fd);
}

class RegistryLive : public ::testing::Test {
 protected:
  void SetUp() override { IPMI::setRetransmissionTimeout(100); }
  trl::test::RegistryRoot root;
};

TEST_F(RegistryLive, AnsweringControllerBecomesAnMcRecordAndPairsWithItsHost) {
  SimulatedBmcs bmcs(1, {"USERID", "MORTA1NE", 0xe41f13000010ULL});  // IBM: controller MAC = host MAC + 4
  root.setLeases(leaseBlock(bmcs.address(0), "e4:1f:13:00:00:14"));
  Nodes nodes;
  auto table = records(nodes);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].mc.name(), "node1-mc");
  EXPECT_EQ(table[0].mc.ip_str(), bmcs.address(0));
  EXPECT_EQ(table[0].eth0.mac_str(), "e4:1f:13:00:00:10") << "learned from the controller at once";
  EXPECT_EQ(table[0].eth0.ip(), 0u);
  EXPECT_NE(table[0].ipmi(), nullptr) << "a controller record gets its session";

  root.appendLeases(leaseBlock("10.0.0.30", "e4:1f:13:00:00:10"));  // the host boots
  nodes.update();
  table = records(nodes);
  ASSERT_EQ(table.size(), 1u) << "the host's lease fills the controller's record";
  EXPECT_EQ(table[0].eth0.mac_str(), "e4:1f:13:00:00:10");
  EXPECT_EQ(table[0].eth0.ip_str(), "10.0.0.30");
}

TEST_F(RegistryLive, HostFirstGetsItsControllerFromTheVendorCommand) {
  SimulatedBmcs bmcs(1, {"ADMIN", "QZWRT", 0x002590000100ULL});
  root.setLeases(leaseBlock("10.0.0.30", "00:25:90:00:01:00") + leaseBlock(bmcs.address(0), "00:25:90:00:01:01"));
  Nodes nodes;
  const auto table = records(nodes);
  ASSERT_EQ(table.size(), 1u) << "paired while the leases were merged";
  EXPECT_EQ(table[0].eth0.name(), "node1");
  EXPECT_EQ(table[0].eth0.ip_str(), "10.0.0.30");
  EXPECT_EQ(table[0].mc.mac_str(), "00:25:90:00:01:01");
  EXPECT_EQ(table[0].mc.name(), "node1-mc");
  EXPECT_NE(table[0].ipmi(), nullptr);
}

TEST_F(RegistryLive, HostFirstIsPairedByThePollingCycle) {
  SimulatedBmcs bmcs(1, {"USERID", "MORTA1NE", 0xe41f13000010ULL});
  bmcs.setOemMode(0, SimulatedBmcs::OemMode::WrongLength);  // a controller without the vendor command
  root.setLeases(leaseBlock("10.0.0.30", "e4:1f:13:00:00:10") + leaseBlock(bmcs.address(0), "e4:1f:13:00:00:14"));
  Nodes nodes;
  ASSERT_EQ(records(nodes).size(), 2u) << "host and controller records, not yet paired";
  // The host record is probed twice without answer; then it is paired with
  // the only controller-only record.
  for (int i = 0; i < 4 && records(nodes).size() == 2; ++i) NodesTestAccess::pollOnce(nodes);
  const auto table = records(nodes);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].eth0.mac_str(), "e4:1f:13:00:00:10");
  EXPECT_EQ(table[0].mc.mac_str(), "e4:1f:13:00:00:14");
  EXPECT_EQ(table[0].mc.name(), table[0].eth0.name() + "-mc");
  EXPECT_NE(trl::test::readFile(root.path("/etc/dhcp/dhcpd.conf")).find("e4:1f:13:00:00:10; fixed-address"),
            std::string::npos);
}

TEST_F(RegistryLive, LateControllerIsMovedAndLearnsTheHostMac) {
  SimulatedBmcs bmcs(1, {"ADMIN", "QZWRT", 0x002590a0b0c0ULL});
  bmcs.stop(0);  // its IPMI service is not up yet when the lease is merged
  root.setLeases(leaseBlock(bmcs.address(0), "00:25:90:a0:b0:c2"));
  Nodes nodes;
  ASSERT_EQ(records(nodes)[0].eth0.name(), "node1");
  ASSERT_EQ(records(nodes)[0].mc.mac(), 0u);
  bmcs.start(0);
  drainEvents(nodes, nodes.nodeChangedFd());
  NodesTestAccess::pollOnce(nodes);
  const auto table = records(nodes);
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0].mc.name(), "node1-mc");
  EXPECT_EQ(table[0].mc.mac_str(), "00:25:90:a0:b0:c2");
  EXPECT_EQ(table[0].eth0.name(), "node1");
  EXPECT_EQ(table[0].eth0.mac_str(), "00:25:90:a0:b0:c0") << "learned through the vendor command";
  EXPECT_TRUE(pending(nodes.nodeChangedFd())) << "a successful probe signals the table change";
}

TEST_F(RegistryLive, PollingFollowsPowerAndBacksOffFromADeadController) {
  SimulatedBmcs bmcs(1);
  root.setLeases(leaseBlock(bmcs.address(0), "00:25:90:00:01:01"));
  Nodes nodes;
  const int power_fd = nodes.powerStatusChangedFd();
  NodesTestAccess::pollOnce(nodes);
  EXPECT_EQ(records(nodes)[0].powerStatus(), Node::Up);
  EXPECT_TRUE(pending(power_fd));
  drainEvents(nodes, power_fd);
  NodesTestAccess::pollOnce(nodes);
  EXPECT_FALSE(pending(power_fd)) << "no change, no event";
  bmcs.setPowered(0, false);
  NodesTestAccess::pollOnce(nodes);
  EXPECT_EQ(records(nodes)[0].powerStatus(), Node::Down);
  EXPECT_TRUE(pending(power_fd));
  nodes.changed(power_fd);
  EXPECT_FALSE(pending(power_fd)) << "raised once";

  bmcs.stop(0);
  EXPECT_FALSE(NodesTestAccess::pollOnce(nodes)) << "after an error the next cycle starts at once";
  Node node = records(nodes)[0];
  EXPECT_EQ(node.powerStatus(), Node::ConnectionError);
  EXPECT_GT(std::strlen(node.error_str), 0u) << "the library's error text is kept";
  bmcs.start(0);
  // One node: the controller is left alone for 5 + 2 seconds.
  EXPECT_TRUE(NodesTestAccess::pollOnce(nodes));
  EXPECT_EQ(records(nodes)[0].powerStatus(), Node::ConnectionError) << "skipped inside the window";
  std::this_thread::sleep_for(std::chrono::seconds(8));
  NodesTestAccess::pollOnce(nodes);
  EXPECT_EQ(records(nodes)[0].powerStatus(), Node::Down) << "asked again after the window";
}

TEST_F(RegistryLive, NoIpmiTrafficWhileNobodyWatches) {
  SimulatedBmcs bmcs(1);
  root.setLeases(leaseBlock(bmcs.address(0), "00:25:90:00:01:01"));
  Nodes nodes;
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(records(nodes)[0].powerStatus(), Node::Unknown) << "the polling thread waited for a session";
  const trl::test::SessionOpen watching;
  for (int i = 0; i < 100 && records(nodes)[0].powerStatus() == Node::Unknown; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(records(nodes)[0].powerStatus(), Node::Up);
}

TEST_F(RegistryLive, GroupPowerHonoursTheProgressCallbackAndNamesTheNodesItMissed) {
  SimulatedBmcs bmcs(2);
  root.setLeases(leaseBlock(bmcs.address(0), "00:25:90:00:01:01") + leaseBlock(bmcs.address(1), "00:25:90:00:01:02") +
                 leaseBlock("10.0.0.77", "00:25:90:00:01:03"));  // a host nobody answers for: no session
  Nodes nodes;
  EXPECT_TRUE(nodes.powerOff([] { return false; }).empty()) << "a node left by a cancel is no failure";
  EXPECT_TRUE(bmcs.powered(0) && bmcs.powered(1)) << "cancelled before the first record";
  int calls = 0;
  EXPECT_TRUE(nodes.powerOff([&] { return ++calls < 2; }).empty());
  EXPECT_EQ(calls, 2);
  EXPECT_NE(bmcs.powered(0), bmcs.powered(1)) << "one server off, then cancelled";

  const std::vector<Node> table = records(nodes);
  ASSERT_EQ(table.size(), 3u);
  const auto at = [&](const std::string& address) {
    for (const Node& node : table)
      if (node.mc.ip_str() == address || node.eth0.ip_str() == address) return node.eth0.name();
    return std::string("?");
  };
  bmcs.stop(1);
  const Nodes::PowerFailures failures = nodes.powerOn({});
  EXPECT_TRUE(bmcs.powered(0));
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].node, at(bmcs.address(1)));
  EXPECT_EQ(failures[0].error.rfind("connection error (", 0), 0u) << failures[0].error;
  EXPECT_EQ(failures[1].node, at("10.0.0.77"));
  EXPECT_EQ(failures[1].error, "no IPMI session");
}

TEST_F(RegistryLive, HistorySamplesTheChosenSensorAndBacksOff) {
  SimulatedBmcs bmcs(1);
  root.setLeases(leaseBlock(bmcs.address(0), "00:25:90:00:01:01"));
  Nodes nodes;
  History& history = nodes.history();
  history.changeHistoryNode("node1");  // the controller-only record's eth0 name
  history.changeHistorySensor("CPU Temp");
  history.sampleRound();
  bmcs.setSensorRaw(0, SimulatedBmcs::cpu_temp, 50);
  history.sampleRound();
  auto samples = history.samples();
  ASSERT_EQ(samples.size(), 2u);
  EXPECT_EQ(samples[0].data, 41.0);
  EXPECT_EQ(samples[1].data, 50.0);

  bmcs.stop(0);
  history.sampleRound();
  history.sampleRound();  // inside the back-off: nothing
  samples = history.samples();
  ASSERT_EQ(samples.size(), 3u);
  EXPECT_TRUE(std::isnan(samples[2].data));
}

}  // namespace
