// The Fabric geometry and Wiring tabs in sessions without a browser: what
// they offer and select as servers come and go, the cabling list they show,
// the fabric file they write, and the errors they keep inside the tab.
#include <gtest/gtest.h>

#include <cstdio>

#include "gui/fabric.h"
#include "gui/trellium.h"
#include "gui/wiring.h"
#include "tests/support/modules_root.h"
#include "tests/unit/gui_support.h"
#include "web/application.h"
#include "web/combo_box.h"
#include "web/dialog.h"
#include "web/standard_item_model.h"
#include "web/table_view.h"
#include "web/text.h"

namespace {

const auto* const backend = ::testing::AddGlobalTestEnvironment(new trl::test::ModulesRoot);

using trl::test::nodes;
std::string fabricPath() { return trl::test::ModulesRoot::dir() + Geometry::fabric_json; }

class FabricTabs : public ::testing::Test {
 protected:
  void SetUp() override {
    setServers(0);
    std::remove(fabricPath().c_str());
    Modules::getInstance()->geometry->choose("");
  }

  // The node table holds exactly n servers, as the Servers tab would add
  // them (no address, so nothing is probed).
  static void setServers(int n) {
    std::vector<Nodes::Node> records;
    for (int i = 1; i <= n; ++i)
      records.push_back(trl::test::namedServer("node" + std::to_string(i), 0x002590000000ULL + i));
    trl::test::setTable(records);
  }

  // A session as the web server makes one, for a person signed in.
  static std::unique_ptr<Trellium> openSession(const std::string& user = "alice") {
    web::Environment env;
    env.setUser(user);
    env.setClientAddress("10.0.0.7");
    return trl::test::openTrellium(env);
  }

  // The node table changed: what the event loop delivers to every session.
  static void registryEvent(Trellium& app) { app.handleEvent(nodes().nodeChangedFd()); }

  static std::vector<std::string> offered(FabricTab& tab) {
    const auto& model = static_cast<web::StandardItemModel&>(*tab.geometryTable()->model());
    std::vector<std::string> texts;
    for (int r = 0; r < model.rowCount(); ++r)
      texts.push_back(model.item(r, 0)->text() + " " + model.item(r, 1)->text());
    return texts;
  }

  static std::string selected(FabricTab& tab) {
    const std::vector<web::ModelIndex> rows = tab.geometryTable()->selectedIndexes();
    if (rows.size() != 1) return "(" + std::to_string(rows.size()) + " rows selected)";
    return static_cast<web::StandardItemModel&>(*tab.geometryTable()->model()).item(rows[0].row(), 0)->text();
  }

  static void click(FabricTab& tab, const std::string& geometry) {
    const auto& model = static_cast<web::StandardItemModel&>(*tab.geometryTable()->model());
    for (int r = 0; r < model.rowCount(); ++r)
      if (model.item(r, 0)->text() == geometry) {
        web::Event event;
        event.type = "click";
        event.arg = std::to_string(r) + ",0";
        tab.geometryTable()->handleEvent(event);
        return;
      }
    FAIL() << geometry << " is not offered";
  }

  static void chooseHeight(FabricTab& tab, int index) {
    web::Event event;
    event.type = "change";
    event.value = std::to_string(index);
    tab.nodeHeightCombo()->handleEvent(event);
  }

  // The cabling list the Wiring tab shows, header first.
  static std::vector<Geometry::Row> shownList(Wiring& wiring) {
    std::vector<Geometry::Row> rows;
    const std::shared_ptr<web::StandardItemModel>& model = wiring.model();
    if (!model) return rows;
    Geometry::Row header;
    for (int c = 0; c < model->columnCount(); ++c) header.push_back(std::any_cast<std::string>(model->headerData(c)));
    rows.push_back(header);
    for (int r = 0; r < model->rowCount(); ++r) {
      Geometry::Row row;
      for (int c = 0; c < model->columnCount(); ++c) row.push_back(model->item(r, c)->text());
      rows.push_back(row);
    }
    return rows;
  }

  static std::vector<Geometry::Row> expectedList(unsigned height, const std::string& geometry) {
    Geometry g;
    g.build(height, geometry);
    return {g.wiring_begin(), g.wiring_end()};
  }

  static std::string fabricFile() {
    return std::filesystem::exists(fabricPath()) ? trl::test::readFile(fabricPath()) : "(no file)";
  }

