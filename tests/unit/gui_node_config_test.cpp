// The Servers tab in a session of its own (handlers on a pool, as in the
// server, so its message boxes wait for an answer): the partition choices,
// the editors' checks, what an edit writes, the power-only refresh against
// the rebuild and what each sends to the page, the warning line, and the
// questions before anything is forgotten.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "gui/fabric.h"
#include "gui/node_config.h"
#include "gui/trellium.h"
#include "gui/util.h"
#include "gui/wiring.h"
#include "tests/support/modules_root.h"
#include "tests/unit/gui_support.h"
#include "web/line_edit.h"
#include "web/standard_item_model.h"
#include "web/tab_widget.h"
#include "web/table_view.h"
#include "web/text.h"

namespace {

const auto* const backend = ::testing::AddGlobalTestEnvironment(new trl::test::ModulesRoot);

using Node = Nodes::Node;

using trl::test::nodes;

struct Record {
  std::string name;
  macaddr eth0 = 0, mc = 0;
  int partition = 0;
  Node::PowerStatus power = Node::Unknown;
};

// Supermicro servers without addresses: nothing is probed.
Record server(int k, int partition = 0) {
  return {"node" + std::to_string(k), 0x002590000000ULL + 0x100 * k, 0x002590000001ULL + 0x100 * k, partition};
}

class ServersTab : public ::testing::Test {
 protected:
  void SetUp() override { setServers({server(1), server(2), server(3)}); }
  void TearDown() override { page_.reset(); }

  static void setServers(const std::vector<Record>& records) {
    std::vector<Node> table;
    for (const Record& r : records) {
      Node node = trl::test::namedServer(r.name, r.eth0);
      node.mc.mac(r.mc);
      node.mc.name(r.name + Nodes::mc_extension);
      node.partition = r.partition;
      node.powerStatus(r.power);
      table.push_back(node);
    }
    trl::test::setTable(table);
  }
  static Node record(int i) { return trl::test::table().at(i); }
  static std::size_t count() { return trl::test::table().size(); }

  // A session as the web server makes one, with its handlers on the pool.
  void open() {
    page_ = std::make_unique<web::test::TestPage>(&pool_, trl::test::openTrellium);
    // Only the shown tab reaches the page.
    page().runAndWait([&] { app().tabWidget()->setCurrentIndex(Trellium::ConfigurationTabIndex); });
    settle();
    page().take();
  }
  // What was sent to the page for the Servers tab since the last call: a
  // refresh that sent the whole tab, or the grid, shows up as that.
  std::vector<std::string> sentForTab() {
    std::set<std::string> inside;
    std::function<void(web::Widget&)> collect = [&](web::Widget& w) {
      inside.insert(w.id());
      w.visitRenderedChildren(collect);
    };
    std::vector<std::string> sent;
    page().runAndWait([&] {
      collect(tab());
      for (web::Widget* up = tab().parent(); up; up = up->parent()) inside.insert(up->id());
    });
    for (const web::Update& u : page().take())
      for (const auto& [id, html] : u.widgets)
        if (inside.count(id)) sent.push_back(html);
    return sent;
  }
  web::test::TestPage& page() { return *page_; }
  Trellium& app() { return static_cast<Trellium&>(page().app()); }
  NodeConfig& tab() { return *app().nodeConfig(); }
  web::StandardItemModel& model() { return *tab().model(); }
  int column(const std::string& header) { return Util::getColumnFromHeader(&model(), header); }
  std::string cell(int row, const std::string& header) { return model().item(row, column(header))->text(); }

  // Every event queued so far has been handled, and what it changed sent.
  void settle() { page().runAndWait([] {}); }
  // What the event loop delivers for a registry descriptor.
  void deliver(int fd) {
    app().handleEvent(fd);
    settle();
  }
  void event(const std::string& type, int row, const std::string& header, const std::string& value = {}) {
    page().event(*tab().nodeTable(), type, value, std::to_string(row) + "," + std::to_string(column(header)));
  }

  // The message box on the page, waited for; answered with button. Its text.
  std::string answer(web::StandardButton button) { return trl::test::answerBox(page(), button); }
  bool boxShown() {
    std::size_t shown = 0;
    page().runAndWait([&] { shown = app().dialogs().shownCount(); });
    return shown > 0;
  }

  // The line edit open in a cell, after a double click on it.
  web::LineEdit* openEditor(int row, const std::string& header) {
    event("dblclick", row, header);
    settle();
    web::LineEdit* editor = nullptr;
    page().runAndWait([&] {
      tab().nodeTable()->visitChildren([&](web::Widget& w) {
        if (auto* e = dynamic_cast<web::LineEdit*>(&w)) editor = e;
      });
    });
    return editor;
  }
  void type(web::LineEdit* editor, const std::string& key, const std::string& text) {
    web::Event e;
    e.type = "keydown";
    e.key = key;
    e.target = editor->id();
    e.value = text;
    page().event(e);
  }
  bool editing(int row, const std::string& header) {
    bool open = false;
    page().runAndWait([&] { open = tab().nodeTable()->isEditing(model().index(row, column(header))); });
    return open;
  }

