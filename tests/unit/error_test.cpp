#include <fcntl.h>
#include <gtest/gtest.h>

#include <regex>

#include "modules/base.h"
#include "modules/error.h"
#include "modules/paths.h"
#include "tests/support/scratch.h"

namespace {

std::string touchErrno(const char* text) {
  errno = EACCES;  // what an allocation or a log call might leave behind
  return text;
}

TEST(Errors, MessagesCarryTheSourcePositionAndTheFailedCallsErrno) {
  const _Error e = TRL_ERROR("tabWidget_ is NULL");
  EXPECT_TRUE(std::regex_match(std::string(e.what()), std::regex(R"(\[tests/unit/error_test:\d+\] tabWidget_ is NULL)")))
      << e.what();
  ASSERT_EQ(open("/nonexistent/trl", O_RDONLY), -1);
  const _SysError sys = TRL_SYSERROR(touchErrno("open failed"));
  EXPECT_NE(std::string(sys.what()).find("open failed with 'No such file or directory'"), std::string::npos)
      << "errno read before the message was built: " << sys.what();
}

TEST(Errors, WarningsAndLogLines) {
  trl::test::CaptureStdout out;
  _Warn("modules/x", 4, "unexpected event flags 8");
  errno = EBADF;
  _SysWarn("modules/x", 5, "close failed");
  TRL_LOG("hello " << 42);
  const std::string text = out.text();
  EXPECT_NE(text.find("[modules/x:4] unexpected event flags 8\n"), std::string::npos);
  EXPECT_NE(text.find("[modules/x:5] close failed with 'Bad file descriptor'\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]\[tests/unit/error_test:\d+\]\[\d+\] hello 42\n$)")))
      << text;
}

TEST(Paths, SysrootPrefixesFixedPaths) {
  trl::setSysroot("/srv/root/");
  EXPECT_EQ(trl::sysPath("/etc/hosts"), "/srv/root/etc/hosts");
  trl::setSysroot("");
  EXPECT_EQ(trl::sysPath("/etc/hosts"), "/etc/hosts");
  EXPECT_THROW(trl::setSysroot("relative"), _Error);
  EXPECT_THROW(trl::sysPath("etc/hosts"), _Error);
}

}  // namespace
