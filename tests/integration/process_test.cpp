// The trellium process as the service supervisor and an administrator see
// it: the options, start-up core file preparation, SIGTERM, the final log
// line, the exit status, and what a child it starts inherits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/registry_root.h"
#include "tests/support/scratch.h"

namespace {

const std::string binary = TRL_BINARY_DIR "/gui/trellium";
const std::string resources = TRL_BINARY_DIR "/resources";

struct ProcessRun {
  int status = -1;
  std::string output;  // standard output
  std::string errors;  // standard error
};

// Decides, from the output so far, whether to send SIGTERM now.
using StopWhen = std::function<bool(const std::string& output)>;

// Once the event loop runs.
bool loopRunning(const std::string& output) {
  return output.find("history thread started") != std::string::npos &&
         output.find("Adding History fd") != std::string::npos;
}

// Starts trellium with args; sends SIGTERM once stop_when says so (never
// when empty). Bounded: a process that hangs is killed and reported.
ProcessRun runTrellium(const std::vector<std::string>& args, const StopWhen& stop_when = {}) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::vector<char*> argv{const_cast<char*>(binary.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  ProcessRun run;
  bool signalled = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (int open = 2; open > 0;) {
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    if (poll(p, 2, 100) > 0) {
      for (int i = 0; i < 2; ++i) {
        if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
        char buffer[4096];
        const ssize_t n = read(p[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
          close(p[i].fd);
          (i == 0 ? out[0] : err[0]) = -1;
          --open;
        } else {
          (i == 0 ? run.output : run.errors).append(buffer, static_cast<size_t>(n));
        }
      }
    }
    if (stop_when && !signalled && stop_when(run.output)) {
      kill(pid, SIGTERM);
      signalled = true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      run.errors += "\n[killed: no exit within 60 s]";
      break;
    }
  }
  for (const int fd : {out[0], err[0]})
    if (fd >= 0) close(fd);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// Every file under dir with its content.
std::map<std::string, std::string> contents(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir))
    files[entry.path().string()] = entry.is_regular_file() ? trl::test::readFile(entry.path().string()) : "(dir)";
  return files;
}

class Process : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string command =
        std::string(TRL_SOURCE_DIR "/lab/make-sysroot.sh ") + root.dir() + " " + resources + " >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  // The options every run here needs besides the system root.
  static std::vector<std::string> serverArgs() {
    return {"--http-address", "127.0.0.1", "--http-port", "0", "--docroot", resources + "/docroot",
            "--approot", resources + "/"};
  }
  std::vector<std::string> args() const {
    std::vector<std::string> a{"--sysroot", root.dir()};
    for (const std::string& s : serverArgs()) a.push_back(s);
    return a;
  }
  trl::test::ScratchRoot root;
};

TEST_F(Process, MissingCoreDirectoryStopsTheStart) {
  ASSERT_EQ(rmdir((root.dir() + "/var/crash").c_str()), 0);
  const ProcessRun run = runTrellium(args());
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("] Prefix /var/crash not found with 'No such file or directory'"), std::string::npos)
      << run.errors;
  EXPECT_EQ(run.output.find("creating nodes module"), std::string::npos) << "nothing started";
}

TEST_F(Process, AWrongOptionStopsTheStartBeforeAnythingIsTouched) {
  for (int t = 1765000001; t <= 1765000007; ++t)  // a start would remove two of these
    trl::test::writeFile(root.dir() + "/var/crash/core-" + std::to_string(t), "core");
  trl::test::writeFile(root.dir() + "/var/lib/dhcp/dhcpd.leases",
                       trl::test::leaseBlock("10.0.0.11", "00:25:90:01:02:03"));  // a start would merge it
  const auto before = contents(root.dir());
  const std::string& dir = root.dir();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--sysrot", dir}, "unrecognised option '--sysrot'"},
      {{"--sysroot", dir, "--threads"}, "the required argument for option '--threads' is missing"},
      {{"--sysroot", dir, "--http-port", "80x"}, "--http-port: '80x' is not a number"},
      {{"--sysroot", dir, "--ipmi-retransmission-timeout=-5"}, "--ipmi-retransmission-timeout: '-5'"},
      {{"--sysroot", dir, "--ipmi-workers=0"}, "--ipmi-workers: '0' is not a number from 1 to 256"},
      {{"--sysroot", dir, "--service-control", "initctl"}, "--service-control: initctl is not an absolute path"},
      {{"--sysroot", dir, "extra"}, "unexpected argument 'extra'"},
      {{"--sysroot", dir, "--threads", "%value%"}, "the text %value% is not allowed in an option"},
      {{"--sysroot", dir, "--dhcpd", "dhcpd"}, "--dhcpd: dhcpd is not an absolute path"},
  };
  for (const auto& [arguments, message] : cases) {
    const ProcessRun run = runTrellium(arguments);
    EXPECT_EQ(run.status, 1) << message;
    EXPECT_EQ(run.errors.rfind("trellium: ", 0), 0u) << run.errors;
    EXPECT_NE(run.errors.find(message), std::string::npos) << run.errors;
    EXPECT_EQ(run.errors.find('\n'), run.errors.size() - 1) << "one line: " << run.errors;
    EXPECT_EQ(run.output, "");
  }
  const std::string options = trl::test::readFile(root.dir() + "/root/trl/resources/wthttpd");
  trl::test::writeFile(root.dir() + "/root/trl/resources/wthttpd", "http-prot = 80\n");
  const ProcessRun typo = runTrellium(args());
  EXPECT_EQ(typo.status, 1);
  EXPECT_NE(typo.errors.find("/root/trl/resources/wthttpd: unrecognised option 'http-prot'"), std::string::npos)
      << typo.errors;
  trl::test::writeFile(root.dir() + "/root/trl/resources/wthttpd", "threads = x%canonical_option%\n");
  const ProcessRun placeholder = runTrellium(args());
  EXPECT_EQ(placeholder.status, 1) << "refused, not a start that never ends";
  EXPECT_NE(placeholder.errors.find("wthttpd: the text %canonical_option% is not allowed"), std::string::npos)
      << placeholder.errors;
  trl::test::writeFile(root.dir() + "/root/trl/resources/wthttpd", options);
  EXPECT_EQ(contents(root.dir()), before) << "nothing under the system root changed";
}

