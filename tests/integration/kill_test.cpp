// SIGKILL at random points of lease merges and of deletes. After every kill
// the next start finds the table whole, the hosts file and dhcpd.conf true
// to it (and accepted by the real dhcpd), no name twice, every deleted
// server gone for good and every other one under its old name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "modules/nodes.h"
#include "modules/utils.h"
#include "tests/support/bmc_sim.h"
#include "tests/support/registry_root.h"

namespace {

using trl::test::leaseBlock;
using trl::test::readFile;

// One write of a whole line or lease: a kill cannot tear it.
void appendAtomically(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) _exit(3);
  ::close(fd);
}

// The child: merges new servers' leases (and renewals of known ones), or
// deletes servers, until it is killed. A delete is journalled before it
// starts ("D mac") and once it returned ("R mac").
[[noreturn]] void work(const trl::test::RegistryRoot& root, int round, bool deleting, unsigned seed) {
  std::mt19937 random(seed);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(null, 1);  // the log of fifty runs would drown the test's output
  const std::string leases = root.path("/var/lib/dhcp/dhcpd.leases"), journal = root.path("/journal");
  try {
    Nodes nodes(root.config());
    for (int k = 0;; ++k) {
      if (deleting && nodes.size() > 2) {
        const int index = static_cast<int>(random() % nodes.size());
        std::string mac;
        {
          const Nodes::SharedAccess table(nodes);
          mac = table.begin()[index].eth0.mac_str();
        }
        appendAtomically(journal, "D " + mac + "\n");
        nodes.removeNode(index);
        appendAtomically(journal, "R " + mac + "\n");
      } else {
        appendAtomically(leases, leaseBlock("10.1." + std::to_string(round) + "." + std::to_string(k + 1),
                                            trl::test::macText(0x002590000000ULL | uint64_t(round & 0xff) << 16 |
                                                               uint64_t(k & 0xff))));
        nodes.update();
      }
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "child: %s\n", e.what());
  }
  _exit(2);
}

TEST(Kill, MergesAndDeletesSurviveSigkillAtAnyPoint) {
  trl::test::RegistryRoot root;
  const unsigned seed = static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::map<std::string, std::string> names;  // MAC -> name after the last start
  std::set<std::string> deleted;
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Two rounds of merges, then one of deletes.
    const bool deleting = round % 3 == 2;
    ::unlink(root.path("/journal").c_str());
    const unsigned child_seed = static_cast<unsigned>(random());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) work(root, round, deleting, child_seed);
    std::this_thread::sleep_for(std::chrono::milliseconds(50 + random() % 400));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself: " << status;

    trl::test::CaptureStdout quiet;
    Nodes nodes(root.config());
    std::istringstream journal(readFile(root.path("/journal")));
    std::set<std::string> deleting_now;
    for (std::string verb, mac; journal >> verb >> mac;) (verb == "D" ? deleting_now : deleted).insert(mac);
    std::map<std::string, std::string> now;
    std::ostringstream hosts, dhcp;
    {
      const Nodes::SharedAccess table(nodes);
      for (const Nodes::Node* node = table.begin(); node != table.end(); ++node) {
        const std::string mac = node->eth0.mac_str();
        ASSERT_NE(node->eth0.mac(), 0u) << "a whole record";
        ASSERT_TRUE(now.emplace(mac, node->eth0.name()).second) << mac << " twice";
        EXPECT_EQ(deleted.count(mac), 0u) << mac << " came back after its delete";
        const auto old = names.find(mac);
        if (old != names.end()) {
          EXPECT_EQ(old->second, node->eth0.name()) << mac << " renamed";
        }
      }
      nodes.saveHostsToStream(hosts);
      nodes.saveDhcpConfToStream(dhcp);
    }
    // A delete cut short left its server, or took it for good.
    for (const std::string& mac : deleting_now)
      if (!now.count(mac)) deleted.insert(mac);
    EXPECT_FALSE(nodes.hostNameDuplicated());
    EXPECT_EQ(readFile(root.path("/etc/hosts")), root.hostsTemplate() + hosts.str());
    EXPECT_EQ(readFile(root.path("/etc/dhcp/dhcpd.conf")), root.dhcpTemplate() + dhcp.str());
    EXPECT_EQ(nodes.dhcpConfError(), "");
    std::string dhcpd = "/usr/sbin/dhcpd", t = "-t", cf = "-cf", conf = root.path("/etc/dhcp/dhcpd.conf"), output;
    char* const args[] = {dhcpd.data(), t.data(), cf.data(), conf.data(), nullptr};
    EXPECT_EQ(launchCaptured(args, output), 0) << output;
    names = now;
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_FALSE(deleted.empty()) << "deletes were cut short or done";
  EXPECT_GT(names.size(), 5u) << "merges were cut short or done";
}

}  // namespace
