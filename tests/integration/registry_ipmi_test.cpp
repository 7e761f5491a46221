// The node registry with real simulated controllers: discovery by IPMI
// probe, pairing, the polling thread's power states and back-off, group
// power commands and the sensor history.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <future>
#include <map>
#include <mutex>
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

ipaddr ipOf(const std::string& address) { return ntohl(::inet_addr(address.c_str())); }

// A loopback address 127.FIRST.X.Y of this process's own (X, Y from its id).
std::string ownAddress(int first) {
  const int pid = static_cast<int>(::getpid());
  return "127." + std::to_string(first) + "." + std::to_string(pid / 250 % 250) + "." + std::to_string(pid % 250 + 1);
}

sockaddr_in ipmiEndpoint(const std::string& address) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(623);
  ::inet_pton(AF_INET, address.c_str(), &at.sin_addr);
  return at;
}

// A UDP socket on address's IPMI port (any loopback port when address is empty).
int udpSocket(const std::string& address) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at = address.empty() ? sockaddr_in{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}} : ipmiEndpoint(address);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
    throw std::runtime_error("cannot bind a UDP socket on " + address);
  return fd;
}

// A controller that never answers: a socket on the IPMI port that takes the
// requests and drops them, so every session open costs the client its
// time-out. Shows when a request has come in.
class DeadController {
 public:
  explicit DeadController(int index = 0) : address_(ownAddress(88 + index)), fd_(udpSocket(address_)) {}
  ~DeadController() { ::close(fd_); }
  ipaddr ip() const { return ipOf(address_); }
  bool asked() const { return pending(fd_); }
  void forget() {
    char packet[512];
    while (pending(fd_)) ::recv(fd_, packet, sizeof packet, 0);
  }

 private:
  std::string address_;
  int fd_ = -1;
};

// A controller seen through a relay on an address of its own: forwards
// every datagram both ways and keeps, per client socket (one IPMI session),
// the time of its first and last datagram.
class Relay {
 public:
  explicit Relay(const std::string& target)
      : address_(ownAddress(87)), listen_(udpSocket(address_)), target_(ipmiEndpoint(target)) {
    thread_ = std::thread([this] { run(); });
  }
  ~Relay() {
    stop_ = true;
    thread_.join();
    ::close(listen_);
    for (auto& client : clients_) ::close(client.second.upstream);
  }
  ipaddr ip() const { return ipOf(address_); }
  // How many sessions were ever under way at the same moment.
  int mostAtOnce() const {
    const std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::pair<Clock::time_point, int>> edges;
    for (const auto& client : clients_) {
      edges.emplace_back(client.second.first, 1);
      edges.emplace_back(client.second.last, -1);
    }
    std::sort(edges.begin(), edges.end());  // an end before a start at the same moment
    int now = 0, most = 0;
    for (const auto& edge : edges) most = std::max(most, now += edge.second);
    return most;
  }
  int sessions() const {
    const std::lock_guard<std::mutex> guard(mutex_);
    return static_cast<int>(clients_.size());
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Client {
    sockaddr_in from;
    int upstream;
    Clock::time_point first, last;
  };
  void run() {
    char packet[2048];
    while (!stop_) {
      std::vector<pollfd> fds{{listen_, POLLIN, 0}};
      std::vector<uint64_t> keys{0};
      {
        const std::lock_guard<std::mutex> guard(mutex_);
        for (const auto& client : clients_) {
          fds.push_back({client.second.upstream, POLLIN, 0});
          keys.push_back(client.first);
        }
      }
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      const std::lock_guard<std::mutex> guard(mutex_);
      for (size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & POLLIN)) continue;
        if (i == 0) {
          sockaddr_in from{};
          socklen_t len = sizeof from;
          const ssize_t n = ::recvfrom(listen_, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &len);
          if (n <= 0) continue;
          const uint64_t key = (uint64_t{from.sin_addr.s_addr} << 16) | from.sin_port;
          auto found = clients_.find(key);
          if (found == clients_.end())
            found = clients_.emplace(key, Client{from, udpSocket(""), Clock::now(), Clock::now()}).first;
          found->second.last = Clock::now();
          ::sendto(found->second.upstream, packet, static_cast<size_t>(n), 0,
                   reinterpret_cast<const sockaddr*>(&target_), sizeof target_);
        } else {
          Client& client = clients_.at(keys[i]);
          const ssize_t n = ::recv(client.upstream, packet, sizeof packet, 0);
          if (n <= 0) continue;
          client.last = Clock::now();
          ::sendto(listen_, packet, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&client.from),
                   sizeof client.from);
        }
      }
    }
  }

  std::string address_;
  int listen_ = -1;
  sockaddr_in target_{};
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::map<uint64_t, Client> clients_;  // guarded by mutex_
  std::thread thread_;
};

