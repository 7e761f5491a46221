// Who may sign in, through the real Linux-PAM library: a PAM service of a
// scratch system root (pam_pwdfile with a password file of the root, as
// lab/make-sysroot.sh lays it out), never the host's accounts; and the
// administrators' group from the root's account files, or read-only from
// the host's account database.
#include <gtest/gtest.h>

#include <pwd.h>

#include <cstdio>

#include "modules/pam_sign_in.h"
#include "tests/support/scratch.h"

namespace {

// A crypt(3) hash, as openssl makes it for a password file.
std::string hashed(const std::string& password) {
  const std::string command = "printf '%s' '" + password + "' | openssl passwd -6 -stdin";
  std::unique_ptr<FILE, int (*)(FILE*)> out(::popen(command.c_str(), "r"), &::pclose);
  char line[256] = {};
  if (!out || !std::fgets(line, sizeof line, out.get())) return {};
  std::string hash = line;
  while (!hash.empty() && hash.back() == '\n') hash.pop_back();
  return hash;
}

class PamSignInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string command = std::string(TRL_SOURCE_DIR "/lab/make-sysroot.sh ") + root.dir() + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    // Two more accounts of the root: root itself, and one outside the group.
    const std::string passwords = root.dir() + "/etc/trellium/lab.passwd";
    trl::test::writeFile(passwords, trl::test::readFile(passwords) + "root:" + hashed("root words") + "\n" +
                                        "outsider:" + hashed("outside words") + "\n");
    const std::string users = root.dir() + "/etc/passwd";
    trl::test::writeFile(users, trl::test::readFile(users) + "outsider:x:1001:1001::/nonexistent:/usr/sbin/nologin\n");
  }
  trl::test::ScratchRoot root;
};

TEST_F(PamSignInTest, RightPasswordWrongPasswordAUserOutsideTheGroupAndNoServiceFile) {
  const trl::PamSignIn pam = trl::PamSignIn::forSystemRoot("trellium");
  EXPECT_TRUE(pam.check("demo", "trellium-lab", "127.0.0.1")) << "in the group, by its list";
  EXPECT_FALSE(pam.check("demo", "trellium-lax", "127.0.0.1"));
  EXPECT_FALSE(pam.check("outsider", "outside words", "127.0.0.1")) << "right password, not in the group";
  EXPECT_FALSE(pam.administers("outsider"));
  EXPECT_TRUE(pam.check("root", "root words", "127.0.0.1")) << "root needs no group";
  EXPECT_FALSE(pam.check("nobody-here", "trellium-lab", "127.0.0.1"));
  EXPECT_FALSE(pam.check("demo", "", "127.0.0.1"));
  EXPECT_FALSE(pam.check("de\nmo", "trellium-lab", "127.0.0.1"));
  // Membership by primary group, for another group name.
  EXPECT_TRUE(trl::PamSignIn::forSystemRoot("demo").check("demo", "trellium-lab", "::1"));
  EXPECT_FALSE(trl::PamSignIn::forSystemRoot("wheel").check("demo", "trellium-lab", "::1"));

  // Without its service file nobody signs in, root neither.
  ASSERT_EQ(std::remove((root.dir() + "/etc/pam.d/trellium").c_str()), 0);
  const trl::test::CaptureStdout log;
  EXPECT_FALSE(trl::PamSignIn::forSystemRoot("trellium").check("demo", "trellium-lab", "127.0.0.1"));
  EXPECT_FALSE(trl::PamSignIn::forSystemRoot("trellium").check("root", "root words", "127.0.0.1"));
}

// The host's account database, only read: daemon's primary group is daemon
// and nobody's is not (Debian's base accounts).
TEST(PamSignInSystem, GroupsFromTheHostsAccountDatabase) {
  if (!::getpwnam("daemon") || !::getpwnam("nobody")) GTEST_SKIP() << "no daemon or nobody account here";
  const trl::PamSignIn pam("daemon", "", "");
  EXPECT_TRUE(pam.administers("daemon"));
  EXPECT_FALSE(pam.administers("nobody"));
  EXPECT_TRUE(pam.administers("root"));
  EXPECT_FALSE(trl::PamSignIn("no-such-group-here", "", "").administers("daemon"));
}

}  // namespace
