// The Deployment tab without a browser, on a real registry and boot options
// in a scratch TFTP tree: the options as radio buttons with the one in force
// checked, a click applied once however often the tab was refreshed, a
// click on an empty node table, and a refresh that cannot write.
#include "gui/deployment_tab.h"

#include <gtest/gtest.h>

#include <memory>

#include "gui/booting_panel.h"
#include "gui/util.h"
#include "modules/deployment.h"
#include "modules/nodes.h"
#include "tests/support/registry_root.h"
#include "tests/unit/gui_support.h"
#include "web/text.h"

namespace {

using Node = Nodes::Node;
using trl::test::readFile;

const macaddr supermicro = 0x0025906abcdeULL;  // serial console 2
const macaddr ibm = 0xe41f13000100ULL;

int occurrences(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class DeploymentTabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    option("centos-6.9", "CentOS 6.9\n", "label centos serial X\n");
    option("debian", "Debian <12>\n", "label debian\n");
    option("ubuntu", "Ubuntu 22.04\n", "label ubuntu\n");
    nodes_ = std::make_unique<Nodes>();
  }

  void option(const std::string& dir, const std::string& name, const std::string& pxelinux) const {
    root_.mkdir(std::string(Deployment::os_path) + "/" + dir);
    trl::test::writeFile(os_ + "/" + dir + "/NAME", name);
    trl::test::writeFile(os_ + "/" + dir + "/PXELINUX", pxelinux);
  }

  void addServers(const std::vector<macaddr>& macs) {
    {
      const Nodes::ExclusiveAccess table(*nodes_);
      for (const macaddr mac : macs) {
        Node::Interface host(mac, 0);  // no address: nothing is probed
        host.name("node" + std::to_string(NodesTestAccess::store(*nodes_).size() + 1));
        NodesTestAccess::store(*nodes_).push_back(Node(host));
      }
    }
    nodes_->commit();
  }

  // The module (which applies option 0) and a page with the tab, refreshed.
  void open() {
    deployment_ = std::make_unique<Deployment>(*nodes_);
    page_ = std::make_unique<web::test::TestPage>([this](web::Application& app) {
      tab_ = app.root()->addNew<DeploymentTab>(nullptr);
      tab_->deploymentData().deployment = deployment_.get();
    });
  }
  void refresh() {
    page_->runAndWait([&] { tab_->update(0); });
  }
  // The person checks option k.
  void click(int k) { page_->event(*group().button(k), "change", "1"); }

  web::ButtonGroup& group() const { return tab_->bootingPanel()->buttonGroup(); }
  std::string status() const { return tab_->bootingPanel()->statusText()->text(); }
  std::string serverFile(macaddr mac) const { return cfg_ + "/01-" + Deployment::macstr(mac); }

  trl::test::RegistryRoot root_;
  std::string os_ = root_.mkdir(Deployment::os_path);
  std::string cfg_ = root_.mkdir(Deployment::tftp_path);
  std::unique_ptr<Nodes> nodes_;
  std::unique_ptr<Deployment> deployment_;
  std::unique_ptr<web::test::TestPage> page_;
  DeploymentTab* tab_ = nullptr;
};

TEST_F(DeploymentTabTest, ThreeOptionsWithTheSecondInForceAndAClickOnTheThirdAfterTenRefreshes) {
  addServers({supermicro, ibm});
  open();
  deployment_->select(1);
  for (int i = 0; i < 10; ++i) refresh();
  EXPECT_EQ(group().count(), 3) << "the old buttons left the group";
  const std::vector<web::RadioButton*> buttons = group().buttons();
  ASSERT_EQ(buttons.size(), 3u);
  EXPECT_EQ(buttons[0]->text(), Util::plainText("CentOS 6.9"));
  EXPECT_EQ(buttons[1]->text(), Util::stdText("Debian &lt;12&gt;")) << "a name from the TFTP tree is text";
  EXPECT_EQ(group().checkedId(), 1);
  EXPECT_NE(status().find("<b>In force:</b> Debian &lt;12&gt;."), std::string::npos) << status();
  EXPECT_EQ(readFile(serverFile(supermicro)), "label debian\n");

  trl::test::CaptureStdout out;
  click(2);
  const std::string printed = out.text();
  EXPECT_EQ(occurrences(printed, "] [DeploymentTab] Changing boot option to id 2\n"), 1)
      << "once, however often the tab was refreshed: " << printed;
  EXPECT_EQ(occurrences(printed, "[Deployment] select(2)\n"), 1) << printed;
  EXPECT_EQ(deployment_->current(), 2);
  EXPECT_EQ(group().checkedId(), 2);
  EXPECT_EQ(readFile(serverFile(supermicro)), "label ubuntu\n");
  EXPECT_EQ(readFile(serverFile(ibm)), "label ubuntu\n");
  EXPECT_NE(status().find("Ubuntu 22.04"), std::string::npos);

  // Each choice is a line of the audit log first; without its line, nothing changes.
  ASSERT_FALSE(trl::auditTail(1).empty());
  EXPECT_TRUE(trl::test::endsWith(trl::auditTail(1).front(), "\tboot option\tUbuntu 22.04")) << trl::auditTail(1)[0];
  {
    const trl::test::AuditLogBlocked blocked;
    click(0);
  }
  EXPECT_EQ(deployment_->current(), 2);
  EXPECT_EQ(group().checkedId(), 2);
  EXPECT_EQ(readFile(serverFile(ibm)), "label ubuntu\n");
  EXPECT_NE(status().find("<b>Nothing changed:</b> the audit log cannot be written."), std::string::npos) << status();
}

// No server takes an option, so the one in force stays, and the page says
// so at once instead of showing a choice that did not happen.
TEST_F(DeploymentTabTest, AClickOnAnEmptyNodeTableChangesNothing) {
  open();
  refresh();
  click(1);
  EXPECT_EQ(deployment_->current(), 0);
  EXPECT_EQ(group().checkedId(), 0);
  EXPECT_NE(status().find("<b>Nothing changed:</b>"), std::string::npos) << status();
  EXPECT_TRUE(std::filesystem::is_empty(cfg_));
  refresh();
  EXPECT_EQ(group().checkedId(), 0) << "the refresh checks the option still in force";
}

// A refresh comes from the event loop: a boot file that cannot be written
// is shown in the tab and does not end the program.
TEST_F(DeploymentTabTest, ARefreshThatCannotWriteSaysSo) {
  addServers({supermicro});
  open();
  std::filesystem::remove_all(cfg_);
  trl::test::writeFile(cfg_, "not a directory\n");
  EXPECT_NO_THROW(refresh());
  EXPECT_TRUE(tab_->bootingPanel()->statusText()->hasStyleClass("trl-error"));
  EXPECT_NE(status().find("The boot files could not be brought up to date:"), std::string::npos) << status();
  EXPECT_EQ(group().checkedId(), deployment_->current());

  std::filesystem::remove(cfg_);
  root_.mkdir(Deployment::tftp_path);
  click(0);
  EXPECT_EQ(readFile(serverFile(supermicro)), "label centos serial 2\n");
  EXPECT_FALSE(tab_->bootingPanel()->statusText()->hasStyleClass("trl-error"));
}

}  // namespace
