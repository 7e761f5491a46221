// The application shell and the shared widgets, without a browser: the page
// structure, the help toggle, event delivery into sessions and the texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "gui/audit.h"
#include "gui/comboitemdelegate.h"
#include "gui/help.h"
#include "gui/modules.h"
#include "gui/trellium.h"
#include "gui/util.h"
#include "modules/audit_log.h"
#include "tests/support/modules_root.h"
#include "tests/support/scratch.h"
#include "web/combo_box.h"
#include "web/session.h"
#include "web/standard_item_model.h"
#include "web/string_list_model.h"
#include "web/tab_widget.h"
#include "web/text.h"

namespace {

web::Environment environment() {
  web::Environment env;
  env.setAppRoot(TRL_BINARY_DIR "/resources/");
  return env;
}

const auto* const backend = ::testing::AddGlobalTestEnvironment(new trl::test::ModulesRoot);

// A tab that remembers which events reached it.
class RecordingTab : public HelpableContainer {
 public:
  using HelpableContainer::HelpableContainer;
  void update(int fd) override { seen.push_back(fd); }
  std::vector<int> seen;
};

std::unique_ptr<Trellium> session() {
  auto app = std::make_unique<Trellium>(environment());
  app->initWidgets();
  app->setModules(Modules::getInstance());
  app->setTabModules();
  return app;
}

web::Widget* tabContent(Trellium& app, int index) {
  auto* page = static_cast<web::Container*>(app.tabWidget()->widget(index));
  return page->layout()->itemAt(0)->widget();
}

Help* tabHelp(Trellium& app, int index) {
  auto* page = static_cast<web::Container*>(app.tabWidget()->widget(index));
  return static_cast<Help*>(page->layout()->itemAt(1)->widget());
}

TEST(Shell, SevenTabsWithTheirHelpTheDashboardFirstAndOneHelpToggle) {
  auto app = session();
  EXPECT_EQ(app->title(), "Trellium v1.4.6");
  std::vector<std::string> titles;
  for (int i = 0; i < app->tabWidget()->count(); ++i) titles.push_back(app->tabWidget()->tabText(i));
  EXPECT_EQ(titles, (std::vector<std::string>{"Dashboard", "Servers", "Monitoring", "Fabric geometry", "Wiring",
                                              "Settings", "Deployment"}));
  EXPECT_EQ(app->tabWidget()->currentIndex(), Trellium::DashboardTabIndex);
  EXPECT_NE(tabHelp(*app, 4)->text().find("cabling list"), std::string::npos) << "the wiring help text";
  EXPECT_EQ(tabHelp(*app, 6)->text().find("??"), std::string::npos) << "every help key has a text";
  app->showConfiguration();
  EXPECT_EQ(app->tabWidget()->currentIndex(), Trellium::ConfigurationTabIndex);

  app->hideHelp();
  for (int i = 0; i < 7; ++i) {
    EXPECT_TRUE(tabHelp(*app, i)->isHidden());
    EXPECT_EQ(tabContent(*app, i)->width().value(), Trellium::NO_HELP_WIDTH);
  }
  // A help panel's own "Hide" button does the same as the tool bar's.
  tabHelp(*app, 3)->emitSignal();
  for (int i = 0; i < 7; ++i) {
    EXPECT_FALSE(tabHelp(*app, i)->isHidden());
    EXPECT_EQ(tabContent(*app, i)->width().value(), Trellium::WITH_HELP_WIDTH);
  }
}

TEST(Shell, EventsReachTheRegisteredTabsOfEverySession) {
  auto first = session();
  auto second = session();
  Nodes& nodes = *Modules::getInstance()->nodes;
  RecordingTab tab_a(first.get()), tab_b(second.get());
  first->addListener(&tab_a, nodes.nodeChangedFd());
  first->addListener(&tab_a, nodes.nodeChangedFd());  // once is enough
  second->addListener(&tab_b, nodes.nodeChangedFd());
  {
    // As createApplication registers them; each session leaves the list as it goes.
    const std::lock_guard<std::mutex> guard(Trellium::sessionListMutex);
    for (Trellium* app : {first.get(), second.get()}) Trellium::sessionList.push_back(app->session().weak_from_this());
  }
  nodes.triggerEvent();
  // Without a server a session runs what is posted to it at once.
  Modules::getInstance()->handleModuleEvent(nodes.nodeChangedFd());
  EXPECT_EQ(tab_a.seen, std::vector<int>{nodes.nodeChangedFd()});
  EXPECT_EQ(tab_b.seen, std::vector<int>{nodes.nodeChangedFd()});
  EXPECT_NE(trl::test::errorOf([] { Modules::getInstance()->handleModuleEvent(12345); }).find("] fd 12345not found"),
            std::string::npos);
}

TEST(Shell, MissingModulesAreNamed) {
  Trellium app(environment());
  app.initWidgets();
  const std::string error = trl::test::errorOf([&] { app.setTabModules(); });
  EXPECT_EQ(error.rfind("[gui/trellium:", 0), 0u) << error;
  EXPECT_NE(error.find("] modules_ is NULL"), std::string::npos) << error;
  EXPECT_THROW(app.resetModules(), _Error);
}

// The one call every tab makes before an action that changes the cluster
// or Trellium (auditAction): a line per action kind, naming the person and
// address of the session whose event runs; the status report's sections
// end with the last 100 lines.
TEST(Shell, AuditLinesForEveryActionKindAndTheReportsSections) {
  std::filesystem::remove(trl::auditLogPath());
  web::Environment env = environment();
  env.setUser("alice");
  env.setClientAddress("192.0.2.7");
  Trellium app(env);
  app.initWidgets();
  app.setModules(Modules::getInstance());
  app.setTabModules();
  EXPECT_NE(app.root()->html().find("Signed in as <b>alice</b>"), std::string::npos);
  EXPECT_NE(app.root()->html().find("action=\"/_w/signout\"><button type=\"submit\" class=\"w-button\">Sign out"),
            std::string::npos);
  EXPECT_EQ(session()->root()->html().find("Signed in as"), std::string::npos) << "nobody signed in: no bar";

  const web::ApplicationScope handlingAnEvent(&app);
  std::vector<std::string> texts;
  for (const trl::AuditAction action : trl::allAuditActions) {
    EXPECT_TRUE(auditAction(action, "node" + std::to_string(texts.size())));
    texts.push_back(trl::auditActionText(action));
  }
  const auto lines = trl::auditTail(1000);
  ASSERT_EQ(lines.size(), texts.size());
  for (std::size_t i = 0; i < lines.size(); ++i)
    EXPECT_TRUE(trl::test::endsWith(lines[i], "\talice\t192.0.2.7\t" + texts[i] + "\tnode" + std::to_string(i)))
        << lines[i];
  EXPECT_EQ(std::set<std::string>(texts.begin(), texts.end()).size(), texts.size()) << "every kind its own text";

  for (int i = 0; i < 120; ++i) auditAction(trl::AuditAction::PowerOff, "server" + std::to_string(i));
  const std::string report = app.getStatusReport();
  const std::string bar = std::string(28, '-') + "\n";
  EXPECT_EQ(report.rfind(bar + "List of nodes\n", 0), 0u);
  EXPECT_NE(report.find(bar + "Geometry configuration\n" + bar + "Number of nodes: 0\nNode height: 1U\n"),
            std::string::npos);
  EXPECT_NE(report.find(bar + "Booting configuration\n" + bar + "Current booting option: Memory test\n\n"),
            std::string::npos);
  const auto tail = report.find(bar + "Audit log (last 100 lines)\n" + bar);
  ASSERT_NE(tail, std::string::npos) << report;
  EXPECT_EQ(report.find("\tserver19\n"), std::string::npos);
  EXPECT_GT(report.find("\tserver20\n"), tail);
  EXPECT_TRUE(trl::test::endsWith(report, "\tpower off\tserver119\n\n"));
}

TEST(SharedWidgets, UtilChecksAndEscaping) {
  EXPECT_EQ(Util::plainText("<script>x</script>"), Util::stdText("&lt;script&gt;x&lt;/script&gt;"));
  EXPECT_TRUE(Util::isValidMacAddr("00:1a:2b:3c:4d:5e"));
  for (const char* bad : {"00:1A:2b:3c:4d:5e", "00:1a:2b:3c:4d:5", "00:1a:2b:3c:4d:5e:", "00-1a-2b-3c-4d-5e"})
    EXPECT_FALSE(Util::isValidMacAddr(bad)) << bad;
  EXPECT_TRUE(Util::isValidHostName(""));
  EXPECT_TRUE(Util::isValidHostName("node-01_a"));
  EXPECT_FALSE(Util::isValidHostName("node.01"));
  EXPECT_FALSE(Util::isValidHostName("<b>"));

  web::StandardItemModel model(0, 3);
  model.setHeaderData(0, std::string("Name"));
  model.setHeaderData(1, std::string("MAC"));
  model.setHeaderData(2, std::string("Name"));
  EXPECT_EQ(Util::getColumnFromHeader(&model, "Name"), 2) << "the later of two equal headers";
  EXPECT_EQ(Util::getColumnFromHeader(&model, "IP"), -1);
}

TEST(SharedWidgets, ComboDelegateSelectsAndWritesBack) {
  web::Application app{environment()};
  ComboItemDelegate delegate;
  auto choices = std::make_unique<web::StringListModel>(std::vector<std::string>{"0", "1", "sync only"});
  delegate.setComboModel(std::move(choices));
  const auto kept = delegate.comboModel();
  delegate.setComboModel(nullptr);
  EXPECT_EQ(delegate.comboModel(), kept) << "a null model changes nothing";

  web::StandardItemModel table(2, 1);
  table.setData(table.index(0, 0), std::string("1"), web::DisplayRole);
  table.setData(table.index(1, 0), std::string("Sync Only"), web::DisplayRole);
  auto cell = delegate.update(nullptr, table.index(0, 0), 0);
  auto* combo = dynamic_cast<web::ComboBox*>(static_cast<IndexedContainerWidget*>(cell.get())->widget(0));
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(combo->currentIndex(), 1);
  web::Widget* same = cell.get();
  cell = delegate.update(std::move(cell), table.index(1, 0), 0);
  EXPECT_EQ(cell.get(), same) << "the cell widget is reused";
  EXPECT_EQ(combo->currentIndex(), -1) << "matching is exact and case-sensitive";
  static_cast<IndexedContainerWidget*>(cell.get())->setModelData("sync only");
  EXPECT_EQ(std::any_cast<std::string>(table.data(table.index(1, 0), web::EditRole)), "sync only");
  combo->setCurrentIndex(0);
  EXPECT_EQ(std::any_cast<std::string>(delegate.editState(cell.get())), "0");
}

}  // namespace