  web::HandlerPool pool_{2};
  std::unique_ptr<web::test::TestPage> page_;
};

TEST(PartitionChoices, FromMinusOneUpAndNeverEmpty) {
  EXPECT_EQ(NodeConfig::partitionChoices(1), (std::vector<std::string>{"-1", "0"}));
  EXPECT_EQ(NodeConfig::partitionChoices(4), (std::vector<std::string>{"-1", "0", "1", "2", "3"}));
  EXPECT_NE(trl::test::errorOf([] { NodeConfig::partitionChoices(0); }).find("length must be positive"),
            std::string::npos);
}

TEST_F(ServersTab, PartitionChoicesAndTheWarningLineFollowTheTable) {
  setServers({});
  open();
  EXPECT_EQ(model().rowCount(), 0);
  EXPECT_EQ(tab().offeredPartitions(), (std::vector<std::string>{"-1", "0", "1"}));
  EXPECT_EQ(app().fabricTab()->generalConfigData().noOfNodes, 0);

  setServers({server(1, 0), server(2, 2)});
  deliver(nodes().nodeChangedFd());
  EXPECT_EQ(tab().offeredPartitions(), (std::vector<std::string>{"-1", "0", "1", "2", "3"}));
  EXPECT_EQ(app().fabricTab()->generalConfigData().noOfNodes, 2) << "the shell heard the count";
  EXPECT_EQ(app().wiring()->wiringTableData().noOfNodes, 2);
  EXPECT_EQ(cell(1, "Partition"), "2");
  EXPECT_EQ(cell(0, "Server type"), "Supermicro");
  EXPECT_EQ(cell(1, "MC MAC address"), "00:25:90:00:02:01");
  EXPECT_NE(tab().warningText()->text().find(">Error: Partition 1 is empty</span>"), std::string::npos)
      << tab().warningText()->text();
  Record twin = server(3);
  twin.name = "node1";
  setServers({server(1), twin});
  deliver(nodes().nodeChangedFd());
  EXPECT_NE(tab().warningText()->text().find(">Error: Duplicated hostname</span>"), std::string::npos);
  setServers({});
  deliver(nodes().nodeChangedFd());
  EXPECT_EQ(tab().warningText()->text().find("Error"), std::string::npos) << "no partition 0 to miss without servers";
}

TEST_F(ServersTab, EditorsAndTheRecordRefuseWhatTheTableCannotTake) {
  open();
  web::LineEdit* editor = openEditor(0, "Hostname");
  ASSERT_NE(editor, nullptr);
  type(editor, "Enter", "web.01");
  EXPECT_EQ(answer(web::Ok), "Error: Enter a hostname with only alphanumeric, dash and underscore characters");
  EXPECT_TRUE(editing(0, "Hostname"));
  EXPECT_EQ(record(0).eth0.name(), "node1");
  type(editor, "Enter", "web_01");
  settle();
  EXPECT_FALSE(editing(0, "Hostname"));
  EXPECT_EQ(record(0).eth0.name(), "web_01");
  EXPECT_EQ(record(0).mc.name(), "web_01-mc");

  editor = openEditor(1, "eth0 MAC address");
  ASSERT_NE(editor, nullptr);
  type(editor, "Enter", "AA:BB:CC:DD:EE:FF");
  EXPECT_EQ(answer(web::Ok), "Error: Please enter a valid MAC address: xx:xx:xx:xx:xx:xx");
  type(editor, "Enter", "");
  settle();
  EXPECT_FALSE(boxShown()) << "an emptied MAC cell says nothing";
  EXPECT_TRUE(editing(1, "eth0 MAC address"));
  type(editor, "Escape", "AA:BB");
  settle();
  EXPECT_FALSE(editing(1, "eth0 MAC address")) << "Escape always leaves the cell";
  EXPECT_EQ(record(1).eth0.mac_str(), "00:25:90:00:02:00");

  // What a hostile page could send past the editor.
  page().runAndWait([&] { model().item(0, column("eth0 MAC address"))->setText("00-25-90-01-02-03"); });
  EXPECT_EQ(answer(web::Ok),
            "Error: The eth0 MAC address of web_01 was not changed to \"00-25-90-01-02-03\": MAC address format "
            "must be xx:xx:xx:xx:xx:xx.");
  web::StandardItem* item = model().item(0, column("eth0 MAC address"));
  EXPECT_EQ(item->text(), "00:25:90:00:01:00") << "the record's value again";
  EXPECT_EQ(item->toolTip(), "Not changed: MAC address format must be xx:xx:xx:xx:xx:xx");
  EXPECT_EQ(record(0).eth0.mac_str(), "00:25:90:00:01:00");
  { const Nodes::ExclusiveAccess free(nodes()); }  // the lock was let go
  deliver(nodes().nodeChangedFd());
  EXPECT_TRUE(model().item(0, column("eth0 MAC address"))->toolTip().empty()) << "the mark goes with the next refresh";
}

TEST_F(ServersTab, EditsReachTheRecordAndTheFiles) {
  std::filesystem::remove(trl::auditLogPath());
  open();
  web::LineEdit* editor = openEditor(2, "Hostname");
  ASSERT_NE(editor, nullptr);
  type(editor, "Enter", "gpu_7");
  settle();
  EXPECT_NE(trl::test::readFile(trl::test::ModulesRoot::dir() + "/etc/dhcp/dhcpd.conf").find("host gpu_7-mc\t"),
            std::string::npos)
      << "committed at once";

  // A MAC dragged onto another server's cell moves there.
  web::Event drop;
  drop.type = "drop";
  drop.target = tab().nodeTable()->id();
  drop.arg = "1," + std::to_string(column("eth0 MAC address"));
  drop.source = "0," + std::to_string(column("eth0 MAC address"));
  page().event(drop);
  settle();
  EXPECT_EQ(record(1).eth0.mac_str(), "00:25:90:00:01:00");
  EXPECT_EQ(record(0).eth0.mac(), 0u) << "taken from where it was";
  deliver(nodes().nodeChangedFd());
  EXPECT_EQ(cell(0, "eth0 MAC address"), "unset");

  // A partition chosen in its cell.
  page().runAndWait([&] { model().item(0, column("Partition"))->setText("1"); });
  EXPECT_EQ(record(0).partition, 1);

  // Each edit is a line of the audit log, written before it was carried out.
  const std::vector<std::string> lines = trl::test::auditedActions();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "edit server table\tnode3: Hostname -> gpu_7");
  EXPECT_NE(lines.back().find("edit server table\t"), std::string::npos) << lines.back();
  EXPECT_NE(lines.back().find(": Partition -> 1"), std::string::npos) << lines.back();
}

