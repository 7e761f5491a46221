// Boot options in a scratch TFTP tree with a real node registry: which
// options are offered, which files every server gets, and that they go away.
#include "modules/deployment.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <thread>

#include "modules/error.h"
#include "modules/nodes.h"
#include "tests/support/registry_root.h"

namespace {

using trl::test::endsWith;
using trl::test::errorOf;
using trl::test::readFile;
using trl::test::writeFile;
using Node = Nodes::Node;

const macaddr aic = 0x0015b2000001ULL;         // serial console 1
const macaddr supermicro = 0x0025906abcdeULL;  // serial console 2
const macaddr unknown = 0x001122334455ULL;     // no vendor rule

class DeploymentTest : public ::testing::Test {
 protected:
  trl::test::RegistryRoot root;
  std::string os = root.mkdir(Deployment::os_path);
  std::string cfg = root.mkdir(Deployment::tftp_path);

  void option(const std::string& dir, const std::string& name, const std::string& pxelinux) const {
    root.mkdir(std::string(Deployment::os_path) + "/" + dir);
    writeFile(os + "/" + dir + "/NAME", name);
    writeFile(os + "/" + dir + "/PXELINUX", pxelinux);
  }

  // Two options whose templates tell them apart and carry the port.
  void twoOptions() const {
    option("centos-6.9", "CentOS 6.9\n", "label centos\nconsole=ttyS0 serial X 115200\n");
    option("ubuntu", "Ubuntu\n", "label ubuntu serial X\n");
  }

  // Servers as the Servers tab adds them: no address, so nothing is probed.
  static void addServers(Nodes& nodes, const std::vector<macaddr>& macs) {
    {
      const Nodes::ExclusiveAccess table(nodes);
      for (const macaddr mac : macs) {
        Node::Interface host(mac, 0);
        host.name("node" + std::to_string(NodesTestAccess::store(nodes).size() + 1));
        NodesTestAccess::store(nodes).push_back(Node(host));
      }
    }
    nodes.commit();
  }

  static void removeServer(Nodes& nodes, macaddr mac) {
    {
      const Nodes::ExclusiveAccess table(nodes);
      Store<Node>& store = NodesTestAccess::store(nodes);
      for (Node* node = store.begin(); node != store.end(); ++node)
        if (node->eth0.mac() == mac) {
          store.erase(node);
          break;
        }
    }
    nodes.commit();
  }

  std::string serverFile(macaddr mac) const { return cfg + "/01-" + Deployment::macstr(mac); }

  // Every name in the per-server directory, staging files included.
  std::set<std::string> cfgFiles() const {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(cfg)) names.insert(entry.path().filename());
    return names;
  }
};

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

TEST_F(DeploymentTest, OptionsComeInVersionOrderAndIncompleteOrUnreadableOnesAreSkipped) {
  option("ubuntu", "Ubuntu 22.04\nsecond line\n", "");
  option("centos-6.10", "CentOS 6.10\n", "");
  option("centos-6.9", "CentOS 6.9", "");  // no newline at the end
  root.mkdir(std::string(Deployment::os_path) + "/no-template");
  writeFile(os + "/no-template/NAME", "Half installed\n");
  root.mkdir(std::string(Deployment::os_path) + "/no-name");
  writeFile(os + "/no-name/PXELINUX", "");
  writeFile(os + "/stray-file", "");
  // A NAME that is a pipe would block a plain read, and a template that is a directory cannot be read.
  root.mkdir(std::string(Deployment::os_path) + "/fifo");
  ASSERT_EQ(::mkfifo((os + "/fifo/NAME").c_str(), 0600), 0);
  writeFile(os + "/fifo/PXELINUX", "");
  root.mkdir(std::string(Deployment::os_path) + "/template-dir/PXELINUX");
  writeFile(os + "/template-dir/NAME", "Directory\n");

  Nodes nodes;
  trl::test::CaptureStdout out;
  const Deployment deployment(nodes);
  const std::string log = out.text();
  EXPECT_EQ(deployment.descriptions, (std::vector<std::string>{"CentOS 6.9", "CentOS 6.10", "Ubuntu 22.04"}));
  EXPECT_TRUE(contains(log, "] skipping " + os + "/no-template/PXELINUX (No such file or directory on pxelinux)\n"));
  EXPECT_TRUE(contains(log, "] skipping " + os + "/no-name/NAME (No such file or directory on NAME)\n"));
  EXPECT_TRUE(contains(log, "] skipping " + os + "/stray-file/NAME (Not a directory on NAME)\n"));
  EXPECT_TRUE(contains(log, "] skipping " + os + "/fifo/NAME (Invalid argument on NAME)\n"));
  EXPECT_TRUE(contains(log, "] skipping " + os + "/template-dir/PXELINUX (Is a directory on pxelinux)\n"));
  EXPECT_EQ(deployment.current(), 0) << "an empty table leaves the first option chosen";
  EXPECT_EQ(deployment.currentDesc(), "CentOS 6.9");
  EXPECT_TRUE(cfgFiles().empty());
}