  static std::string sizesIn(const std::string& fabric) {
    const std::size_t at = fabric.find("\"x-size\"");
    return at == std::string::npos ? fabric : fabric.substr(at, fabric.find("\"nodes\"") - at);
  }
};

TEST_F(FabricTabs, NoServersOfferNothingAndWriteNoFile) {
  auto app = openSession();
  FabricTab& fabric = *app->fabricTab();
  EXPECT_TRUE(offered(fabric).empty());
  EXPECT_EQ(selected(fabric), "(0 rows selected)");
  EXPECT_NE(fabric.statusText()->text().find("No geometry to offer yet"), std::string::npos);
  EXPECT_EQ(app->wiring()->model()->rowCount(), 0);
  EXPECT_TRUE(app->wiring()->wiringTable()->isHidden()) << "no empty grid without columns";
  EXPECT_EQ(fabricFile(), "(no file)");
  EXPECT_NE(app->getStatusReport().find("Number of nodes: 0\nNode height: 1U\nGeometry type: \n\n"), std::string::npos);
}

TEST_F(FabricTabs, SixteenServersSelectTheBestGeometryAndWriteItsFile) {
  setServers(16);
  auto app = openSession();
  FabricTab& fabric = *app->fabricTab();
  Geometry g;
  g.configurations(16);
  std::vector<std::string> candidates;
  for (auto c = g.configs_begin(); c != g.configs_end(); ++c)
    candidates.push_back(c->str().first + " " + c->str().second);
  EXPECT_EQ(offered(fabric), candidates) << "every candidate of the geometry, best first";
  EXPECT_EQ(selected(fabric), "2x4x2");
  EXPECT_EQ(shownList(*app->wiring()), expectedList(1, "2x4x2"));
  EXPECT_EQ(app->wiring()->wiringTable()->columnWidth(9).value(), 52);
  EXPECT_EQ(sizesIn(fabricFile()), "\"x-size\": 2,\n\t\"y-size\": 4,\n\t\"z-size\": 2,\n\t");
  EXPECT_NE(fabricFile().find("{\"desc\": \"node16\""), std::string::npos);
  EXPECT_NE(app->getStatusReport().find("Number of nodes: 16\nNode height: 1U\nGeometry type: 2x4x2\n\n"),
            std::string::npos);
  EXPECT_NE(fabric.statusText()->text().find("is applied"), std::string::npos);
}

TEST_F(FabricTabs, AChosenGeometryIsKeptWhileOfferedElseRowZero) {
  setServers(16);
  auto app = openSession();
  FabricTab& fabric = *app->fabricTab();
  click(fabric, "4x4");
  EXPECT_EQ(sizesIn(fabricFile()), "\"x-size\": 4,\n\t\"y-size\": 4,\n\t\"z-size\": 0,\n\t");

  setServers(18);
  registryEvent(*app);
  EXPECT_EQ(offered(fabric).front(), "3x3x2 (18 nodes)") << "the list was refilled";
  EXPECT_EQ(selected(fabric), "4x4");
  EXPECT_EQ(shownList(*app->wiring()), expectedList(1, "4x4"));
  EXPECT_NE(fabric.statusText()->text().find("2 servers stay outside the fabric: the file lists the first 16 "
                                            "servers of the 18."),
            std::string::npos);

  setServers(15);
  registryEvent(*app);
  EXPECT_EQ(selected(fabric), "3x5") << "4x4 is no longer offered";
  EXPECT_EQ(shownList(*app->wiring()), expectedList(1, "3x5"));
  EXPECT_EQ(sizesIn(fabricFile()), "\"x-size\": 3,\n\t\"y-size\": 5,\n\t\"z-size\": 0,\n\t");
}

TEST_F(FabricTabs, HeightAppliesAtOnceAndReturnsTo1UAtTheNextEventAndAnotherWindowNeverUndoesTheChoice) {
  setServers(16);
  auto app = openSession();
  FabricTab& fabric = *app->fabricTab();
  chooseHeight(fabric, 1);
  EXPECT_EQ(shownList(*app->wiring()), expectedList(2, "2x4x2"));
  click(fabric, "4x4");
  click(fabric, "2x4x2");
  EXPECT_EQ(shownList(*app->wiring()), expectedList(2, "2x4x2")) << "re-selected with 2U";
  EXPECT_NE(app->getStatusReport().find("Node height: 2U\nGeometry type: 2x4x2\n"), std::string::npos);

  registryEvent(*app);
  EXPECT_EQ(fabric.nodeHeightCombo()->currentText(), "1U");
  EXPECT_EQ(shownList(*app->wiring()), expectedList(1, "2x4x2"));

  // Another window never undoes the choice.
  click(*app->fabricTab(), "2x8");
  auto second = openSession();
  EXPECT_EQ(selected(*second->fabricTab()), "2x8");
  registryEvent(*second);
  registryEvent(*app);
  EXPECT_EQ(selected(*app->fabricTab()), "2x8");
  EXPECT_EQ(shownList(*second->wiring()), expectedList(1, "2x8"));
  EXPECT_EQ(sizesIn(fabricFile()), "\"x-size\": 2,\n\t\"y-size\": 8,\n\t\"z-size\": 0,\n\t");
}


TEST_F(FabricTabs, ErrorsStayInTheTabAndLeaveTheFileAsItWas) {
  setServers(16);
  auto app = openSession();
  Wiring& wiring = *app->wiring();
  const std::string written = fabricFile();

  wiring.wiringTableData().geometryType = "2xx4";  // not a geometry text
  trl::test::CaptureStdout log;
  ASSERT_NO_THROW(wiring.update(0));
  EXPECT_NE(log.text().find("[Wiring] The cabling list for 2xx4 could not be built: "), std::string::npos)
      << "the failure is logged";
  EXPECT_NE(wiring.error().find("invalid ring size ''"), std::string::npos) << wiring.error();
  EXPECT_EQ(wiring.model(), nullptr) << "the error stands in place of the list";
  EXPECT_EQ(fabricFile(), written);

  const std::string directory = trl::test::ModulesRoot::dir() + "/var/lib/tftpboot/trellium/qv-config";
  std::filesystem::rename(directory, directory + ".away");
  click(*app->fabricTab(), "4x4");
  std::filesystem::rename(directory + ".away", directory);
  EXPECT_NE(wiring.error().find("The fabric file could not be written: "), std::string::npos) << wiring.error();
  const std::string status = app->fabricTab()->statusText()->text();
  EXPECT_NE(status.find("Geometry 4x4 is selected, but not applied."), std::string::npos) << status;
  EXPECT_TRUE(app->fabricTab()->statusText()->hasStyleClass("trl-error"));
  EXPECT_EQ(fabricFile(), written);
}

// A person's choice rewrites the fabric file: one audit line first, naming
// who and from where; a refill after an event rewrites it for nobody. With
// no audit line there is no new file either, and the page says why.
TEST_F(FabricTabs, EveryChoiceIsAuditedFirst) {
  setServers(16);
  const std::string log = trl::test::ModulesRoot::dir() + "/var/log/trellium/audit.log";
  std::filesystem::remove(log);
  auto app = openSession();
  const web::ApplicationScope handlingItsEvents(app.get());
  registryEvent(*app);
  EXPECT_NE(fabricFile().find("\"x-size\": 2"), std::string::npos) << "row 0 (2x4x2) applied by the refill";
  EXPECT_TRUE(trl::auditTail(10).empty()) << "for nobody: no line";
  click(*app->fabricTab(), "4x4");
  chooseHeight(*app->fabricTab(), 2);
  const auto lines = trl::auditTail(10);
  ASSERT_EQ(lines.size(), 2u) << trl::test::readFile(log);
  EXPECT_TRUE(trl::test::endsWith(lines[0], "\talice\t10.0.0.7\tfabric geometry\t4x4, 1U")) << lines[0];
  EXPECT_TRUE(trl::test::endsWith(lines[1], "\tfabric geometry\t4x4, 4U")) << lines[1];

  const std::string written = fabricFile();
  {
    const trl::test::AuditLogBlocked blocked;
    click(*app->fabricTab(), "2x8");
  }
  EXPECT_EQ(fabricFile(), written) << "nothing applied without its audit line";
  EXPECT_NE(app->dialogs().html().find("Nothing was changed: the audit log cannot be written"), std::string::npos);
  EXPECT_EQ(trl::auditTail(10).size(), 2u);
}

}  // namespace
