// The virtual cluster (lab/cluster-up.sh, lab/cluster-down.sh) checked with
// real tools and without Trellium: no route out, the service-control stand-in running the real
// dhcpd, and a take-down that leaves nothing.
// Every wait is bounded; each case brings up a lab of its own, under a
// prefix of its own, so cases may run side by side.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bmc_sim.h"
#include "tests/support/scratch.h"

extern char** environ;

namespace {

using trl::test::readFile;
using trl::test::runTool;
using trl::test::ToolResult;
using Clock = std::chrono::steady_clock;

const std::string kStateRoot = "/run/trellium-lab";
constexpr int kUpTimeoutMs = 240000;   // cluster-up.sh on a loaded machine
constexpr int kToolTimeoutMs = 30000;  // one IPMI tool or ip command
constexpr int kChangeTimeoutMs = 20000;  // a host following its power, a lease

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Polls condition every 50 ms until it holds or timeout_ms passes.
bool waitFor(const std::function<bool()>& condition, int timeout_ms = kChangeTimeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::string firstLine(const std::string& path) {
  const std::string text = readFile(path);
  return text.substr(0, text.find('\n'));
}

// KEY=VALUE lines as the lab writes them (values need no unquoting here).
std::map<std::string, std::string> readEnv(const std::string& path) {
  std::map<std::string, std::string> env;
  std::istringstream lines(readFile(path));
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string value = line.substr(eq + 1);
    std::string plain;
    for (size_t i = 0; i < value.size(); ++i) {
      if (value[i] == '\\' && i + 1 < value.size()) ++i;  // printf %q escapes blanks
      plain += value[i];
    }
    env[line.substr(0, eq)] = plain;
  }
  return env;
}

// Inode of a namespace file (/run/netns/NAME or /proc/PID/ns/KIND).
ino_t nsInode(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Process ids (not zombies) whose namespace of the given kind is one of inodes.
std::vector<pid_t> processesIn(const std::string& kind, const std::set<ino_t>& inodes) {
  std::vector<pid_t> found;
  DIR* proc = ::opendir("/proc");
  if (!proc) return found;
  while (dirent* entry = ::readdir(proc)) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    const ino_t inode = nsInode("/proc/" + name + "/ns/" + kind);
    if (inode == 0 || !inodes.count(inode)) continue;
    const std::string stat = readFile("/proc/" + name + "/stat");
    const size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') continue;
    found.push_back(static_cast<pid_t>(std::stol(name)));
  }
  ::closedir(proc);
  return found;
}

std::string commandName(pid_t pid) { return firstLine("/proc/" + std::to_string(pid) + "/comm"); }

// The lab's first process outlives cluster-up.sh, which started it; where
// init does not collect orphans it would linger as a zombie. As a child
// subreaper this test process inherits it and collects it.
void becomeSubreaper() {
  static const bool done = [] { return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0; }();
  ASSERT_TRUE(done) << "prctl(PR_SET_CHILD_SUBREAPER) failed";
}

// Collects every child that has ended; waits at most timeout_ms for the
// ones still running to end.
void reapChildren(int timeout_ms) {
  waitFor(
      [] {
        for (;;) {
          const pid_t pid = ::waitpid(-1, nullptr, WNOHANG);
          if (pid > 0) continue;
          return pid < 0;  // ECHILD: nothing left
        }
      },
      timeout_ms);
}

// One lab, up for the lifetime of the object.
class Lab {
 public:
  explicit Lab(int servers, const std::vector<std::string>& options = {}) {
    static std::atomic<int> serial{0};
    prefix_ = "trl-t" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    state_ = kStateRoot + "/" + prefix_;
    std::vector<std::string> argv{"bash",    std::string(TRL_SOURCE_DIR) + "/lab/cluster-up.sh",
                                  std::to_string(servers), "--prefix", prefix_, "--build", TRL_BINARY_DIR,
                                  "--quiet", "--timeout", "180"};
    argv.insert(argv.end(), options.begin(), options.end());
    try {
      const ToolResult r = runTool(argv, kUpTimeoutMs);
      if (r.exit_code != 0)
        throw std::runtime_error("cluster-up.sh failed (" + std::to_string(r.exit_code) + "):\n" + r.output);
      env_ = readEnv(state_ + "/lab.env");
    } catch (...) {
      // No destructor runs for a constructor that throws.
      runTool({"bash", std::string(TRL_SOURCE_DIR) + "/lab/cluster-down.sh", state_}, 120000);
      throw;
    }
    up_ = true;
  }
  ~Lab() {
    if (up_) runTool({"bash", std::string(TRL_SOURCE_DIR) + "/lab/cluster-down.sh", state_}, 120000);
  }
  Lab(const Lab&) = delete;
  Lab& operator=(const Lab&) = delete;