TEST_F(DeploymentTest, WithoutOptionsOrWithAnEmptyNameTheStartFails) {
  Nodes nodes;
  EXPECT_TRUE(endsWith(errorOf([&] { Deployment d(nodes); }), "] impossible entry selected"));
  option("centos-6.9", "CentOS 6.9\n", "");
  for (const char* name : {"\nDebian\n", ""}) {
    option("debian", name, "");
    EXPECT_TRUE(endsWith(errorOf([&] { Deployment d(nodes); }), "] failed to match")) << name;
  }
  std::filesystem::remove_all(os);
  const std::string missing = errorOf([&] { Deployment d(nodes); });
  EXPECT_TRUE(contains(missing, "] failed to list directory with '")) << missing;
}

TEST_F(DeploymentTest, EveryServerGetsTheTemplateWithItsVendorsSerialPort) {
  twoOptions();
  Nodes nodes;
  addServers(nodes, {supermicro, unknown, aic});
  {
    const Nodes::ExclusiveAccess table(nodes);
    Node controller_only(*table.begin());
    controller_only.eth0.reset();  // no host MAC: no file
    NodesTestAccess::store(nodes).push_back(controller_only);
  }
  trl::test::CaptureStdout out;
  Deployment deployment(nodes);
  const std::string log = out.text();

  EXPECT_EQ(cfgFiles(), (std::set<std::string>{"01-00-15-b2-00-00-01", "01-00-25-90-6a-bc-de",
                                               "01-00-11-22-33-44-55"}));
  EXPECT_EQ(readFile(serverFile(aic)), "label centos\nconsole=ttyS0 serial 1 115200\n");
  EXPECT_EQ(readFile(serverFile(supermicro)), "label centos\nconsole=ttyS0 serial 2 115200\n");
  EXPECT_EQ(readFile(serverFile(unknown)), "label centos\nconsole=ttyS0 serial -1 115200\n");
  const std::string source = os + "/centos-6.9/PXELINUX";
  // Ascending MAC order, whatever the table's order.
  const size_t first = log.find("] configuring " + source + " to " + serverFile(unknown) + "\n");
  const size_t second = log.find("] configuring " + source + " to " + serverFile(aic) + "\n");
  const size_t third = log.find("] configuring " + source + " to " + serverFile(supermicro) + "\n");
  ASSERT_NE(third, std::string::npos) << log;
  EXPECT_LT(first, second);
  EXPECT_LT(second, third);

  deployment.select(1);
  EXPECT_EQ(deployment.current(), 1);
  EXPECT_EQ(deployment.currentDesc(), "Ubuntu");
  EXPECT_EQ(readFile(serverFile(aic)), "label ubuntu serial 1\n");
}

TEST_F(DeploymentTest, ServerThatLeavesTheTableLosesItsFileAtTheNextApplicationAndImpossibleEntriesChangeNothing) {
  twoOptions();
  Nodes nodes;
  addServers(nodes, {supermicro, aic});
  Deployment deployment(nodes);
  ASSERT_EQ(cfgFiles().size(), 2u);

  removeServer(nodes, aic);
  EXPECT_EQ(cfgFiles().size(), 2u) << "files change only when an option is applied";
  {
    trl::test::CaptureStdout out;
    deployment.select(-1);
    EXPECT_TRUE(contains(out.text(), "] Unlink 00-15-b2-00-00-01\n"));
  }
  EXPECT_EQ(cfgFiles(), std::set<std::string>{"01-00-25-90-6a-bc-de"});
  EXPECT_EQ(deployment.current(), 0);

  std::filesystem::remove(serverFile(supermicro));  // gone by other hands
  removeServer(nodes, supermicro);
  addServers(nodes, {unknown});
  EXPECT_NO_THROW(deployment.select(1)) << "a file already gone is no error";
  EXPECT_EQ(cfgFiles(), std::set<std::string>{"01-00-11-22-33-44-55"});

  addServers(nodes, {aic});  // a server that comes back gets its file again
  deployment.select(-1);
  EXPECT_EQ(readFile(serverFile(aic)), "label ubuntu serial 1\n");

  for (const int entry : {2, -2}) {
    EXPECT_TRUE(endsWith(errorOf([&] { deployment.select(entry); }), "] impossible entry selected")) << entry;
    EXPECT_EQ(deployment.current(), 1) << "an impossible entry changes nothing";
    EXPECT_EQ(readFile(serverFile(aic)), "label ubuntu serial 1\n");
  }
  removeServer(nodes, unknown);
  removeServer(nodes, aic);
  deployment.select(0);
  EXPECT_EQ(deployment.current(), 1) << "with an empty table nothing was applied";
  EXPECT_TRUE(cfgFiles().empty()) << "the last servers lose their files too: outside the table they boot nothing of ours";
}