// A controller record for address ip, named nodeK, pushed straight into the
// table (a lease would be probed first); its host at host_ip.
void addController(Nodes& nodes, int k, ipaddr ip, ipaddr host_ip = 0) {
  const Nodes::ExclusiveAccess table(nodes);
  Node::Interface host(0x002590000a00ULL + 2 * static_cast<macaddr>(k), host_ip);
  host.name("node" + std::to_string(k));
  Node node(host);
  node.mc = Node::Interface(0x002590000a01ULL + 2 * static_cast<macaddr>(k), ip);
  node.mc.name("node" + std::to_string(k) + "-mc");
  NodesTestAccess::store(nodes).push_back(node);
  nodes.resetIPMI();
}

class RegistryLive : public ::testing::Test {
 protected:
  trl::test::RegistryRoot root;
  // The simulator repeats a sequence number: a short retransmission timeout.
  Nodes::Config config() const { return root.config({100}); }
};

TEST_F(RegistryLive, AnsweringControllerBecomesAnMcRecordAndPairsWithItsHost) {
  SimulatedBmcs bmcs(1, {"USERID", "MORTA1NE", 0xe41f13000010ULL});  // IBM: controller MAC = host MAC + 4
  root.setLeases(leaseBlock(bmcs.address(0), "e4:1f:13:00:00:14"));
  Nodes nodes(config());
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
  Nodes nodes(config());
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
  Nodes nodes(config());
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
  Nodes nodes(config());
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
  Nodes nodes(config());
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
  // Silent at its last contact: the answer is applied by the cycle after it.
  EXPECT_TRUE(trl::test::eventually([&] {
    NodesTestAccess::pollOnce(nodes);
    return records(nodes)[0].powerStatus() == Node::Down;
  })) << "asked again after the window";
}