// A start as the service runs it (options in --name=value form, a unit's
// command line extended by appending), ended by SIGTERM.
TEST_F(Process, SigtermEndsWithTheRestartStatusAndTheFiveNewestCoresKept) {
  for (int t = 1765000001; t <= 1765000007; ++t)
    trl::test::writeFile(root.dir() + "/var/crash/core-" + std::to_string(t), "core");
  std::vector<std::string> equals{"--sysroot=/no/such/root", "--sysroot=" + root.dir()};  // the last one wins
  const std::vector<std::string> server = serverArgs();
  for (size_t i = 0; i < server.size(); i += 2) equals.push_back(server[i] + "=" + server[i + 1]);
  const ProcessRun run = runTrellium(equals, loopRunning);
  EXPECT_EQ(run.status, 20) << run.output << run.errors;
  EXPECT_NE(run.output.find("listening on 127.0.0.1:"), std::string::npos);
  EXPECT_NE(run.output.find("event handler shutdown flag set"), std::string::npos);
  EXPECT_NE(run.output.find("] Trellium terminating with restart flag 1\n"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Nodes module successfully destroyed"), std::string::npos) << "the back end closed";
  EXPECT_EQ(trl::test::readFile(root.dir() + "/proc/sys/kernel/core_pattern"), "/var/crash/core-%t")
      << "--sysroot=DIR is the system root";
  for (int t = 1765000001; t <= 1765000002; ++t) {
    const std::string path = root.dir() + "/var/crash/core-" + std::to_string(t);
    EXPECT_NE(run.output.find("removing stale core " + path + "\n"), std::string::npos) << run.output;
    EXPECT_EQ(trl::test::fileSize(path), -1);
  }
  for (int t = 1765000003; t <= 1765000007; ++t)
    EXPECT_EQ(trl::test::fileSize(root.dir() + "/var/crash/core-" + std::to_string(t)), 4);
}

TEST_F(Process, HelpListsTheOptionsWithDefaultsAndVersionSaysWhichOne) {
  const ProcessRun help = runTrellium({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--sysroot", "--service-control", "--dhcpd", "--ipmi-retransmission-timeout",
                             "--http-address", "--http-port", "--docroot", "--approot", "--max-request-size",
                             "--threads", "--version", "--https-address", "--https-port", "--ssl-certificate",
                             "--ssl-private-key", "--allow-plain-http", "--allowed-hosts", "--idle-timeout",
                             "--admin-group"})
    EXPECT_NE(help.output.find(option), std::string::npos) << option;
  for (const char* fallback : {"(=/sbin/initctl)", "(=8080)", "(=8443)", "(=40M)", "(=2)", "(=30)", "(=trellium)"})
    EXPECT_NE(help.output.find(fallback), std::string::npos) << fallback;

  const ProcessRun version = runTrellium({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, "Trellium v1.4.6\n");
}

TEST_F(Process, TheServiceControlChildGetsTheStandardDescriptorsOnly) {
  // The stand-in reports what it inherited, while the web server listens,
  // the back end's descriptors are open and a page's socket may be too.
  const std::string report = root.dir() + "/sbin/fd-report.fds";
  std::filesystem::copy_file(TRL_BINARY_DIR "/tests/trl_fd_report", root.dir() + "/sbin/fd-report");
  std::vector<std::string> a = args();
  a.insert(a.end(), {"--service-control", "/sbin/fd-report"});
  bool appended = false;
  const ProcessRun run = runTrellium(a, [&](const std::string& output) {
    if (!loopRunning(output)) return false;
    if (!appended) {  // a new lease: the registry rewrites its files and restarts the DHCP server
      trl::test::writeFile(root.dir() + "/var/lib/dhcp/dhcpd.leases",
                           trl::test::leaseBlock("10.0.0.11", "00:25:90:01:02:03"));
      appended = true;
    }
    return trl::test::fileSize(report) > 0 && trl::test::readFile(report).find("start:") != std::string::npos;
  });
  EXPECT_EQ(run.status, 20) << run.output << run.errors;
  EXPECT_EQ(trl::test::readFile(report), "stop: 0 1 2\nstart: 0 1 2\n");
}

}  // namespace
