#include "gui/monitor_control.h"

#include <algorithm>
#include <vector>

#include "gui/chart_container.h"
#include "gui/monitor_table.h"
#include "gui/util.h"
#include "modules/error.h"
#include "modules/nodes.h"
#include "web/combo_box.h"
#include "web/grid_layout.h"
#include "web/text.h"

namespace {

std::unique_ptr<web::Text> label(const char* markup) {
  return std::make_unique<web::Text>(Util::stdText(markup), web::TextFormat::Markup);
}

}  // namespace

MonitorControl::MonitorControl(Trellium* manager) : HelpableContainer(manager) {
  setStyleClass("trl-monitor");
  container_ = addNew<web::Container>();
  grid_ = container_->setLayout(std::make_unique<web::GridLayout>());
  grid_->setContentsMargins(6, 6, 6, 0);
  grid_->setHorizontalSpacing(8);
  grid_->setVerticalSpacing(4);
  nodeNameLabel_ = grid_->addWidget(label("<b>Server</b>"), 0, 0, web::AlignRight | web::AlignMiddle);
  nodeNameCombo_ = grid_->addWidget(std::make_unique<web::ComboBox>(), 0, 1, web::AlignLeft | web::AlignMiddle);
  nodeNameCombo_->setToolTip("The server whose sensors are listed below; servers with a management controller only.");
  sensorLabel_ = grid_->addWidget(label("<b>Sensor</b>"), 0, 2, web::AlignRight | web::AlignMiddle);
  sensorCombo_ = grid_->addWidget(std::make_unique<web::ComboBox>(), 0, 3, web::AlignLeft | web::AlignMiddle);
  sensorCombo_->setToolTip(
      "The sensor the chart follows, read every 10 s. The choice is shared: every open page charts the same sensor.");
  grid_->setColumnStretch(4, 1);
  // On a line of its own: a reason and what to do fit there at any width.
  warning_ = grid_->addWidget(std::make_unique<web::Text>(), 1, 0, 1, 5, web::AlignLeft);
  warning_->setStyleClass("trl-error trl-monitor-warning");
  warning_->hide();
  chartContainer_ = addNew<ChartContainer>(manager);
  monitorTable_ = addNew<MonitorTable>(manager);

  nodeNameCombo_->activated().connect([this] { nodeChanged(); });
  sensorCombo_->activated().connect([this] { sensorChanged(); });
  monitorTable_->warning().connect(this, &MonitorControl::updateWarning);
  // A table emptied by a silent controller leaves the choices as they are:
  // the history goes on recording the chosen sensor.
  monitorTable_->sensorsChanged().connect([this] {
    if (monitorTable_->rows().size() > 1) updateSensorCombo(monitorTable_->rows(), false);
  });
  chartContainer_->seriesShown().connect(this, &MonitorControl::followHistory);
}

void MonitorControl::setModule(Nodes* nodes) {
  nodes_ = nodes;
  chartContainer_->setModule(nodes);
  monitorTable_->setModule(nodes);
}

void MonitorControl::update(int fd) {
  TRL_LOG("[MonitorControl] Updating");
  if (!nodes_) throw TRL_ERROR("nodes is NULL");
  updateWarning("");
  nodeNameCombo_->clear();
  {
    const Nodes::SharedAccess table(*nodes_);
    for (const Nodes::Node* node = table.begin(); node != table.end(); ++node)
      if (node->mc.mac() != 0) nodeNameCombo_->addItem(node->eth0.name());
  }
  if (nodeNameCombo_->count() == 0) return;
  // A new page joins the series the other pages show instead of resetting it.
  const std::string recorded = nodes_->history().historyNodeName();
  const int index = fd == 0 && recorded != "unset" ? nodeNameCombo_->findText(recorded) : -1;
  if (index >= 0) {
    nodeNameCombo_->setCurrentIndex(index);
    showServer(recorded, false);
    chartContainer_->update(0);
    return;
  }
  nodeNameCombo_->setCurrentIndex(0);
  nodeChanged();
}

void MonitorControl::nodeChanged() {
  updateWarning("");
  const std::string name = nodeNameCombo_->currentText();
  nodes_->history().changeHistoryNode(name);
  showServer(name, true);
  chartContainer_->update(0);  // the old series goes at once, not at the next round
}

void MonitorControl::sensorChanged() {
  if (!nodes_) throw TRL_ERROR("nodes is NULL");
  if (!sensorCombo_) throw TRL_ERROR("sensorCombo_ is NULL");
  // The warning is about the server, which this choice does not change.
  nodes_->history().changeHistorySensor(sensorCombo_->currentText());
  chartContainer_->update(0);
}

void MonitorControl::showServer(const std::string& name, bool pickFirst) {
  if (name == "unset") return;
  monitorTable_->setHostname(name);
  monitorTable_->update(nodes_);
  updateSensorCombo(monitorTable_->rows(), pickFirst);
}

void MonitorControl::updateSensorCombo(const IPMI::SensorList& rows, bool pickFirst) {
  sensorCombo_->clear();
  std::vector<std::string> names;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    // Two records may carry one ID string: the name is offered once.
    if (rows[r].empty() || rows[r][0].empty()) continue;
    if (std::find(names.begin(), names.end(), rows[r][0]) != names.end()) continue;
    names.push_back(rows[r][0]);
    sensorCombo_->addItem(rows[r][0]);
  }
  if (names.empty()) return;
  const int recorded = pickFirst ? -1 : sensorCombo_->findText(nodes_->history().historySensorName());
  sensorCombo_->setCurrentIndex(std::max(recorded, 0));
  nodes_->history().changeHistorySensor(sensorCombo_->currentText());  // the same name keeps the samples
}

void MonitorControl::updateWarning(const std::string& text) {
  warning_->setText(text);
  warning_->setHidden(text.empty());
}

void MonitorControl::followHistory(const std::string& node, const std::string& sensor) {
  if (node != nodeNameCombo_->currentText()) {
    const int index = node == "unset" ? -1 : nodeNameCombo_->findText(node);
    if (index < 0) return;  // not a server this page lists
    nodeNameCombo_->setCurrentIndex(index);
    showServer(node, false);
    return;
  }
  const int index = sensorCombo_->findText(sensor);
  if (index >= 0 && index != sensorCombo_->currentIndex()) sensorCombo_->setCurrentIndex(index);
}