TEST_F(RegistryLive, NoIpmiTrafficWhileNobodyWatches) {
  SimulatedBmcs bmcs(1);
  root.setLeases(leaseBlock(bmcs.address(0), "00:25:90:00:01:01"));
  Nodes nodes(config());
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(records(nodes)[0].powerStatus(), Node::Unknown) << "the polling thread waited for a session";
  const trl::test::SessionOpen watching(root);
  for (int i = 0; i < 100 && records(nodes)[0].powerStatus() == Node::Unknown; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(records(nodes)[0].powerStatus(), Node::Up);
}

TEST_F(RegistryLive, GroupPowerHonoursTheProgressCallbackAndNamesTheNodesItMissed) {
  SimulatedBmcs bmcs(2);
  root.setLeases(leaseBlock(bmcs.address(0), "00:25:90:00:01:01") + leaseBlock(bmcs.address(1), "00:25:90:00:01:02") +
                 leaseBlock("10.0.0.77", "00:25:90:00:01:03"));  // a host nobody answers for: no session
  Nodes nodes(config());
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
  Nodes nodes(config());
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

// New session objects for every record: the back-off windows start clear,
// so the next cycle asks every controller again.
void freshSessions(Nodes& nodes) {
  const Nodes::ExclusiveAccess table(nodes);
  for (Node* node = table.begin(); node != table.end(); ++node) {
    IpmiSessions::release(node->ipmi_val);
    node->ipmi_val = 0;
  }
  nodes.resetIPMI();
}

TEST_F(RegistryLive, DeadControllersCostOnlyTheirOwnWork) {
  SimulatedBmcs bmcs(2);
  DeadController dead0(0), dead1(1);
  Nodes nodes(config());
  // The dead ones come first in table order.
  addController(nodes, 1, dead0.ip());
  addController(nodes, 2, dead1.ip());
  addController(nodes, 3, ipOf(bmcs.address(0)));
  addController(nodes, 4, ipOf(bmcs.address(1)));
  const int power_fd = nodes.powerStatusChangedFd();
  drainEvents(nodes, power_fd);
  bmcs.stop(1);
  NodesTestAccess::pollOnce(nodes);  // first contact: the cycle waits for every controller
  auto table = records(nodes);
  EXPECT_EQ(table[0].powerStatus(), Node::ConnectionError) << "every controller was asked in the same cycle";
  EXPECT_EQ(table[1].powerStatus(), Node::ConnectionError);
  EXPECT_EQ(table[2].powerStatus(), Node::Up);
  EXPECT_EQ(table[3].powerStatus(), Node::ConnectionError);
  EXPECT_TRUE(pending(power_fd));
  nodes.changed(power_fd);
  EXPECT_FALSE(pending(power_fd)) << "one event for the cycle";

  // Silent at their last contact: asked again, and not waited for.
  bmcs.start(1);
  bmcs.setPowered(0, false);
  freshSessions(nodes);
  NodesTestAccess::pollOnce(nodes);
  EXPECT_EQ(records(nodes)[2].powerStatus(), Node::Down) << "the live controller's state came at once";
  EXPECT_TRUE(pending(power_fd));
  dead0.forget();
  EXPECT_TRUE(trl::test::eventually([&] { return dead0.asked(); })) << "still being asked after the cycle ended";
  EXPECT_TRUE(trl::test::eventually([&] {
    NodesTestAccess::pollOnce(nodes);
    return records(nodes)[3].powerStatus() == Node::Up;
  })) << "a later cycle applies what the controller back from the dead said";
}

TEST_F(RegistryLive, OneRequestInFlightPerController) {
  SimulatedBmcs bmcs(1);
  const Relay relay(bmcs.address(0));
  Nodes nodes(config());
  // Two records name the same controller (a stale record and a new one).
  addController(nodes, 1, relay.ip());
  addController(nodes, 2, relay.ip());
  History& history = nodes.history();
  history.changeHistoryNode("node1");
  history.changeHistorySensor("CPU Temp");
  // The polling cycle, the sampler and an unpaced group command at once.
  auto walk = std::async(std::launch::async, [&] {
    NodesTestAccess::pollOnce(nodes);
    NodesTestAccess::pollOnce(nodes);
  });
  auto sample = std::async(std::launch::async, [&] { history.sampleRound(); });
  const Nodes::PowerFailures failures = nodes.powerOn({});
  walk.get();
  sample.get();
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(records(nodes)[1].powerStatus(), Node::Up);
  EXPECT_GE(relay.sessions(), 6);
  EXPECT_EQ(relay.mostAtOnce(), 1) << "sessions with the controller never overlapped";
}

TEST_F(RegistryLive, WritersNeverWaitForASampleOrAWalk) {
  DeadController dead;
  Nodes nodes(config());
  addController(nodes, 1, dead.ip(), 0x0A000A00U);
  using std::chrono::seconds;

  // The sampler reads the chosen sensor with no lock held.
  History& history = nodes.history();
  history.changeHistoryNode("node1");
  auto sample = std::async(std::launch::async, [&] { history.sampleRound(); });
  ASSERT_TRUE(trl::test::eventually([&] { return dead.asked(); }));
  history.changeHistorySensor("CPU Temp");
  { const Nodes::ExclusiveAccess table(nodes); }
  EXPECT_EQ(sample.wait_for(seconds(0)), std::future_status::timeout) << "neither change waited for the read";
  sample.get();
  EXPECT_TRUE(history.samples().empty()) << "a sample taken for the old choice is dropped";

  // The polling walk talks to the controllers with no lock held.
  dead.forget();
  auto walk = std::async(std::launch::async, [&] { return NodesTestAccess::pollOnce(nodes); });
  ASSERT_TRUE(trl::test::eventually([&] { return dead.asked(); }));
  {
    const Nodes::ExclusiveAccess table(nodes);  // an edit in the Servers tab
    table.begin()->partition = 3;
  }
  nodes.nodeNamePrefix("rack");  // a writer that also rewrites the files and restarts the DHCP server
  EXPECT_EQ(walk.wait_for(seconds(0)), std::future_status::timeout) << "the writers did not wait for the walk";
  EXPECT_FALSE(walk.get()) << "after a failed power read the next cycle starts at once";
  const Node after = records(nodes)[0];
  EXPECT_EQ(after.powerStatus(), Node::ConnectionError) << "the walk's result still reached its record";
  EXPECT_EQ(after.partition, 3);
  EXPECT_EQ(after.eth0.name(), "rack1");
}

}  // namespace
