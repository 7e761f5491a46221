// The registry on a full disk (a small tmpfs as its system root): a failed
// merge is an error, never a signal; the live files stay as they were; and
// once space is freed the next scan brings the table and both files up to
// date.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>

#include "modules/nodes.h"
#include "tests/support/registry_root.h"

namespace {

using trl::test::leaseBlock;
using trl::test::readFile;

// A tmpfs seen by this process only, for as long as the object lives.
class SmallDisk {
 public:
  explicit SmallDisk(const char* size) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return;
    if (!::mkdtemp(dir_) || ::mount("tmpfs", dir_, "tmpfs", 0, size) != 0) return;
    mounted_ = true;
    ::setenv("TMPDIR", dir_, 1);
  }
  ~SmallDisk() {
    ::unsetenv("TMPDIR");
    if (mounted_) ::umount2(dir_, MNT_DETACH);
    ::rmdir(dir_);
  }
  bool mounted() const { return mounted_; }

 private:
  char dir_[32] = "/tmp/trl-disk-XXXXXX";
  bool mounted_ = false;
};

// Writes until the file system has no byte left.
void fill(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  const std::string block(4096, 'x');
  while (::write(fd, block.data(), block.size()) > 0) {
  }
  ::write(fd, block.data(), 1);  // the last partial page
  ::close(fd);
}

std::string lease(int i) {
  char mac[18];
  std::snprintf(mac, sizeof mac, "00:25:90:00:02:%02x", i);
  return leaseBlock("10.0.0." + std::to_string(100 + i), mac);
}

TEST(DiskFull, NoSignalOldFilesKeptAndAllCaughtUpOnceSpaceIsFreed) {
  SmallDisk disk("size=2m");
  if (!disk.mounted()) GTEST_SKIP() << "needs root to mount a tmpfs";
  trl::test::RegistryRoot root;
  std::string leases;
  for (int i = 1; i <= 3; ++i) leases += lease(i);
  root.setLeases(leases);
  Nodes nodes(root.config());
  for (int i = 4; i <= 28; ++i) leases += lease(i);
  root.setLeases(leases);
  const std::string hosts = readFile(root.path("/etc/hosts")), conf = readFile(root.path("/etc/dhcp/dhcpd.conf"));

  fill(root.path("/filler"));
  const std::string error = trl::test::errorOf([&] { nodes.update(); });
  EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
  EXPECT_EQ(readFile(root.path("/etc/hosts")), hosts);
  EXPECT_EQ(readFile(root.path("/etc/dhcp/dhcpd.conf")), conf);
  EXPECT_EQ(trl::test::errorOf([&] { nodes.update(); }), error) << "and again, still no signal";

  ASSERT_EQ(::unlink(root.path("/filler").c_str()), 0);
  nodes.update();
  EXPECT_EQ(nodes.size(), 28u);
  EXPECT_EQ(nodes.dhcpConfError(), "");
  for (const char* name : {"\tnode1\n", "\tnode28\n"})
    EXPECT_NE(readFile(root.path("/etc/hosts")).find(name), std::string::npos) << name;
  EXPECT_NE(readFile(root.path("/etc/dhcp/dhcpd.conf")).find("host node28\t"), std::string::npos);
}

}  // namespace
