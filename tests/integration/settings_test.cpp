#include "modules/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <regex>

#include "modules/error.h"
#include "tests/support/scratch.h"

namespace {

const char* const machine_status = "/var/lib/dpkg/status";
const char* const machine_log = "/var/log/dpkg.log";

// A scratch system root whose usr/bin/dpkg is the real package manager bound
// to a private database and installation root, so the machine's own
// packages are never read or changed.
class SettingsTest : public ::testing::Test {
 protected:
  trl::test::ScratchRoot root;
  std::string target = root.mkdir("/target");
  std::string admin = root.mkdir("/admin");
  std::string work = root.mkdir("/work");
  std::string dpkg = root.mkdir("/usr/bin") + "/dpkg";
  std::string package = work + "/trl-probe_1.0_all.deb";
  std::string not_package = work + "/not-a-package.deb";
  std::string payload = target + "/opt/trl-probe/payload";
  std::string machine_before = trl::test::readFile(machine_status);
  long machine_log_before = trl::test::fileSize(machine_log);
  Settings settings;

  void SetUp() override {
    root.mkdir("/admin/updates");
    root.mkdir("/admin/info");
    trl::test::writeFile(admin + "/status", "");
    trl::test::writeFile(dpkg, "#!/bin/sh\nexec 2>&1 /usr/bin/dpkg --root=" + target + " --admindir=" + admin +
                                   " --log=" + root.dir() + "/dpkg.log --force-not-root \"$@\"\n");
    ASSERT_EQ(chmod(dpkg.c_str(), 0755), 0);
    buildPackage();
    trl::test::writeFile(not_package, "this is not a Debian archive\n");
  }

  void TearDown() override {
    EXPECT_EQ(trl::test::readFile(machine_status), machine_before);
    EXPECT_EQ(trl::test::fileSize(machine_log), machine_log_before);
  }

  void buildPackage() {
    const std::string tree = root.mkdir("/work/tree");
    root.mkdir("/work/tree/DEBIAN");
    root.mkdir("/work/tree/opt/trl-probe");
    trl::test::writeFile(tree + "/DEBIAN/control",
                         "Package: trl-probe\nVersion: 1.0\nArchitecture: all\n"
                         "Maintainer: Test <test@example.invalid>\nDescription: upgrade probe\n");
    trl::test::writeFile(tree + "/opt/trl-probe/payload", "new version\n");
    const std::string command =
        "/usr/bin/dpkg-deb --root-owner-group -Zgzip --build " + tree + " " + package + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

};

TEST_F(SettingsTest, ValidationRefusesWhatIsNoPackage) {
  trl::test::CaptureStdout out;
  const std::string error = trl::test::errorOf<_Error>([&] { settings.validateTrellium(not_package); });
  const std::string log = out.text();
  EXPECT_EQ(error.rfind("[modules/utils:", 0), 0u) << error;
  EXPECT_NE(error.find("] { " + dpkg + " --dry-run -i " + not_package + " }"), std::string::npos) << error;
  EXPECT_TRUE(std::regex_search(error, std::regex(" exited with [1-9][0-9]*; expected 0$"))) << error;
  EXPECT_NE(log.find("] Validating Trellium from package file " + not_package + "\n"), std::string::npos) << log;
  EXPECT_EQ(trl::test::fileSize(payload), -1);
}

TEST_F(SettingsTest, ValidationPassesAPackageWithoutInstallingIt) {
  trl::test::CaptureStdout out;
  EXPECT_EQ(trl::test::errorOf<_Error>([&] { settings.validateTrellium(package); }), "");
  const std::string log = out.text();
  EXPECT_NE(log.find("] launching { " + dpkg + " --dry-run -i " + package + " } wait=1 logging=1\n"),
            std::string::npos) << log;
  EXPECT_NE(log.find("] exit flags 0\n"), std::string::npos) << log;
  EXPECT_EQ(trl::test::fileSize(payload), -1);
}

TEST_F(SettingsTest, UpgradeInstallsThePackage) {
  trl::test::CaptureStdout out;
  settings.validateTrellium(package);
  settings.upgradeTrellium(package);
  const std::string log = out.text();
  EXPECT_EQ(trl::test::readFile(payload), "new version\n");
  EXPECT_NE(log.find("] Upgrading Trellium from package file " + package + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] launching { " + dpkg + " -i " + package + " } wait=1 logging=1\n"), std::string::npos);
  EXPECT_NE(trl::test::readFile(admin + "/status").find("Package: trl-probe\nStatus: install ok installed\n"),
            std::string::npos);
}

TEST_F(SettingsTest, FailedUpgradeInstallsNothing) {
  trl::test::CaptureStdout out;
  const std::string error = trl::test::errorOf<_Error>([&] { settings.upgradeTrellium(not_package); });
  EXPECT_TRUE(std::regex_search(error, std::regex("\\] \\{ .* -i .* \\} exited with [1-9][0-9]*; expected 0$")))
      << error;
  EXPECT_EQ(trl::test::readFile(admin + "/status"), "");
}

// A name that the package manager would take for one of its options never
// reaches it.
TEST_F(SettingsTest, OnlyAbsolutePackagePaths) {
  trl::test::CaptureStdout out;
  EXPECT_NE(trl::test::errorOf<_Error>([&] { settings.validateTrellium("--force-all"); }), "");
  EXPECT_NE(trl::test::errorOf<_Error>([&] { settings.upgradeTrellium("trl-probe_1.0_all.deb"); }), "");
  EXPECT_EQ(out.text().find("launching"), std::string::npos);
}

}  // namespace