  ToolResult down() {
    up_ = false;
    return runTool({"bash", std::string(TRL_SOURCE_DIR) + "/lab/cluster-down.sh", state_}, 120000);
  }

  const std::string& prefix() const { return prefix_; }
  const std::string& state() const { return state_; }
  std::string sysroot() const { return env_.at("LAB_SYSROOT"); }
  std::string mgmt() const { return env_.at("LAB_MGMT_NS"); }
  int servers() const { return std::stoi(env_.at("LAB_SERVERS")); }
  std::string serverDir(int k) const { return state_ + "/servers/" + std::to_string(k); }
  std::map<std::string, std::string> server(int k) const { return readEnv(serverDir(k) + "/env"); }
  std::string bmcAddress(int k) const { return firstLine(serverDir(k) + "/bmc.address"); }
  std::string hostAddress(int k) const { return firstLine(serverDir(k) + "/host.address"); }
  std::string leases() const { return readFile(sysroot() + "/var/lib/dhcp/dhcpd.leases"); }
  std::string dhcpdLog() const { return readFile(state_ + "/mgmt/dhcpd.log"); }

  // A command run in the management network namespace, where Trellium runs.
  ToolResult inMgmt(const std::vector<std::string>& argv, int timeout_ms = kToolTimeoutMs) const {
    std::vector<std::string> full{"nsenter", "--net=/run/netns/" + mgmt(), "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return runTool(full, timeout_ms);
  }
  // FreeIPMI tool against server k's controller, with its vendor's factory
  // credentials, IPMI 1.5 with MD5 at ADMIN, from the management namespace.
  ToolResult ipmi(int k, const std::string& tool, const std::vector<std::string>& extra) const {
    const auto s = server(k);
    std::vector<std::string> argv{tool, "-h", bmcAddress(k), "-u", s.at("IPMI_USER"), "-p", s.at("IPMI_PASSWORD"),
                                  "-a", "MD5", "-l", "ADMIN", "--driver-type=LAN", "--session-timeout=3000",
                                  "--retransmission-timeout=100"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return inMgmt(argv);
  }
  // The service-control stand-in, run the way Trellium runs it: from the
  // management namespace, with only PATH in its environment.
  ToolResult initctl(const std::string& verb) const {
    return inMgmt({"env", "-i", "PATH=/sbin:/usr/sbin:/bin:/usr/bin", sysroot() + "/sbin/initctl", verb,
                   "isc-dhcp-server"},
                  60000);
  }
  std::vector<pid_t> dhcpdProcesses() const {
    std::vector<pid_t> found;
    for (pid_t pid : processesIn("net", {nsInode("/run/netns/" + mgmt())}))
      if (commandName(pid) == "dhcpd") found.push_back(pid);
    return found;
  }

 private:
  std::string prefix_, state_;
  std::map<std::string, std::string> env_;
  bool up_ = false;
};

class LabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_FAIL() << "the lab needs root (network namespaces, IPMI on port 623)";
    becomeSubreaper();
  }
  void TearDown() override { reapChildren(5000); }
};

// One lab for what does not take it down. The browser tests check through
// Trellium what else the lab does: controllers of both vendors that lease and
// answer IPMI and pair with their hosts, hosts that follow their power and
// renew to their fixed addresses, sensors that drift, network boot.
TEST_F(LabTest, NoRouteOutAndTheStandInRunsDhcpd) {
  Lab lab(2);
  // No way out of the lab: the only route anywhere is the lab's subnet.
  for (const std::string& ns : {lab.mgmt(), lab.server(1).at("HOST_NS"), lab.server(2).at("BMC_NS")}) {
    const ToolResult routes = runTool({"ip", "-n", ns, "-4", "route", "show", "table", "all"}, kToolTimeoutMs);
    std::istringstream lines(routes.output);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("local ") == 0 || line.find("broadcast ") == 0) continue;
      EXPECT_EQ(line.find("10.0.0.0/24 "), 0u) << ns << ": " << line;
    }
  }

  // The service-control stand-in starts dhcpd with the configuration and stops it.
  ASSERT_EQ(lab.dhcpdProcesses().size(), 1u);

  // stop returns once the old server has exited, not before.
  ToolResult r = lab.initctl("stop");
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(lab.dhcpdProcesses().empty());
  EXPECT_NE(lab.initctl("status").output.find("stop/waiting"), std::string::npos);

  // A configuration as Trellium writes it, with a name only the system
  // root's hosts file knows: dhcpd must resolve it there.
  const std::string root = lab.sysroot();
  const auto host1 = lab.server(1);
  const std::string name = "labnode-" + std::to_string(::getpid());
  std::string conf = readFile(root + "/usr/share/trellium/host/dhcpd.conf.in");
  conf += "\n\tgroup {\n\t\tfilename \"trellium/pxelinux.0\";\n\t\thost " + name + "\t{ hardware ethernet " +
          host1.at("HOST_MAC") + "; fixed-address " + name + "; }\n\t}\n}\n";
  trl::test::writeFile(root + "/etc/dhcp/dhcpd.conf.new", conf);
  ASSERT_EQ(::rename((root + "/etc/dhcp/dhcpd.conf.new").c_str(), (root + "/etc/dhcp/dhcpd.conf").c_str()), 0);
  const std::string hosts = readFile(root + "/usr/share/trellium/host/hosts.clean") + "10.0.0.30\t" + name + "\n";
  trl::test::writeFile(root + "/etc/hosts.new", hosts);
  ASSERT_EQ(::rename((root + "/etc/hosts.new").c_str(), (root + "/etc/hosts").c_str()), 0);

  r = lab.initctl("start");
  ASSERT_EQ(r.exit_code, 0) << r.output << lab.dhcpdLog();
  ASSERT_EQ(lab.dhcpdProcesses().size(), 1u);
  // A stop and a start straight after it: never "already running".
  r = lab.initctl("restart");
  ASSERT_EQ(r.exit_code, 0) << r.output << lab.dhcpdLog();
  ASSERT_EQ(lab.dhcpdProcesses().size(), 1u);

  // The host, rebooted, gets the fixed address through the private hosts file.
  r = lab.ipmi(1, "ipmipower", {"--reset"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_TRUE(waitFor([&] { return lab.hostAddress(1) == "10.0.0.30"; }))
      << lab.hostAddress(1) << "\n" << lab.dhcpdLog();
  EXPECT_EQ(readFile("/etc/hosts").find(name), std::string::npos) << "the machine's hosts file was touched";

  // A broken configuration: start fails and says where.
  trl::test::writeFile(root + "/etc/dhcp/dhcpd.conf", "subnet 10.0.0.0 netmask {\n");
  r = lab.initctl("restart");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.output.find("dhcpd.conf line"), std::string::npos) << r.output;
  EXPECT_TRUE(lab.dhcpdProcesses().empty());
}

