#include "gui/fabric.h"

#include <vector>

#include "gui/audit.h"
#include "gui/scoped_flag.h"
#include "gui/trellium.h"
#include "gui/util.h"
#include "gui/wiring.h"
#include "modules/error.h"
#include "modules/geometry.h"
#include "modules/nodes.h"
#include "web/combo_box.h"
#include "web/grid_layout.h"
#include "web/standard_item_model.h"
#include "web/table_view.h"
#include "web/text.h"
#include "web/text_format.h"

namespace {

constexpr int column_width = 100;
constexpr int table_width = 230;
constexpr int table_height = 250;

// Servers a geometry text such as 2x4x2 holds (16); the texts come from
// Geometry::Config::str, so every part is a small number.
int serversIn(const std::string& geometryText) {
  int product = 1, part = 0;
  for (const char c : geometryText + "x") {
    if (c == 'x') {
      product *= part;
      part = 0;
    } else {
      part = part * 10 + (c - '0');
    }
  }
  return product;
}

std::string plural(int n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

}  // namespace

FabricTab::FabricTab(Trellium* manager) : HelpableContainer(manager) {
  setMargin(12);
  addFabricSelectionPanel();
  addHelpMessage();
}

void FabricTab::addFabricSelectionPanel() {
  TRL_LOG("[NodeConfig] Adding general config panel");  // the panel's historical log line
  fabricSelectionPanel_ = addNew<web::Container>();
  inputGrid_ = fabricSelectionPanel_->setLayout(std::make_unique<web::GridLayout>());
  inputGrid_->setHorizontalSpacing(12);
  inputGrid_->setVerticalSpacing(8);

  nodeHeightLabel_ = inputGrid_->addWidget(
      std::make_unique<web::Text>(Util::stdText("<b>Node height</b>"), web::TextFormat::Markup), 0, 0,
      web::AlignMiddle);
  auto combo = std::make_unique<web::ComboBox>();
  for (const char* height : {"1U", "2U", "4U"}) combo->addItem(height);
  combo->setCurrentIndex(0);
  combo->setToolTip("The height of one server in rack units: it sets the cable lengths.");
  nodeHeightCombo_ = inputGrid_->addWidget(std::move(combo), 0, 1, web::AlignLeft);
  // The cable lengths follow the height at once, so the list shown never
  // belongs to another height than the one chosen here.
  nodeHeightCombo_->activated().connect([this] {
    if (auditSelection()) applySelection();
  });

  inputGrid_->addWidget(std::make_unique<web::Text>(Util::stdText("<b>Available geometries</b>"),
                                                    web::TextFormat::Markup),
                        1, 0, web::AlignTop);
  geometryModel_ = std::make_shared<web::StandardItemModel>(0, 2);
  geometryModel_->setHeaderData(0, std::string("Geometry"));
  geometryModel_->setHeaderData(1, std::string("Nodes"));
  auto table = std::make_unique<web::TableView>();
  table->setModel(geometryModel_);
  table->setColumnWidth(0, column_width);
  table->setColumnWidth(1, column_width);
  table->resize(table_width, table_height);
  table->setAlternatingRowColors(true);
  table->setSelectionMode(web::SelectionMode::Single);
  table->setSelectionBehavior(web::SelectionBehavior::Rows);
  table->setEditTriggers(web::NoEditTrigger);
  geometryTable_ = inputGrid_->addWidget(std::move(table), 1, 1, 1, 2, web::AlignLeft);
  geometryTable_->selectionChanged().connect([this] { userSelectGeometry(); });

  statusText_ = addNew<web::Text>(std::string(), web::TextFormat::Markup);
  statusText_->setStyleClass("trl-status");
}

void FabricTab::addHelpMessage() {
  nodeHeightCombo_->focussed().connect([this] { setHelpMessage("node-height"); });
  // Leaving the choice brings back this tab's own help.
  nodeHeightCombo_->blurred().connect([this] { setHelpMessage("fabric-geometry"); });
}

void FabricTab::update(int) {
  TRL_LOG("[FabricTab] Updating");
  Geometry* const geometry = generalConfigData_.geometry;
  if (!geometry) throw TRL_ERROR("geometry is NULL");
  if (!generalConfigData_.nodes) throw TRL_ERROR("nodes is NULL");
  {
    const Nodes::SharedAccess table(*generalConfigData_.nodes);
    generalConfigData_.noOfNodes = static_cast<int>(table.end() - table.begin());
  }
  std::vector<Geometry::Config> offered;
  std::string chosen;
  {
    const Geometry::Lock guard = geometry->lock();
    geometry->configurations(static_cast<unsigned>(generalConfigData_.noOfNodes));
    offered.assign(geometry->configs_begin(), geometry->configs_end());
    chosen = geometry->chosen();
  }
  {
    // Selecting a row runs the selection handler as a click does; the
    // rebuild it asks for happens once, below, when the list is whole.
    const ScopedFlag refilling(refilling_);
    geometryModel_->clearRows();
    int remembered = 0;
    for (std::size_t i = 0; i < offered.size(); ++i) {
      const auto [text, nodes] = offered[i].str();
      std::vector<std::unique_ptr<web::StandardItem>> row;
      row.push_back(std::make_unique<web::StandardItem>(text));
      row.push_back(std::make_unique<web::StandardItem>(nodes));
      geometryModel_->appendRow(std::move(row));
      if (text == chosen) remembered = static_cast<int>(i);
    }
    nodeHeightCombo_->setCurrentIndex(0);
    if (!offered.empty()) geometryTable_->select(geometryModel_->index(remembered, 0));
  }
  applySelection();
}

void FabricTab::userSelectGeometry() {
  if (!refilling_ && auditSelection()) applySelection();
}

bool FabricTab::auditSelection() {
  const std::string geometry = getGeometry();
  if (geometry.empty()) return true;  // nothing is written without one
  return auditAction(trl::AuditAction::FabricGeometry, geometry + ", " + std::to_string(getNodeHeight()) + "U");
}

void FabricTab::applySelection() {
  if (!manager_) throw TRL_ERROR("manager_ is NULL");
  manager_->setGeometry();  // reads getGeometry() and getNodeHeight()
  const std::string& type = generalConfigData_.geometryType;
  if (!type.empty() && generalConfigData_.geometry) generalConfigData_.geometry->choose(type);

  const int known = generalConfigData_.noOfNodes;
  const Wiring* const wiring = manager_->wiring();
  std::string status;
  bool failed = false;
  if (type.empty()) {
    status = std::string("<b>No geometry to offer yet.</b> A fabric needs at least two servers; ") +
             (known == 0 ? "none is known." : "only one is known.");
  } else if (wiring && !wiring->error().empty()) {
    failed = true;
    status = "<b>Geometry " + web::escapeHtml(type) + " is selected, but not applied.</b> " +
             web::escapeHtml(wiring->error());
  } else {
    const int used = serversIn(type);
    status = "Geometry <b>" + web::escapeHtml(type) + "</b> with " + std::to_string(generalConfigData_.nodeHeight) +
             "U servers is applied: the Wiring tab shows its cabling, and the fabric file was written for it.";
    if (used < known)
      status += " " + plural(known - used, "server stays", "servers stay") +
                " outside the fabric: the file lists the first " + plural(used, "server", "servers") + " of the " +
                std::to_string(known) + ".";
  }
  statusText_->setText(Util::stdText(status));
  statusText_->setStyleClass(failed ? "trl-status trl-error" : "trl-status");
}

std::string FabricTab::getGeometry() {
  if (!geometryTable_) throw TRL_ERROR("geometryTable_ is NULL");
  if (!geometryModel_) throw TRL_ERROR("geometryModel_ is NULL");
  const std::vector<web::ModelIndex> selected = geometryTable_->selectedIndexes();
  std::string text;
  if (!selected.empty())
    text = geometryModel_->item(selected.front().row(), 0)->text();
  else if (geometryModel_->rowCount() > 0)
    text = geometryModel_->item(0, 0)->text();
  generalConfigData_.geometryType = text;
  return text;
}

int FabricTab::getNodeHeight() {
  // "1U" -> 1: the first character is the height.
  const std::string choice = nodeHeightCombo_ ? nodeHeightCombo_->currentText() : std::string();
  const int height = !choice.empty() && choice[0] >= '1' && choice[0] <= '9' ? choice[0] - '0' : 1;
  generalConfigData_.nodeHeight = height;
  return height;
}
