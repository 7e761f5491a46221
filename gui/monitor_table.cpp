#include "gui/monitor_table.h"

#include <cstring>

#include "modules/error.h"
#include "modules/nodes.h"
#include "web/any_text.h"
#include "web/panel.h"
#include "web/standard_item_model.h"
#include "web/table_view.h"

namespace {

constexpr int table_height = 500;
const int column_widths[] = {170, 120, 130};

// The headers shown until a server is chosen.
std::shared_ptr<web::StandardItemModel> placeholderModel() {
  auto model = std::make_shared<web::StandardItemModel>(0, 3);
  const char* const headers[] = {"Reachable", "Power state", "Processor temperature"};
  for (int c = 0; c < 3; ++c) model->setHeaderData(c, std::string(headers[c]));
  return model;
}

}  // namespace

MonitorTable::MonitorTable(Trellium* manager) : HelpableContainer(manager) {
  auto panel = std::make_unique<web::Panel>("Sensors");
  panel->setMargin(6);
  panel->setStyleClass("trl-sensors");
  model_ = placeholderModel();
  auto view = std::make_unique<web::TableView>();
  view->setModel(model_);
  view->resize(web::Length::Auto(), table_height);
  view->setSelectionMode(web::SelectionMode::Single);
  view->setSelectionBehavior(web::SelectionBehavior::Rows);
  view->setEditTriggers(web::NoEditTrigger);
  view->setAlternatingRowColors(true);
  for (int c = 0; c < 3; ++c) view->setColumnWidth(c, column_widths[c]);
  nodeTable_ = panel->addWidget(std::move(view));
  containerPanel_ = addWidget(std::move(panel));
}

void MonitorTable::update(int) {
  if (!nodes_ || hostname_.empty()) return;  // no server chosen yet
  if (read(*nodes_)) sensorsChanged_.emit();
}

void MonitorTable::update(Nodes* nodes) {
  TRL_LOG("[MonitorTable] updating");
  if (!nodes) throw TRL_ERROR("nodes is NULL");
  read(*nodes);
}

// The record is looked up under the node table's lock and the sensor table
// copied after it is released: a sensor pass in progress holds the sensor
// table's lock until it ends.
bool MonitorTable::read(Nodes& nodes) {
  Nodes::Node::PowerStatus status = Nodes::Node::Unknown;
  std::string error;
  ipmi_.reset();
  {
    const Nodes::SharedAccess table(nodes);
    for (const Nodes::Node* node = table.begin(); node != table.end(); ++node)
      if (node->eth0.name() == hostname_) {
        ipmi_ = node->ipmiShared();
        status = node->powerStatus();
        error.assign(node->error_str, strnlen(node->error_str, sizeof node->error_str));
        break;
      }
  }
  containerPanel_->setTitle("Sensors of " + hostname_);
  const IPMI::SensorList before = rows_;
  if (!ipmi_) {
    showNothing("ipmi for " + hostname_ + " not found");
  } else if (status == Nodes::Node::ConnectionError) {
    showNothing("connection error: the controller of " + hostname_ + " does not answer" +
                (error.empty() ? "" : " (" + error + ")") + "; its readings show again once it answers");
  } else {
    const IPMI::SensorList table = ipmi_->sensorTable();
    if (table.empty()) {
      showNothing("Sensor data unavailable until server powercycled");
    } else {
      setRows(table);
      warn_.emit("");
    }
  }
  return !sameNames(before, rows_);
}

void MonitorTable::showNothing(const std::string& why) {
  rows_.clear();
  model_->clearRows();
  warn_.emit(why);
}

bool MonitorTable::sameNames(const IPMI::SensorList& a, const IPMI::SensorList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t r = 0; r < a.size(); ++r)
    if (a[r].empty() != b[r].empty() || (!a[r].empty() && a[r][0] != b[r][0])) return false;
  return true;
}

std::string MonitorTable::stateClass(const std::string& state) {
  for (const char* known : {"nominal", "warning", "critical", "unknown", "unavailable"})
    if (state == known) return std::string("trl-sensor-state trl-sensor-") + known;
  return {};
}

void MonitorTable::setRows(const IPMI::SensorList& rows) {
  if (rows.empty()) {
    rows_.clear();
    model_->clearRows();
    return;
  }
  const IPMI::SensorList::value_type& header = rows.front();
  const int columns = static_cast<int>(header.size());
  const int stateColumn = columns >= 3 ? 2 : -1;
  // Same headers and as many rows: only the changed cells change, so a
  // round that changed nothing sends nothing to the page.
  const bool sameShape = !rows_.empty() && rows_.front() == header && rows_.size() == rows.size() &&
                         model_->columnCount() == columns;
  if (!sameShape) {
    model_ = std::make_shared<web::StandardItemModel>(0, columns);
    for (int c = 0; c < columns; ++c) model_->setHeaderData(c, header[static_cast<std::size_t>(c)]);
    nodeTable_->setModel(model_);
    model_->setRowCount(static_cast<int>(rows.size()) - 1);
  }
  for (std::size_t r = 1; r < rows.size(); ++r) {
    for (int c = 0; c < columns; ++c) {
      const std::string text = c < static_cast<int>(rows[r].size()) ? rows[r][static_cast<std::size_t>(c)] : "";
      web::StandardItem* item = model_->item(static_cast<int>(r) - 1, c);
      if (!item) {
        model_->setItem(static_cast<int>(r) - 1, c, std::make_unique<web::StandardItem>());
        item = model_->item(static_cast<int>(r) - 1, c);
      }
      if (item->text() != text) item->setText(text);
      const std::string cls = c == stateColumn ? stateClass(text) : std::string();
      if (web::asString(item->data(web::StyleClassRole)) != cls) item->setStyleClass(cls);
    }
  }
  rows_ = rows;
}