TEST_F(DeploymentTest, DestructionAndClearallLeaveNoFileBehind) {
  twoOptions();
  Nodes nodes;
  addServers(nodes, {supermicro, aic});
  {
    Deployment deployment(nodes);
    removeServer(nodes, aic);
    deployment.select(1);  // the departed server's MAC is still remembered
    addServers(nodes, {unknown});
    deployment.select(-1);
    ASSERT_EQ(cfgFiles().size(), 2u);
    deployment.clearall();
    EXPECT_TRUE(cfgFiles().empty());
    EXPECT_EQ(deployment.current(), -1);
    EXPECT_EQ(deployment.currentDesc(), "unset");
    deployment.select(-1);
    EXPECT_TRUE(cfgFiles().empty()) << "with no option applied, re-applying writes nothing";
    deployment.select(0);
    ASSERT_EQ(cfgFiles().size(), 2u);
  }
  EXPECT_TRUE(cfgFiles().empty());
}

TEST_F(DeploymentTest, FailedStartLeavesNoFileBehind) {
  twoOptions();
  Nodes nodes;
  addServers(nodes, {aic, supermicro});
  // The second server's file cannot be written: a directory holds its name.
  root.mkdir(std::string(Deployment::tftp_path) + "/01-" + Deployment::macstr(supermicro));
  const std::string error = errorOf([&] { Deployment d(nodes); });
  EXPECT_TRUE(contains(error, "] rename failed with '")) << error;
  EXPECT_EQ(cfgFiles(), std::set<std::string>{"01-00-25-90-6a-bc-de"}) << "only the directory is left";
}

TEST_F(DeploymentTest, DescriptionsAreOneLineOfDisplayableText) {
  const std::string long_line(200, 'a');
  option("1-long", long_line + "\n", "");
  // A two-byte character across the 127-byte cut is left out, not halved.
  option("2-cut", std::string(126, 'b') + "\xc3\xa9" + "\n", "");
  option("3-utf8", "Debian \xe2\x80\x93 stable\n", "");
  option("4-invalid", "bad \xff byte\n", "");
  option("5-nul", std::string("before\0after\n", 13), "");
  root.mkdir(std::string(Deployment::os_path) + "/6-new\nline");
  writeFile(os + "/6-new\nline/NAME", "Name\twith tab\n");
  writeFile(os + "/6-new\nline/PXELINUX", "");
  Nodes nodes;
  trl::test::CaptureStdout out;
  const Deployment deployment(nodes);
  const std::string log = out.text();
  EXPECT_EQ(deployment.descriptions,
            (std::vector<std::string>{std::string(127, 'a'), std::string(126, 'b'), "Debian \xe2\x80\x93 stable",
                                      "bad ? byte", "before", "Name\twith tab"}));
  EXPECT_TRUE(contains(log, "] found [6-new?line] [Name?with tab]\n")) << "one log line per message";
}

TEST_F(DeploymentTest, ConcurrentWindowsLeaveConsistentFiles) {
  twoOptions();
  Nodes nodes;
  addServers(nodes, {supermicro, aic, unknown});
  Deployment deployment(nodes);
  trl::test::CaptureStdout quiet;
  auto window = [&](int option) {
    for (int i = 0; i < 40; ++i) deployment.select(option);
  };
  std::thread first(window, 0), second(window, 1);
  first.join();
  second.join();
  // Whichever window came last, every file is from the option it applied.
  const bool centos = deployment.current() == 0;
  for (const auto& [mac, port] : {std::pair{supermicro, 2}, {aic, 1}, {unknown, -1}}) {
    const std::string serial = "serial " + std::to_string(port);
    EXPECT_EQ(readFile(serverFile(mac)),
              centos ? "label centos\nconsole=ttyS0 " + serial + " 115200\n" : "label ubuntu " + serial + "\n");
  }
  EXPECT_EQ(cfgFiles().size(), 3u) << "no staging file left behind";
}

TEST_F(DeploymentTest, ConfigReplacesEveryPlaceholderAndReportsUnreadableTemplatesAndUnwritableTargets) {
  const std::string missing = os + "/none/PXELINUX";
  EXPECT_TRUE(contains(errorOf([&] { Deployment::config(missing, cfg + "/x", 1); }),
                       "] constructing input stream on " + missing + " failed with '"));
  EXPECT_FALSE(std::filesystem::exists(cfg + "/x"));
  writeFile(os + "/template", "serial Xserial X\nserial x serial  X serialX\nSERIAL X\nserial X");
  EXPECT_TRUE(contains(errorOf([&] { Deployment::config(os + "/template", cfg + "/no/such/dir/x", 1); }),
                       "] constructing output stream on "));
  Deployment::config(os + "/template", cfg + "/x", 3);
  EXPECT_EQ(readFile(cfg + "/x"), "serial 3serial 3\nserial x serial  X serialX\nSERIAL X\nserial 3")
      << "every placeholder is replaced, and nothing else";
}

}  // namespace
