// The Monitoring tab without a browser: the chart's rows, gaps, Y range and
// local-time labels; the sensor table's states and escaping; and the whole
// tab on a simulated controller (ipmi_sim): its sensors, the reasons for an
// empty table, a second page following the shared choice, and a node-list
// event returning to the first server.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "gui/chart_container.h"
#include "gui/monitor_control.h"
#include "gui/monitor_table.h"
#include "tests/support/bmc_sim.h"
#include "tests/support/modules_root.h"
#include "tests/unit/gui_support.h"
#include "web/any_text.h"
#include "web/chart.h"
#include "web/combo_box.h"
#include "web/standard_item_model.h"
#include "web/text.h"

namespace {

using Clock = std::chrono::system_clock;
using Node = Nodes::Node;
using web::test::TestPage;

const double nan = std::numeric_limits<double>::quiet_NaN();
Nodes::Config quickIpmi() {
  Nodes::Config config;
  config.ipmi.retransmission_timeout_ms = 100;  // a dead controller answers nothing
  return config;
}
const auto* const backend = ::testing::AddGlobalTestEnvironment(new trl::test::ModulesRoot(quickIpmi()));

using trl::test::nodes;
using trl::test::setTable;
History& history() { return nodes().history(); }

// Server k, named nodek, with a Supermicro controller at mcAddress (none: no session).
Node server(int k, const std::string& mcAddress = "") {
  Node::Interface host(0x002590000100ULL + k, 0);
  host.name("node" + std::to_string(k));
  Node node(host);  // named and without an address: no lookup, no probe
  in_addr ip{};
  node.mc = Node::Interface(0x002590000200ULL + k, 0);
  if (!mcAddress.empty() && inet_pton(AF_INET, mcAddress.c_str(), &ip) == 1) node.mc.ip(ntohl(ip.s_addr));
  node.mc.name(node.eth0.name() + Nodes::mc_extension);
  nodes().resetIPMI(node);
  node.powerStatus(Node::Up);
  return node;
}

void setPowerStatus(int index, Node::PowerStatus status) {
  const Nodes::ExclusiveAccess table(nodes());
  table.begin()[index].powerStatus(status);
}

std::shared_ptr<IPMI> sessionOf(int index) {
  const Nodes::SharedAccess table(nodes());
  return table.begin()[index].ipmiShared();
}

std::vector<HistoryData> samples(const std::vector<double>& values, Clock::time_point last) {
  std::vector<HistoryData> out;
  for (std::size_t i = 0; i < values.size(); ++i)
    out.emplace_back(last - std::chrono::seconds(10 * (values.size() - 1 - i)), values[i]);
  return out;
}

Clock::time_point timeAt(const web::StandardItemModel& model, int row) {
  return std::any_cast<Clock::time_point>(model.data(model.index(row, 0)));
}
double valueAt(const web::StandardItemModel& model, int row) { return web::asNumber(model.data(model.index(row, 1))); }

std::string pathOf(const std::string& svg) {
  const auto d = svg.find("<path d=\"");
  return d == std::string::npos ? "" : svg.substr(d + 9, svg.find('"', d + 9) - d - 9);
}

int count(const std::string& s, char c) { return static_cast<int>(std::count(s.begin(), s.end(), c)); }

std::vector<std::string> items(const web::ComboBox& combo) {
  std::vector<std::string> out;
  for (int i = 0; i < combo.count(); ++i) out.push_back(combo.itemText(i));
  return out;
}

// A page holding one Monitoring tab on the shared registry.
struct MonitorPage {
  MonitorControl* tab = nullptr;
  TestPage page{[this](web::Application& app) {
    tab = app.root()->addWidget(std::make_unique<MonitorControl>(nullptr));
    tab->setModule(&nodes());
  }};
  // As the shell delivers events: the tab on node-list events, the chart
  // and then the table on a sampling round, the table on power changes.
  void deliver(int fd) {
    page.runAndWait([&] {
      if (fd == 0 || fd == nodes().leasesModifiedFd() || fd == nodes().nodeChangedFd()) tab->update(fd);
      if (fd == nodes().historyUpdateFd()) tab->chartContainer()->update(fd);
      if (fd == nodes().historyUpdateFd() || fd == nodes().powerStatusChangedFd()) tab->monitorTable()->update(fd);
    });
  }
  void choose(web::ComboBox* combo, const std::string& text) {
    page.event(*combo, "change", std::to_string(combo->findText(text)));
    page.runAndWait([] {});
  }
  std::string warning() const { return tab->warningText()->isHidden() ? "" : tab->warningText()->text(); }
  std::vector<std::string> column(int c) const {
    std::vector<std::string> out;
    const auto& model = *tab->monitorTable()->model();
    for (int r = 0; r < model.rowCount(); ++r) out.push_back(web::asString(model.data(model.index(r, c))));
    return out;
  }
};

TEST(MonitorChartAndTable, RowsGapsYRangeAndSensorStatesEscaped) {
  web::Application app{web::Environment()};
  ChartContainer chart(nullptr);
  const auto now = Clock::now();
  chart.fillRows(samples({40, 41, nan, 43, 44}, now - std::chrono::seconds(2)), now);
  const web::StandardItemModel& model = *chart.model();
  ASSERT_EQ(model.rowCount(), 40);
  for (int i = 0; i < 35; ++i) {
    EXPECT_EQ(timeAt(model, i), now - std::chrono::seconds(10 * (40 - i))) << "placeholder row " << i;
    EXPECT_TRUE(std::isnan(valueAt(model, i)));
  }
  EXPECT_EQ(timeAt(model, 39), now - std::chrono::seconds(2)) << "the sample's own instant, not shifted";
  EXPECT_EQ(timeAt(model, 35), now - std::chrono::seconds(42));
  EXPECT_EQ(valueAt(model, 35), 40);
  EXPECT_TRUE(std::isnan(valueAt(model, 37)));
  const std::string path = pathOf(chart.chart()->svg());
  EXPECT_EQ(count(path, 'M'), 2) << "the NaN sample splits the line: " << path;
  EXPECT_EQ(count(path, 'L'), 2);

  using Range = std::pair<double, double>;
  EXPECT_EQ(ChartContainer::yRange(40, 44), Range(38, 46));
  EXPECT_EQ(ChartContainer::yRange(50, 50), Range(25, 75));
  EXPECT_EQ(ChartContainer::yRange(1, 9), Range(0, 10)) << "the margin of 4 is cut to 1";
  // Readings at or below zero still get a range around them.
  EXPECT_EQ(ChartContainer::yRange(0, 0), Range(-1, 1));
  EXPECT_EQ(ChartContainer::yRange(-4, -4), Range(-6, -2));
  EXPECT_EQ(ChartContainer::yRange(-10, 10), Range(-20, 20));
  EXPECT_EQ(ChartContainer::unitOf("41 C"), "C");
  EXPECT_EQ(ChartContainer::unitOf("3000 RPM"), "RPM");
  EXPECT_EQ(ChartContainer::unitOf("N/A"), "");

  // The sensor table: states in words and classes, controller texts escaped.
  MonitorTable table(nullptr);
  IPMI::SensorList rows = {{"name", "reading", "state"},
                           {"<img src=x>", "41 C", "nominal"},
                           {"FAN1", "400 RPM", "critical"},
                           {"12V", "11.2 V", "warning"},
                           {"Spare Temp", "N/A", "unavailable"},
                           {"Odd", "1 V", "<b>hot</b>"}};
  table.setRows(rows);
  const std::string html = table.html();
  EXPECT_EQ(html.find("<img src=x>"), std::string::npos);
  EXPECT_NE(html.find("&lt;img src=x&gt;"), std::string::npos);
  EXPECT_EQ(html.find("<b>hot"), std::string::npos);
  for (const char* state : {"nominal", "critical", "warning", "unavailable"})
    EXPECT_NE(html.find("trl-sensor-state trl-sensor-" + std::string(state) + "\""), std::string::npos) << state;
  EXPECT_EQ(MonitorTable::stateClass("<b>hot</b>"), "") << "only the words the system writes are styled";

  // A round with one new reading changes that cell, not the model.
  const auto sensors = table.model();
  rows[2][1] = "350 RPM";
  table.setRows(rows);
  EXPECT_EQ(table.model(), sensors);
  EXPECT_EQ(web::asString(sensors->data(sensors->index(1, 1))), "350 RPM");
}

TEST(MonitorChart, DrawsTheSharedHistoryInLocalTime) {
  const char* const saved = std::getenv("TZ");
  const std::string savedTz = saved ? saved : "";
  setenv("TZ", "TST-05:30", 1);  // 5 h 30 min east of UTC, no daylight saving
  tzset();
  setTable({server(1)});
  history().changeHistoryNode("node1");
  history().changeHistorySensor("CPU Temp");
  history().clear();
  // 2024-03-05 08:37:30 UTC is 14:07:30 here.
  std::tm utc{};
  utc.tm_year = 124, utc.tm_mon = 2, utc.tm_mday = 5, utc.tm_hour = 8, utc.tm_min = 37, utc.tm_sec = 30;
  const auto last = Clock::from_time_t(timegm(&utc));
  for (const HistoryData& s : samples({nan, 40, 42, 44}, last)) history().push(s);

  web::Application app{web::Environment()};
  ChartContainer chart(nullptr);
  chart.setModule(&nodes());
  std::pair<std::string, std::string> shown;
  chart.seriesShown().connect([&](const std::string& n, const std::string& s) { shown = {n, s}; });
  chart.update(nodes().historyUpdateFd());
  chart.fillRows(history().samples(), last + std::chrono::seconds(5));  // a fixed now for the labels
  const std::string svg = chart.chart()->svg();
  if (saved) setenv("TZ", savedTz.c_str(), 1); else unsetenv("TZ");
  tzset();

  EXPECT_EQ(shown, std::make_pair(std::string("node1"), std::string("CPU Temp")));
  const web::chart::Axis& y = chart.chart()->axis(web::chart::YAxis);
  EXPECT_FALSE(y.autoLimits());
  EXPECT_EQ(y.minimum(), 38) << "a NaN first sample does not keep the old range";
  EXPECT_EQ(y.maximum(), 46);
  // Labels every 2 minutes from 08:32 UTC, shown as the host's local time.
  for (const char* label : {">14:02:00<", ">14:04:00<", ">14:06:00<", ">CPU Temp on node1<", ">Local time (TST)<"})
    EXPECT_NE(svg.find(label), std::string::npos) << label;
  EXPECT_EQ(svg.find(">08:36:00<"), std::string::npos) << "not UTC";
  EXPECT_EQ(svg.find(">16:36:00<"), std::string::npos) << "not UTC + 8 h";
  EXPECT_NE(svg.find("class=\"w-chart-latest\" data-x=\"" + std::to_string(Clock::to_time_t(last)) + ".000\""),
            std::string::npos) << "the latest point, marked";

  history().clear();
  chart.update(nodes().historyUpdateFd());
  EXPECT_NE(chart.chart()->svg().find(">Waiting for the first reading"), std::string::npos);
  EXPECT_TRUE(chart.chart()->axis(web::chart::YAxis).autoLimits()) << "no reading, no other series' range";
}

TEST(MonitorTab, OnASimulatedController) {
  trl::test::SimulatedBmcs bmcs(1);
  // node1 answers; node2 has no controller session; node3's controller has
  // never completed a sensor pass.
  setTable({server(1, bmcs.address(0)), server(2), server(3, bmcs.deadAddress())});
  sessionOf(0)->sensors("");  // the polling thread's pass
  history().changeHistoryNode("unset");

  MonitorPage p;
  p.deliver(0);
  EXPECT_EQ(items(*p.tab->nodeNameCombo()), (std::vector<std::string>{"node1", "node2", "node3"}));
  EXPECT_EQ(history().historyNodeName(), "node1");
  EXPECT_EQ(history().historySensorName(), "CPU Temp") << "the first sensor";
  const std::vector<std::string> names{"CPU Temp",    "Inlet Temp",  "FAN1",        "12V",       "DIMM Temp 0",
                                      "DIMM Temp 1", "DIMM Temp 2", "DIMM Temp 3", "Spare Temp"};
  EXPECT_EQ(items(*p.tab->sensorCombo()), names);
  EXPECT_EQ(p.column(0), names);
  EXPECT_EQ(p.column(1)[0], "41 C");
  EXPECT_EQ(p.column(2)[0], "nominal");
  EXPECT_EQ(p.column(2)[8], "unavailable");
  EXPECT_EQ(p.warning(), "");

  // A sampling round: the chart gains the point with its unit; the table
  // follows the controller (CPU now above its critical threshold).
  bmcs.setSensorRaw(0, trl::test::SimulatedBmcs::cpu_temp, 95);
  history().push(HistoryData(Clock::now(), sessionOf(0)->sensors("CPU Temp")));
  p.deliver(nodes().historyUpdateFd());
  const std::string svg = p.tab->chartContainer()->chart()->svg();
  EXPECT_NE(svg.find(">95 C</text>"), std::string::npos) << "the latest value with its unit";
  EXPECT_NE(svg.find("class=\"w-chart-axis-title\">C</text>"), std::string::npos);
  EXPECT_EQ(p.column(1)[0], "95 C");
  EXPECT_EQ(p.column(2)[0], "critical");

  // A controller that stops answering: said, and no old readings left up.
  setPowerStatus(0, Node::ConnectionError);
  p.deliver(nodes().powerStatusChangedFd());
  EXPECT_EQ(p.warning().rfind("connection error: the controller of node1 does not answer", 0), 0u) << p.warning();
  EXPECT_TRUE(p.column(0).empty());
  EXPECT_EQ(p.tab->sensorCombo()->currentText(), "CPU Temp") << "the choice the history records stays shown";
  setPowerStatus(0, Node::Up);
  p.deliver(nodes().historyUpdateFd());
  EXPECT_EQ(p.warning(), "");
  EXPECT_EQ(p.column(0).size(), 9u);
  EXPECT_EQ(p.tab->sensorCombo()->currentText(), "CPU Temp") << "the refilled combo keeps the choice";

  // A second page joins the series; a choice there reaches this page.
  MonitorPage q;
  q.deliver(0);
  EXPECT_EQ(q.tab->sensorCombo()->currentText(), "CPU Temp");
  EXPECT_EQ(history().samples().size(), 1u) << "opening a page keeps the samples";
  q.choose(q.tab->sensorCombo(), "FAN1");
  EXPECT_EQ(history().historySensorName(), "FAN1");
  p.deliver(nodes().historyUpdateFd());
  EXPECT_EQ(p.tab->sensorCombo()->currentText(), "FAN1");

  // The reasons for an empty table, shown as the warning.
  p.choose(p.tab->nodeNameCombo(), "node2");
  EXPECT_EQ(p.warning(), "ipmi for node2 not found");
  EXPECT_TRUE(p.column(0).empty());
  EXPECT_EQ(p.tab->sensorCombo()->count(), 0);
  p.choose(p.tab->nodeNameCombo(), "node3");
  EXPECT_EQ(p.warning(), "Sensor data unavailable until server powercycled");
  EXPECT_EQ(history().historyNodeName(), "node3");
  p.deliver(nodes().historyUpdateFd());
  EXPECT_EQ(q.tab->nodeNameCombo()->currentText(), "node1") << "q has had no round yet";
  q.deliver(nodes().historyUpdateFd());
  EXPECT_EQ(q.tab->nodeNameCombo()->currentText(), "node3") << "followed at the round";

  // A node-list event returns both pages, and the history, to the first server.
  p.deliver(nodes().nodeChangedFd());
  EXPECT_EQ(p.tab->nodeNameCombo()->currentText(), "node1");
  EXPECT_EQ(history().historyNodeName(), "node1");
  EXPECT_EQ(history().historySensorName(), "CPU Temp");
}

}  // namespace