TEST_F(LabTest, DownLeavesNoNamespaceProcessMountOrFileAndIsSafeTwice) {
  Lab lab(2);
  const std::string state = lab.state(), sysroot = lab.sysroot(), prefix = lab.prefix();
  std::set<ino_t> net_inodes;
  std::vector<std::string> names;
  for (const std::string& ns : {lab.mgmt(), lab.server(1).at("HOST_NS"), lab.server(1).at("BMC_NS"),
                                lab.server(2).at("HOST_NS"), lab.server(2).at("BMC_NS")}) {
    ASSERT_TRUE(exists("/run/netns/" + ns)) << ns;
    names.push_back(ns);
    net_inodes.insert(nsInode("/run/netns/" + ns));
  }
  const pid_t keeper = static_cast<pid_t>(std::stol(firstLine(state + "/keeper.pid")));
  const ino_t pid_inode = nsInode("/proc/" + std::to_string(keeper) + "/ns/pid");
  ASSERT_NE(pid_inode, 0u);
  ASSERT_FALSE(processesIn("pid", {pid_inode}).empty());

  // Something that is not the lab's own, left in its management namespace
  // (as a Trellium started by hand would be).
  const std::string mgmt_path = "--net=/run/netns/" + lab.mgmt();
  const char* argv[] = {"nsenter", mgmt_path.c_str(), "--", "sleep", "600", nullptr};
  pid_t stray = -1;
  ASSERT_EQ(::posix_spawnp(&stray, "nsenter", nullptr, nullptr, const_cast<char* const*>(argv), environ), 0);
  ASSERT_TRUE(waitFor([&] { return nsInode("/proc/" + std::to_string(stray) + "/ns/net") == nsInode("/run/netns/" + lab.mgmt()); }, 5000));

  ToolResult r = lab.down();
  ASSERT_EQ(r.exit_code, 0) << r.output;
  int status = 0;
  const bool stopped = waitFor([&] { return ::waitpid(stray, &status, WNOHANG) == stray; }, 10000);
  EXPECT_TRUE(stopped) << "the process in the management namespace was not stopped";
  if (!stopped) {
    ::kill(stray, SIGKILL);
    ::waitpid(stray, &status, 0);
  }

  for (const std::string& ns : names) EXPECT_FALSE(exists("/run/netns/" + ns)) << ns;
  // A lab brought up meanwhile (cases run side by side) may get a freed
  // inode for a namespace of its own: those named now are not this lab's.
  std::set<ino_t> gone = net_inodes;
  if (DIR* named = ::opendir("/run/netns")) {
    while (const dirent* entry = ::readdir(named)) gone.erase(nsInode(std::string("/run/netns/") + entry->d_name));
    ::closedir(named);
  }
  EXPECT_TRUE(processesIn("net", gone).empty());
  EXPECT_TRUE(processesIn("pid", {pid_inode}).empty());
  const std::string mounts = readFile("/proc/self/mountinfo");
  EXPECT_EQ(mounts.find(prefix + "-"), std::string::npos) << mounts;
  EXPECT_EQ(mounts.find(state), std::string::npos) << mounts;
  EXPECT_FALSE(exists(state));
  EXPECT_FALSE(exists(sysroot));

  // The lab's first process ended; as subreaper this process collects it.
  reapChildren(5000);
  EXPECT_FALSE(exists("/proc/" + std::to_string(keeper)));

  r = runTool({"bash", std::string(TRL_SOURCE_DIR) + "/lab/cluster-down.sh", state}, 60000);
  EXPECT_EQ(r.exit_code, 0) << r.output;
  r = runTool({"bash", std::string(TRL_SOURCE_DIR) + "/lab/cluster-down.sh", prefix}, 60000);
  EXPECT_EQ(r.exit_code, 0) << r.output;
}

