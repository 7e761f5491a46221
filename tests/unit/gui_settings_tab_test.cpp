// The Settings tab in a session of its own (handlers on a pool, as in the
// server): automatic naming and the prefix against the registry, the IPMI
// credentials and a password that never goes back to the page, and the
// status report, one private file per session. The upgrade flow runs the
// real package manager and restarts the process: tests/e2e/settings.test.mjs.
#include "gui/settings_tab.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "gui/ipmi_settings_panel.h"
#include "gui/trellium.h"
#include "modules/paths.h"
#include "tests/support/modules_root.h"
#include "tests/unit/gui_support.h"
#include "web/anchor.h"
#include "web/check_box.h"
#include "web/line_edit.h"
#include "web/push_button.h"
#include "web/tab_widget.h"
#include "web/text.h"

namespace {

const auto* const backend = ::testing::AddGlobalTestEnvironment(new trl::test::ModulesRoot);

using Node = Nodes::Node;
using trl::test::nodes;

// Named Supermicro servers.
void setServers(const std::vector<std::string>& names) {
  std::vector<Node> records;
  for (const std::string& name : names)
    records.push_back(trl::test::namedServer(name, 0x002590000200ULL + 0x100 * records.size()));
  trl::test::setTable(records);
}

std::vector<std::string> names() {
  std::vector<std::string> out;
  for (const Node& node : trl::test::table()) out.push_back(node.eth0.name());
  return out;
}

class SettingsPage {
 public:
  SettingsPage() {
    page_ = std::make_unique<web::test::TestPage>(&pool_, trl::test::openTrellium);
    page_->runAndWait([&] { app().tabWidget()->setCurrentIndex(Trellium::SettingsTabIndex); });
    page_->take();
  }

  web::test::TestPage& page() { return *page_; }
  Trellium& app() { return static_cast<Trellium&>(page_->app()); }
  SettingsTab& tab() { return *app().settingsTab(); }
  AutoNamingPanel& naming() { return *tab().autoNamingPanel(); }
  IPMISettingsPanel& ipmi() { return *tab().ipmiSettingsPanel(); }
  SupportPanel& support() { return *tab().supportPanel(); }

  void type(web::LineEdit* edit, const std::string& text) { page_->event(*edit, "change", text); }
  void press(web::PushButton* button) {
    page_->event(*button, "click");
    settle();
  }
  void settle() { page_->runAndWait([] {}); }
  // Everything sent to the page since the last call, as one text.
  std::string sent() {
    std::string all;
    for (const web::Update& u : page_->take())
      for (const auto& [id, html] : u.widgets) all += html;
    return all;
  }
  std::string answer() { return trl::test::answerBox(*page_); }

 private:
  web::HandlerPool pool_{2};
  std::unique_ptr<web::test::TestPage> page_;
};

// The registry is the process's: each test leaves it as it found it.
class SettingsTabTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (nodes().nodeNamePrefix() != "node") nodes().nodeNamePrefix("node");
    nodes().enableAutoNaming();
    nodes().updateIpmiCredentials("", "");
    setServers({});
  }
};