TEST_F(ServersTab, PowerEventsRewritePowerCellsUnlessTheServersChanged) {
  open();
  {
    const Nodes::ExclusiveAccess table(nodes());
    table.begin()[1].eth0.name("renamed");
    table.begin()[1].powerStatus(Node::Up);
  }
  deliver(nodes().powerStatusChangedFd());
  EXPECT_EQ(cell(1, "Power status"), "up");
  EXPECT_EQ(model().item(1, column("Power status"))->toolTip(), "Double click to power down");
  EXPECT_EQ(cell(1, "Hostname"), "node2") << "only the power cells";
  std::vector<std::string> sent = sentForTab();
  ASSERT_EQ(sent.size(), 1u) << "the one power cell that changed, not its row";
  EXPECT_EQ(sent[0].rfind("<tr", 0), std::string::npos);
  EXPECT_NE(sent[0].find("icons/poweron.png"), std::string::npos);

  // A node-table event with the same servers: the changed row alone.
  deliver(nodes().nodeChangedFd());
  EXPECT_EQ(cell(1, "Hostname"), "renamed");
  sent = sentForTab();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].rfind("<tr", 0), 0u);
  EXPECT_NE(sent[0].find("renamed"), std::string::npos);

  // One more server: a power event rebuilds the grid.
  setServers({server(1), server(2), server(3), server(4)});
  deliver(nodes().powerStatusChangedFd());
  EXPECT_EQ(model().rowCount(), 4);
  EXPECT_EQ(cell(1, "Hostname"), "node2");
  EXPECT_EQ(app().fabricTab()->generalConfigData().noOfNodes, 4);
}

TEST_F(ServersTab, NothingIsForgottenWithoutAskingFirst) {
  std::filesystem::remove(trl::auditLogPath());
  open();
  page().event(*tab().deleteButton(), "click");
  EXPECT_EQ(answer(web::Ok), "Error: Please select a server");

  event("click", 1, "Server type");
  page().event(*tab().deleteButton(), "click");
  EXPECT_EQ(answer(web::No),
            "Confirm: Delete node2 from the node table? Its name, partition and MAC corrections will be lost; it "
            "comes back as a new server when it next leases an address.");
  EXPECT_EQ(count(), 3u);
  page().event(*tab().deleteButton(), "click");
  answer(web::Yes);
  EXPECT_EQ(count(), 2u);
  EXPECT_EQ(record(1).eth0.name(), "node3");

  page().event(*tab().clearButton(), "click");
  EXPECT_EQ(answer(web::No),
            "Confirm: Clear the node table? All 2 servers will be forgotten and rediscovered from the DHCP leases.");
  EXPECT_EQ(count(), 2u);
  page().event(*tab().clearButton(), "click");
  answer(web::Yes);
  EXPECT_EQ(count(), 0u);
  // Only what was carried out is audited, and before it was.
  EXPECT_EQ(trl::test::auditedActions(), (std::vector<std::string>{"delete server\tnode2", "clear server table\t2 servers"}));
}

TEST_F(ServersTab, PowerControlAsksAndNeedsAController) {
  Record up = server(1);
  up.power = Node::Up;
  setServers({up, server(2)});
  open();
  event("dblclick", 1, "Power status");
  EXPECT_EQ(answer(web::Ok), "Info: Power control is not available!");
  event("dblclick", 0, "Power status");
  EXPECT_EQ(answer(web::Yes), "Confirm: Are you sure you want to power down?");
  // Without an address the record has no session to send it through.
  EXPECT_EQ(answer(web::Ok), "Info: Power control of node1 is no longer available.");
}

}  // namespace