TEST_F(LabTest, DownCleansUpAfterTheLabCrashed) {
  Lab lab(1);
  const std::string state = lab.state(), mgmt = lab.mgmt();
  const pid_t keeper = static_cast<pid_t>(std::stol(firstLine(state + "/keeper.pid")));
  const ino_t pid_inode = nsInode("/proc/" + std::to_string(keeper) + "/ns/pid");
  // The keeper dies at once, and with it every process of the lab; the
  // namespaces, the state and the system root stay behind.
  ASSERT_EQ(::kill(keeper, SIGKILL), 0);
  EXPECT_TRUE(waitFor([&] { return processesIn("pid", {pid_inode}).empty(); }, 10000));
  ASSERT_TRUE(exists("/run/netns/" + mgmt));

  // The service-control stand-in says what to do instead of hanging.
  const ToolResult initctl = lab.initctl("start");
  EXPECT_NE(initctl.exit_code, 0);
  EXPECT_NE(initctl.output.find("cluster-down.sh"), std::string::npos) << initctl.output;

  const ToolResult r = lab.down();
  ASSERT_EQ(r.exit_code, 0) << r.output;
  EXPECT_FALSE(exists("/run/netns/" + mgmt));
  EXPECT_FALSE(exists(state));
}

}  // namespace
