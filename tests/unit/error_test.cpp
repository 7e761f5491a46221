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

TEST(Errors, MessagesCarryRelativeSourcePosition) {
  const _Error e = TRL_ERROR("tabWidget_ is NULL");
  EXPECT_TRUE(std::regex_match(std::string(e.what()), std::regex(R"(\[tests/unit/error_test:\d+\] tabWidget_ is NULL)")))
      << e.what();
  const _BareError bare("plain");
  EXPECT_STREQ(bare.what(), "plain");
  const _Error direct("gui/trellium", 7, std::string("x"));
  EXPECT_STREQ(direct.what(), "[gui/trellium:7] x");
}

TEST(Errors, SysErrorKeepsErrnoOfTheFailedCall) {
  ASSERT_EQ(open("/nonexistent/trl", O_RDONLY), -1);
  const _SysError e = TRL_SYSERROR(touchErrno("open failed"));
  EXPECT_NE(std::string(e.what()).find("open failed with 'No such file or directory'"), std::string::npos) << e.what();

  errno = ENOENT;
  const _SysError plain("modules/store", 3, "Out of bound deletion");
  EXPECT_STREQ(plain.what(), "[modules/store:3] Out of bound deletion with 'No such file or directory'");
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

TEST(Errors, ToStringAndCurrentTime) {
  EXPECT_EQ(to_string(true), "1");
  EXPECT_EQ(to_string(false), "0");
  EXPECT_EQ(to_string(-12), "-12");
  EXPECT_EQ(to_string(std::string("x")), "x");
  EXPECT_TRUE(std::regex_match(currentTime(), std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\])")));
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