TEST_F(SettingsTabTest, CredentialsAreAppliedAndThePasswordNeverGoesBackToThePage) {
  SettingsPage p;
  IPMISettingsPanel& ipmi = p.ipmi();
  EXPECT_EQ(ipmi.passwordEdit()->echoMode(), web::LineEdit::EchoMode::Password);
  p.type(ipmi.userNameEdit(), "operator");
  p.type(ipmi.passwordEdit(), "s3cret-pw");
  // A re-render of the whole tab (the help toggle widens it) while the
  // password is typed but not applied sends it nowhere.
  p.page().runAndWait([&] { p.app().hideHelp(); });
  EXPECT_EQ(p.sent().find("s3cret-pw"), std::string::npos);

  p.type(ipmi.passwordEdit(), "s3cret-pw");
  trl::test::CaptureStdout out;
  p.press(ipmi.applyButton());
  const std::string log = out.text();
  EXPECT_EQ(IpmiCredentials::getInstance().username, "operator");
  EXPECT_EQ(IpmiCredentials::getInstance().password, "s3cret-pw");
  EXPECT_EQ(p.tab().settingsData().ipmiUserName, "operator");
  EXPECT_NE(log.find("] Reset IPMI username/password to operator/********\n"), std::string::npos) << log;
  EXPECT_NE(log.find("] [SettingsTab] IPMI credentials for user: operator\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("s3cret-pw"), std::string::npos) << log;
  EXPECT_EQ(p.sent().find("s3cret-pw"), std::string::npos);
  EXPECT_EQ(ipmi.passwordEdit()->text(), "");

  // Both edits empty: two empty strings, and the rule table applies again.
  p.type(ipmi.userNameEdit(), "");
  p.press(ipmi.applyButton());
  EXPECT_EQ(IpmiCredentials::getInstance().username, "");
  EXPECT_EQ(IpmiCredentials::getInstance().password, "");
  EXPECT_NE(ipmi.statusText()->text().find("each vendor's factory user name and each vendor's factory password"),
            std::string::npos);
}

TEST_F(SettingsTabTest, EachSessionsReportIsAPrivateFileWithoutThePassword) {
  nodes().updateIpmiCredentials("ADMIN", "hunter2-override");
  auto first = std::make_unique<SettingsPage>();
  SettingsPage second;
  EXPECT_TRUE(first->support().reportLink()->isHidden());
  first->press(first->support().generateButton());
  first->press(first->support().generateButton());
  second.press(second.support().generateButton());

  const std::string path = first->support().reportPath();
  EXPECT_EQ(path.rfind(trl::privateDir() + "/report-", 0), 0u) << path;
  EXPECT_NE(path, second.support().reportPath()) << "one session's report never replaces another's";
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(trl::privateDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const std::string report = trl::test::readFile(path);
  EXPECT_EQ(report.rfind("Trellium status report\nGenerated at ", 0), 0u);
  EXPECT_NE(report.find(" UTC\n\n" + std::string(28, '-') + "\nList of nodes\n"), std::string::npos);
  EXPECT_NE(report.find("Current booting option: Memory test\n"), std::string::npos);
  EXPECT_EQ(report.find("hunter2-override"), std::string::npos);
  EXPECT_FALSE(first->support().reportLink()->isHidden());
  EXPECT_NE(first->support().reportLink()->link(), "");

  first.reset();  // the session ends
  EXPECT_EQ(trl::test::fileSize(path), -1);
}

// Every action is a line of the audit log before it is done (the user name
// of new credentials, never their password); with no line, nothing is done.
TEST_F(SettingsTabTest, NamingPrefixAndCredentialsAreAuditedFirstAndABadPrefixIsRefused) {
  setServers({"node1", "node12", "mynode1"});
  std::filesystem::remove(trl::auditLogPath());
  SettingsPage p;
  AutoNamingPanel& naming = p.naming();
  EXPECT_TRUE(naming.checkBox()->isChecked());
  EXPECT_EQ(naming.prefixEdit()->text(), "node");
  p.page().event(*naming.checkBox(), "change", "0");
  p.settle();
  EXPECT_FALSE(nodes().autoNamingEnabled());
  EXPECT_FALSE(naming.prefixEdit()->isEnabled()) << "greyed out";
  EXPECT_FALSE(naming.applyButton()->isEnabled());
  // The next full refresh shows what the registry holds.
  nodes().enableAutoNaming();
  p.page().runAndWait([&] { p.app().update(); });
  EXPECT_TRUE(naming.checkBox()->isChecked());
  EXPECT_TRUE(naming.prefixEdit()->isEnabled());
  EXPECT_TRUE(naming.applyButton()->isEnabled());

  p.type(naming.prefixEdit(), "rack");
  p.press(naming.applyButton());
  EXPECT_EQ(names(), (std::vector<std::string>{"rack1", "rack12", "mynode1"}));
  EXPECT_NE(naming.statusText()->text().find("Prefix <b>rack</b> applied"), std::string::npos);
  p.type(p.ipmi().userNameEdit(), "operator");
  p.type(p.ipmi().passwordEdit(), "s3cret-pw");
  p.press(p.ipmi().applyButton());
  p.press(p.support().generateButton());
  EXPECT_EQ(trl::test::auditedActions(), (std::vector<std::string>{"automatic naming\toff", "name prefix\track",
                                               "IPMI credentials\toperator", "report download\tstatus report"}));
  EXPECT_EQ(trl::test::readFile(trl::auditLogPath()).find("s3cret-pw"), std::string::npos);
  const std::string report = trl::test::readFile(p.support().reportPath());
  EXPECT_NE(report.find("Audit log (last 100 lines)\n"), std::string::npos);
  EXPECT_NE(report.find("\treport download\tstatus report\n"), std::string::npos) << "the report's own line in it";

  for (const std::string bad : {"a b", "<b>", "", "thirteen-char"}) {
    p.type(naming.prefixEdit(), bad);
    p.press(naming.applyButton());
    EXPECT_EQ(p.answer().rfind("Error: The prefix " + bad + " was not applied. A prefix is 1 to 12 letters", 0), 0u)
        << bad;
    EXPECT_EQ(nodes().nodeNamePrefix(), "rack");
    EXPECT_EQ(naming.prefixEdit()->text(), "rack") << "the edit shows the prefix in force again";
  }
  EXPECT_EQ(names(), (std::vector<std::string>{"rack1", "rack12", "mynode1"}));

  const std::size_t audited = trl::auditTail(100).size();
  std::string said;
  {
    const trl::test::AuditLogBlocked blocked;
    p.type(naming.prefixEdit(), "cab");
    p.press(naming.applyButton());
    said = p.answer();
    p.page().event(*naming.checkBox(), "change", "0");
    p.settle();
  }
  EXPECT_EQ(said.rfind("Not done: Nothing was changed: the audit log cannot be written", 0), 0u) << said;
  EXPECT_EQ(nodes().nodeNamePrefix(), "rack");
  EXPECT_EQ(naming.prefixEdit()->text(), "rack");
  EXPECT_TRUE(nodes().autoNamingEnabled());
  EXPECT_TRUE(naming.checkBox()->isChecked()) << "the box shows what is in force";
  EXPECT_EQ(trl::auditTail(100).size(), audited);
}

TEST(SettingsTabAlone, ARefreshBeforeTheModulesNamesTheMissingOne) {
  web::test::TestPage page([](web::Application& app) {
    auto* tab = app.root()->addNew<SettingsTab>(nullptr);
    EXPECT_NE(trl::test::errorOf([&] { tab->update(0); }).find("] settings is NULL"), std::string::npos);
  });
}

}  // namespace
