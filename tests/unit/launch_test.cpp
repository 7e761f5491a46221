#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "modules/error.h"
#include "modules/utils.h"
#include "tests/support/scratch.h"

namespace {

using trl::test::endsWith;

// launch() takes a mutable argv, as posix_spawn does.
void run(std::vector<std::string> words, int status = 0, bool wait = true, bool logging = true) {
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  launch(argv.data(), status, wait, logging);
}

std::string launchError(std::vector<std::string> words) {
  try {
    run(std::move(words));
  } catch (const _Error& e) {
    return std::string("_Error ") + e.what();
  } catch (const _SysError& e) {
    return std::string("_SysError ") + e.what();
  }
  return "";
}

TEST(Launch, LogsTheCommandAndTheChildsOutputOnlyWhenLoggingWithPathAlone) {
  trl::test::CaptureStdout out;
  setenv("TRL_SECRET", "leak", 1);
  run({"/bin/sh", "-c", "echo child-says-loud; echo err-loud >&2; /usr/bin/env; exit 3"}, 3);
  unsetenv("TRL_SECRET");
  // Writes fail on the read-only /dev/null; the text goes nowhere.
  run({"/bin/sh", "-c", "echo child-says-$((6*7)); exit 0"}, 0, true, false);
  // Standard input is /dev/null too: a read ends at once.
  run({"/bin/sh", "-c", "read line; test -z \"$line\""}, 0, true, false);
  const std::string text = out.text();
  EXPECT_NE(text.find("][modules/utils:"), std::string::npos) << "log lines name their source";
  EXPECT_NE(text.find("] launching { /bin/sh -c echo child-says-loud; echo err-loud >&2; /usr/bin/env; exit 3 } "
                      "wait=1 logging=1\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("] exit flags 768\n"), std::string::npos) << text;
  EXPECT_NE(text.find("child-says-loud"), std::string::npos);
  EXPECT_EQ(text.find("child-says-42"), std::string::npos);
  EXPECT_NE(text.find("wait=1 logging=0"), std::string::npos);
  EXPECT_NE(text.find("\nPATH=/sbin:/usr/sbin:/bin:/usr/bin\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("TRL_SECRET"), std::string::npos);
  EXPECT_EQ(text.find("HOME="), std::string::npos);
}

TEST(Launch, FailuresNameTheirCause) {
  const std::string wrong = launchError({"/bin/sh", "-c", "exit 2"});
  EXPECT_EQ(wrong.rfind("_Error [modules/utils:", 0), 0u) << wrong;
  EXPECT_TRUE(endsWith(wrong, "] { /bin/sh -c exit 2 } exited with 2; expected 0")) << wrong;

  const std::string killed = launchError({"/bin/sh", "-c", "kill -9 $$"});
  EXPECT_TRUE(endsWith(killed, "] child process exited abnormally0")) << killed;

  // PATH is never searched: a bare program name cannot be spawned.
  const std::string bare = launchError({"true"});
  EXPECT_EQ(bare.rfind("_SysError [modules/utils:", 0), 0u) << bare;
  EXPECT_NE(bare.find("] posix_spawn failed with '"), std::string::npos) << bare;
}

TEST(Launch, ChildGetsTheStandardDescriptorsOnly) {
  const int private_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int inheritable_fd = open("/dev/null", O_RDONLY);  // as a library might leave one
  ASSERT_GE(private_fd, 3);
  trl::test::CaptureStdout out;
  run({"/bin/sh", "-c", "ls /proc/$$/fd"});  // ls lists the shell's descriptors
  const std::string text = out.text();
  EXPECT_NE(text.find("\n0\n1\n2\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("\n3\n"), std::string::npos) << text;
  close(private_fd);
  close(inheritable_fd);
}

TEST(Launch, NoWaitReturnsAtOnce) {
  trl::test::CaptureStdout out;
  const auto start = std::chrono::steady_clock::now();
  run({"/bin/sleep", "30"}, 0, false, false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_EQ(out.text().find("exit flags"), std::string::npos);
}

}  // namespace
