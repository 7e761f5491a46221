#include "modules/settings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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
  std::string package = work + "/trellium_1.0_all.deb";
  std::string not_package = work + "/not-a-package.deb";
  std::string payload = target + "/opt/trellium-probe/payload";
  std::string machine_before = trl::test::readFile(machine_status);
  long machine_log_before = trl::test::fileSize(machine_log);
  Settings settings;

  void SetUp() override {
    root.mkdir("/admin/updates");
    root.mkdir("/admin/info");
    root.mkdir("/var/lib");
    trl::test::writeFile(admin + "/status", "");
    trl::test::writeFile(dpkg, "#!/bin/sh\nexec 2>&1 /usr/bin/dpkg --root=" + target + " --admindir=" + admin +
                                   " --log=" + root.dir() + "/dpkg.log --force-not-root \"$@\"\n");
    ASSERT_EQ(chmod(dpkg.c_str(), 0755), 0);
    ASSERT_EQ(symlink("/usr/bin/dpkg-deb", (root.dir() + "/usr/bin/dpkg-deb").c_str()), 0);
    buildPackage("trellium", package);
    trl::test::writeFile(not_package, "this is not a Debian archive\n");
  }

  void TearDown() override {
    EXPECT_EQ(trl::test::readFile(machine_status), machine_before);
    EXPECT_EQ(trl::test::fileSize(machine_log), machine_log_before);
    // Whatever validation unpacked to look at is gone again.
    EXPECT_EQ(countEntries(root.dir() + "/var/lib/trellium/private"), 0);
  }

  // A package NAME at deb whose payload is a few kilobytes of noise (so a
  // cut lands in its compressed data); with a configuration file
  // /etc/trellium/wthttpd when conffile is given.
  void buildPackage(const std::string& name, const std::string& deb, const std::string& version = "1.0",
                    const std::string& conffile = "") {
    const std::string base = "/work/tree-" + std::to_string(++trees_);
    const std::string tree = root.mkdir(base);
    root.mkdir(base + "/DEBIAN");
    root.mkdir(base + "/opt/trellium-probe");
    trl::test::writeFile(tree + "/DEBIAN/control", "Package: " + name + "\nVersion: " + version +
                                                      "\nArchitecture: all\n"
                                                      "Maintainer: Test <test@example.invalid>\nDescription: upgrade probe\n");
    trl::test::writeFile(tree + "/opt/trellium-probe/payload", "new version\n");
    if (!conffile.empty()) {
      root.mkdir(base + "/etc");
      root.mkdir(base + "/etc/trellium");
      trl::test::writeFile(tree + "/etc/trellium/wthttpd", conffile);
      trl::test::writeFile(tree + "/DEBIAN/conffiles", "/etc/trellium/wthttpd\n");
    }
    const std::string command = "head -c 65536 /dev/urandom >" + tree + "/opt/trellium-probe/noise && " +
                                "/usr/bin/dpkg-deb --root-owner-group -Zgzip --build " + tree + " " + deb + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  int trees_ = 0;

  static int countEntries(const std::string& dir) {
    int n = 0;
    std::error_code ignored;
    for (auto it = std::filesystem::directory_iterator(dir, ignored); it != std::filesystem::directory_iterator(); ++it)
      ++n;
    return n;
  }

  // Validation that fails before the package manager's dry run: the error
  // text, and nothing installed.
  std::string refusal(const std::string& file) {
    trl::test::CaptureStdout out;
    const std::string error = trl::test::errorOf<_Error>([&] { settings.validateTrellium(file); });
    const std::string log = out.text();
    EXPECT_NE(log.find("] Validating Trellium from package file " + file + "\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("--dry-run"), std::string::npos) << log;
    EXPECT_EQ(trl::test::fileSize(payload), -1);
    return error;
  }
};

// Any package uploaded here would be installed as root: the name is checked
// first, and a package cut short (which the dry run would pass) is refused.
TEST_F(SettingsTest, ValidationRefusesWhatIsNotAWholeTrelliumPackage) {
  EXPECT_NE(refusal(not_package).find("] not a Debian package (or a damaged one); upload a Trellium package file"),
            std::string::npos);

  const std::string foreign = work + "/foo_1.0_all.deb";
  buildPackage("foo", foreign);
  EXPECT_TRUE(std::regex_search(refusal(foreign), std::regex("^\\[modules/settings:[0-9]+\\] not a Trellium package: foo$")));

  const std::string truncated = work + "/trellium-cut.deb";
  const std::string whole = trl::test::readFile(package);
  trl::test::writeFile(truncated, whole.substr(0, whole.size() - 4096));
  EXPECT_NE(refusal(truncated).find("] the package file is damaged or incomplete; upload it again"), std::string::npos);
}

TEST_F(SettingsTest, ValidationPassesAPackageWithoutInstallingItAndTheUpgradeInstallsIt) {
  trl::test::CaptureStdout out;
  EXPECT_EQ(trl::test::errorOf<_Error>([&] { settings.validateTrellium(package); }), "");
  EXPECT_EQ(trl::test::fileSize(payload), -1) << "validation installs nothing";
  settings.upgradeTrellium(package);
  const std::string log = out.text();
  EXPECT_NE(log.find("] launching { " + dpkg + " --dry-run -i " + package + " } wait=1 logging=1\n"),
            std::string::npos) << log;
  EXPECT_NE(log.find("] exit flags 0\n"), std::string::npos) << log;
  EXPECT_EQ(trl::test::readFile(payload), "new version\n");
  EXPECT_NE(log.find("] Upgrading Trellium from package file " + package + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] launching { " + dpkg + " --force-confdef --force-confold -i " + package +
                     " } wait=1 logging=1\n"),
            std::string::npos)
      << log;
  EXPECT_NE(trl::test::readFile(admin + "/status").find("Package: trellium\nStatus: install ok installed\n"),
            std::string::npos);
}

// Standard input is /dev/null for a scope, as for a service.
class NoTerminal {
 public:
  NoTerminal() : saved_(::dup(0)) {
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(null, 0);
    ::close(null);
  }
  ~NoTerminal() {
    ::dup2(saved_, 0);
    ::close(saved_);
  }
  NoTerminal(const NoTerminal&) = delete;
  NoTerminal& operator=(const NoTerminal&) = delete;

 private:
  int saved_;
};

// An upgrade that brings a new version of a configuration file the
// administrator changed asks nobody (no one could answer) and keeps the
// administrator's file.
TEST_F(SettingsTest, UpgradeKeepsAnEditedConfigurationFileWithoutAsking) {
  const std::string first = work + "/trellium_1.0_all.deb", second = work + "/trellium_2.0_all.deb";
  const std::string conffile = target + "/etc/trellium/wthttpd";
  buildPackage("trellium", first, "1.0", "http-port = 8080\n");
  buildPackage("trellium", second, "2.0", "http-port = 8080\nthreads = 2\n");
  trl::test::CaptureStdout out;
  const NoTerminal service;
  settings.upgradeTrellium(first);
  trl::test::writeFile(conffile, "http-port = 9090\n");
  EXPECT_EQ(trl::test::errorOf<_Error>([&] { settings.upgradeTrellium(second); }), "") << out.text();
  EXPECT_EQ(trl::test::readFile(conffile), "http-port = 9090\n");
  EXPECT_EQ(trl::test::readFile(conffile + ".dpkg-dist"), "http-port = 8080\nthreads = 2\n");
  EXPECT_NE(trl::test::readFile(admin + "/status").find("Status: install ok installed\n"), std::string::npos);
  EXPECT_NE(trl::test::readFile(admin + "/status").find("Version: 2.0\n"), std::string::npos);
}

TEST_F(SettingsTest, FailedUpgradeInstallsNothingAndOnlyAbsolutePathsReachThePackageManager) {
  {
    const trl::test::CaptureStdout quiet;
    const std::string error = trl::test::errorOf<_Error>([&] { settings.upgradeTrellium(not_package); });
    EXPECT_TRUE(std::regex_search(error, std::regex("\\] \\{ .* -i .* \\} exited with [1-9][0-9]*; expected 0$")))
        << error;
    EXPECT_EQ(trl::test::readFile(admin + "/status"), "");
  }
  // A name that the package manager would take for one of its options never reaches it.
  trl::test::CaptureStdout out;
  EXPECT_NE(trl::test::errorOf<_Error>([&] { settings.validateTrellium("--force-all"); }), "");
  EXPECT_NE(trl::test::errorOf<_Error>([&] { settings.upgradeTrellium("trellium_1.0_all.deb"); }), "");
  EXPECT_EQ(out.text().find("launching"), std::string::npos);
}

}  // namespace
