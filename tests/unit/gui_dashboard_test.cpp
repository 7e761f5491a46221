// The Dashboard without a browser: counts and bar, the group commands' texts
// and failure box, the pictures and buttons per power state, escaping, and
// the server column following power events, clicks and saves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "gui/dashboard.h"
#include "gui/overview_panel.h"
#include "gui/powercontrol_panel.h"
#include "gui/server_detail_widget.h"
#include "gui/serverlist_panel.h"
#include "gui/util.h"
#include "tests/support/modules_root.h"
#include "tests/unit/gui_support.h"
#include "web/check_box.h"
#include "web/line_edit.h"
#include "web/progress_dialog.h"
#include "web/push_button.h"

namespace {

using Node = Nodes::Node;
using web::test::TestPage;

const std::string docRoot = TRL_BINARY_DIR "/resources/docroot/";

const auto* const backend = ::testing::AddGlobalTestEnvironment(new trl::test::ModulesRoot);

using trl::test::answerBox;
using trl::test::nodes;
using trl::test::setTable;
using trl::test::table;

// A name as a table file from elsewhere could hold it, past the registry's checks.
void rawName(Node::Interface& iface, const std::string& name) {
  std::memset(iface.name_val, 0, sizeof iface.name_val);
  std::memcpy(iface.name_val, name.data(), std::min<size_t>(name.size(), Nodes::name_max - 1));
}

// Server k (1-based) at 10.0.0.k, with a controller at 10.0.0.(100 + k).
Node server(int k, Node::PowerStatus status, const std::string& name = "") {
  Node::Interface host(0x002590000100ULL + k, 0);
  rawName(host, name.empty() ? "node" + std::to_string(k) : name);
  Node node(host);  // named and without an address: no lookup, no probe
  node.eth0.ip(0x0A000000U + k);
  node.mc = Node::Interface(0x002590000200ULL + k, 0x0A000064U + k);
  rawName(node.mc, node.eth0.name() + Nodes::mc_extension);
  node.powerStatus(status);
  return node;
}

// A page holding one Dashboard on the shared registry.
struct DashboardPage {
  Dashboard* dashboard = nullptr;
  TestPage page{[this](web::Application& app) {
    dashboard = app.root()->addWidget(std::make_unique<Dashboard>(nullptr));
    dashboard->setModule(&nodes());
    dashboard->setModule(Modules::getInstance()->settings.get());
  }};
  void update(int event) {
    page.runAndWait([&] { dashboard->update(event); });
  }
  ServerListPanel& list() const { return *dashboard->serverListPanel(); }
  ServerDetailContainer& detail() const { return *list().serverContainer(); }
};

TEST(Dashboard, GroupCommandProgressAndFailureTexts) {
  TestPage page;
  page.runAndWait([] {
    web::ProgressDialog dialog("Resetting nodes", "Cancel", 0, 8);
    powerProgressCB progress;
    progress.dialog = &dialog;
    progress.msg = "Resetting node";
    progress.i = 2;
    EXPECT_TRUE(progress());
    EXPECT_EQ(dialog.labelText(), "Resetting node3") << "no blank before the number";
    EXPECT_EQ(dialog.value(), 3);
    dialog.cancel();
    EXPECT_FALSE(progress()) << "Cancel stops before the next node";
  });

  EXPECT_EQ(PowerControlPanel::failureText("Power off", {{"node3", "connection error (session timeout)"},
                                                         {"node5", "no IPMI session"},
                                                         {"node7", "connection error (session timeout)"}}),
            "Power off failed for node3, node7: connection error (session timeout)\n"
            "Power off failed for node5: no IPMI session");

  // Servers without a session get nothing and are named in one box at the end.
  setTable({server(1, Node::NoIPMI), server(2, Node::NoIPMI)});
  DashboardPage p;
  p.update(0);
  PowerControlPanel& panel = *p.dashboard->powerControlPanel();
  p.page.event(*panel.shutdownButton(), "click");
  EXPECT_NE(answerBox(p.page).find("Shutdown failed for node1, node2: no IPMI session"), std::string::npos);
  // Unpaced: to every server at once, failures named the same way.
  p.page.runAndWait([&] { panel.pacedCheckBox()->setChecked(false); });
  p.page.event(*panel.resetButton(), "click");
  EXPECT_NE(answerBox(p.page).find("Reset failed for node1, node2: no IPMI session"), std::string::npos);
}

TEST(Dashboard, PicturesButtonsAndWordsFollowThePowerStateAndOutsideTextIsEscaped) {
  const std::pair<Node::PowerStatus, std::string> cases[] = {{Node::Up, "/images/serveron"},
                                                             {Node::Down, "/images/serveroff"},
                                                             {Node::ConnectionError, "/images/servererror"},
                                                             {Node::Unknown, "/images/servererror"},
                                                             {Node::NoIPMI, "/images/servererror"}};
  for (const auto& [status, base] : cases) {
    EXPECT_EQ(ServerImage::pictureFor(status, false), base + ".png");
    EXPECT_EQ(ServerImage::pictureFor(status, true), base + "_selected.png");
  }
  ServerImage image(server(1, Node::Down), 0);
  EXPECT_EQ(image.imageLink(), "/images/serveroff.png");
  image.selected(true);
  EXPECT_EQ(image.imageLink(), "/images/serveroff_selected.png");
  image.update(server(1, Node::Up));
  EXPECT_EQ(image.imageLink(), "/images/serveron_selected.png");
  EXPECT_EQ(ServerDetailContainer::statusPicture(Node::ConnectionError), "server-no-connection.svg");
  EXPECT_EQ(ServerDetailContainer::statusPicture(Node::NoIPMI), "server-error.svg");

  web::Application app{web::Environment()};
  ServerDetailContainer detail;
  detail.setDocRoot(docRoot);
  const auto enabled = [&] {
    return std::vector<bool>{!detail.powerOnButton()->isDisabled(), !detail.powerOffButton()->isDisabled(),
                             !detail.shutDownButton()->isDisabled(), !detail.resetButton()->isDisabled()};
  };
  detail.update();
  EXPECT_EQ(enabled(), std::vector<bool>(4, false)) << "no node";
  EXPECT_NE(detail.html().find("unknown node"), std::string::npos);
  const std::pair<Node::PowerStatus, std::vector<bool>> buttons[] = {
      {Node::Up, {false, true, true, true}},          {Node::Down, {true, false, false, true}},
      {Node::ConnectionError, {false, false, false, false}}, {Node::Unknown, {false, false, false, false}},
      {Node::NoIPMI, {false, false, false, false}}};
  for (const auto& [status, expected] : buttons) {
    const Node node = server(4, status);
    detail.setNode(&node);
    detail.update();
    EXPECT_EQ(enabled(), expected) << Node::toPowerStatusStr(status);
    EXPECT_FALSE(detail.saveButton()->isDisabled());
    const std::string html = detail.html();
    EXPECT_NE(html.find(">" + Node::toPowerStatusStr(status) + "<"), std::string::npos);
    EXPECT_NE(html.find("<svg"), std::string::npos) << "the status picture and the disk are inlined";
  }
  EXPECT_EQ(detail.name(), "node4");
  EXPECT_EQ(detail.mcMac(), "00:25:90:00:02:04");

  // Names come from outside: whatever they hold shows as text.
  const Node hostile = server(5, Node::Up, "<img src=x>");
  EXPECT_EQ(ServerDetailContainer::toolTipFor(hostile),
            "Name: &lt;img src=x&gt;<br/>IP: 10.0.0.5<br/>MAC Addr: 00:25:90:00:01:05<br/>Status: up<br/>"
            "Double click to control this server");
  detail.setNode(&hostile);
  detail.setDhcpConfError("dhcpd.conf rejected: <b>line 3</b>");
  detail.update();
  const std::string html = detail.html();
  EXPECT_EQ(html.find("<img src=x>"), std::string::npos);
  EXPECT_EQ(html.find("<b>line 3"), std::string::npos);
  EXPECT_NE(html.find("DHCP configuration not applied: dhcpd.conf rejected: &lt;b&gt;"), std::string::npos);
  detail.setDhcpConfError("");
  EXPECT_EQ(detail.html().find("DHCP configuration not applied"), std::string::npos);
}

TEST(Dashboard, CountsAndAColumnThatFollowsPowerEventsClicksAndRebuilds) {
  setTable({server(1, Node::Up), server(2, Node::Up), server(3, Node::Down)});
  DashboardPage p;
  p.update(0);
  const OverviewPanel& overview = *p.dashboard->overviewPanel();
  EXPECT_EQ(overview.totalText(), Util::stdText("3"));
  EXPECT_EQ(overview.onlineText(), Util::stdText("2"));
  EXPECT_EQ(overview.barValue(), 66) << "100 * 2 / 3, rounded down";
  EXPECT_EQ(OverviewPanel::onlinePercent(0, 0), 0);
  OverviewPanel lone;
  EXPECT_NE(trl::test::errorOf([&] { lone.setData(Model::SettingsData{}); }).find("] settings is NULL"),
            std::string::npos);

  ASSERT_EQ(p.list().serverImages().size(), 3u);
  EXPECT_TRUE(p.detail().isHidden());
  p.page.event(*p.list().serverImages()[2], "click");
  p.page.runAndWait([] {});  // the click has run
  EXPECT_EQ(p.list().nodeNumber(), 2);
  EXPECT_FALSE(p.detail().isHidden());
  EXPECT_TRUE(p.list().serverImages()[2]->isSelected());
  EXPECT_EQ(p.list().serverImages()[2]->imageLink(), "/images/serveroff_selected.png");
  EXPECT_FALSE(p.detail().powerOnButton()->isDisabled());

  // A power event with the same servers re-picks the pictures in place; the
  // open panel follows, keeping a name the person is typing.
  ServerImage* const third = p.list().serverImages()[2];
  p.page.event(*p.detail().nameLineEdit(), "change", "half-typed");
  std::vector<Node> records = table();
  records[2].powerStatus(Node::Up);
  records[0].powerStatus(Node::ConnectionError);
  setTable(records);
  p.update(nodes().powerStatusChangedFd());
  EXPECT_EQ(p.list().serverImages()[2], third) << "not rebuilt";
  EXPECT_EQ(third->imageLink(), "/images/serveron_selected.png");
  EXPECT_EQ(p.list().serverImages()[0]->imageLink(), "/images/servererror.png");
  EXPECT_TRUE(p.detail().powerOnButton()->isDisabled());
  EXPECT_EQ(p.detail().name(), "half-typed");
  EXPECT_NE(p.list().html().find(">connection error<"), std::string::npos) << "the state in words";

  // A lease event (here one server more at the front) rebuilds the column;
  // the panel stays on its server, with what the person typed.
  records.insert(records.begin(), server(9, Node::Up));
  setTable(records);
  p.update(nodes().leasesModifiedFd());
  ASSERT_EQ(p.list().serverImages().size(), 4u);
  EXPECT_NE(p.list().serverImages()[3], third) << "rebuilt";
  EXPECT_EQ(p.list().nodeNumber(), 3);
  EXPECT_FALSE(p.detail().isHidden());
  EXPECT_EQ(p.list().serverImages()[3]->imageLink(), "/images/serveron_selected.png");
  EXPECT_EQ(p.detail().name(), "half-typed");

  // Its server gone, the panel closes and a later power event opens nothing.
  records.pop_back();
  setTable(records);
  p.update(nodes().leasesModifiedFd());
  EXPECT_TRUE(p.detail().isHidden());
  EXPECT_EQ(p.list().nodeNumber(), -1);
  p.update(nodes().powerStatusChangedFd());
  EXPECT_TRUE(p.detail().isHidden());
}

TEST(Dashboard, SaveRenamesTheServerAndReopensItsPanel) {
  setTable({server(1, Node::Up), server(2, Node::Up), server(3, Node::Down)});
  DashboardPage p;
  p.update(0);
  p.page.event(*p.list().serverImages()[1], "click");
  p.page.runAndWait([] {});

  // A MAC typing error is reported and changes nothing; the table stays usable.
  p.page.event(*p.detail().macLineEdit(), "change", "00:25:90");
  p.page.event(*p.detail().nameLineEdit(), "change", "rack2");
  p.page.event(*p.detail().saveButton(), "click");
  EXPECT_NE(answerBox(p.page).find("MAC address must be 17"), std::string::npos);
  EXPECT_EQ(table()[1].eth0.name(), "node2");
  EXPECT_EQ(table()[1].eth0.mac_str(), "00:25:90:00:01:02");
  EXPECT_FALSE(p.detail().saveButton()->isDisabled());

  p.page.event(*p.detail().macLineEdit(), "change", "00:25:90:00:01:02");
  p.page.event(*p.detail().saveButton(), "click");
  p.update(nodes().nodeChangedFd());  // the commit's event
  EXPECT_EQ(table()[1].eth0.name(), "rack2") << "server 2, not server 0";
  EXPECT_EQ(table()[1].mc.name(), "rack2-mc");
  EXPECT_NE(trl::test::readFile(trl::test::ModulesRoot::dir() + "/etc/hosts").find("10.0.0.2\track2\n"), std::string::npos);
  EXPECT_EQ(p.list().nodeNumber(), 1) << "found again by its new name";
  EXPECT_FALSE(p.detail().isHidden());
  EXPECT_EQ(p.detail().name(), "rack2");
}

TEST(Dashboard, PowerButtonOfAServerWithoutSessionSaysNothingWasSent) {
  setTable({server(1, Node::Down)});
  DashboardPage p;
  p.update(0);
  p.page.event(*p.list().serverImages()[0], "click");
  p.page.event(*p.detail().powerOnButton(), "click");
  const std::string said = answerBox(p.page);
  EXPECT_NE(said.find("No IPMI session for this server; nothing was sent"), std::string::npos) << said;
  EXPECT_EQ(said.find("Power command sent"), std::string::npos);
}

}  // namespace
