// The trellium process as the service supervisor sees it: start-up core
// file preparation, SIGTERM, the final log line and the exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/scratch.h"

namespace {

const std::string binary = TRL_BINARY_DIR "/gui/trellium";

struct ProcessRun {
  int status = -1;
  std::string output;
};

// Starts trellium in the scratch root; optionally sends SIGTERM once the
// event loop runs. Bounded: a process that hangs is killed and reported.
ProcessRun runTrellium(const std::string& root, bool terminate) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(out[1], 2);
    const std::string resources = TRL_BINARY_DIR "/resources";
    execl(binary.c_str(), binary.c_str(), "--sysroot", root.c_str(), "--http-address", "127.0.0.1", "--http-port",
          "0", "--docroot", (resources + "/docroot").c_str(), "--approot", (resources + "/").c_str(), nullptr);
    _exit(127);
  }
  close(out[1]);
  ProcessRun run;
  bool signalled = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
      char buffer[4096];
      const ssize_t n = read(out[0], buffer, sizeof buffer);
      if (n <= 0) break;
      run.output.append(buffer, static_cast<size_t>(n));
    }
    if (terminate && !signalled && run.output.find("history thread started") != std::string::npos &&
        run.output.find("Adding History fd") != std::string::npos) {
      kill(pid, SIGTERM);
      signalled = true;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      run.output += "\n[killed: no exit within 60 s]";
      break;
    }
  }
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

class Process : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string command = std::string(TRL_SOURCE_DIR "/lab/make-sysroot.sh ") + root.dir() + " " +
                                TRL_BINARY_DIR "/resources >/dev/null";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  trl::test::ScratchRoot root;
};

TEST_F(Process, SigtermEndsWithTheRestartStatus) {
  const ProcessRun run = runTrellium(root.dir(), true);
  EXPECT_EQ(run.status, 20) << run.output;
  EXPECT_NE(run.output.find("event handler shutdown flag set"), std::string::npos);
  EXPECT_NE(run.output.find("] Trellium terminating with restart flag 1\n"), std::string::npos) << run.output;
  EXPECT_EQ(trl::test::readFile(root.dir() + "/proc/sys/kernel/core_pattern"), "/var/crash/core-%t");
  EXPECT_NE(run.output.find("Nodes module successfully destroyed"), std::string::npos) << "the back end closed";
}

TEST_F(Process, KeepsTheFiveNewestCores) {
  for (int t = 1765000001; t <= 1765000007; ++t)
    trl::test::writeFile(root.dir() + "/var/crash/core-" + std::to_string(t), "core");
  const ProcessRun run = runTrellium(root.dir(), true);
  EXPECT_EQ(run.status, 20) << run.output;
  for (int t = 1765000001; t <= 1765000002; ++t) {
    const std::string path = root.dir() + "/var/crash/core-" + std::to_string(t);
    EXPECT_NE(run.output.find("removing stale core " + path + "\n"), std::string::npos) << run.output;
    EXPECT_EQ(trl::test::fileSize(path), -1);
  }
  for (int t = 1765000003; t <= 1765000007; ++t)
    EXPECT_EQ(trl::test::fileSize(root.dir() + "/var/crash/core-" + std::to_string(t)), 4);
}

TEST_F(Process, MissingCoreDirectoryStopsTheStart) {
  ASSERT_EQ(rmdir((root.dir() + "/var/crash").c_str()), 0);
  const ProcessRun run = runTrellium(root.dir(), false);
  EXPECT_NE(run.status, 0);
  EXPECT_NE(run.status, 20);
  EXPECT_NE(run.output.find("] Prefix /var/crash not found with 'No such file or directory'"), std::string::npos)
      << run.output;
  EXPECT_EQ(run.output.find("creating nodes module"), std::string::npos) << "nothing started";
}

}  // namespace
