#include "gui/wiring.h"

#include <algorithm>

#include "gui/svg_widget.h"
#include "gui/util.h"
#include "gui/wiring_picture.h"
#include "modules/error.h"
#include "modules/geometry.h"
#include "web/standard_item_model.h"
#include "web/table_view.h"
#include "web/text.h"
#include "web/text_format.h"

namespace {

constexpr int column_width = 52;
constexpr int table_height = 400;

// Messages carry their source position for the log; the person needs only
// the words after it.
std::string withoutPosition(const std::string& message) {
  const std::size_t end = message.rfind("] ", message.find(' '));
  return !message.empty() && message[0] == '[' && end != std::string::npos ? message.substr(end + 2) : message;
}

std::string escaped(const std::string& text) { return web::escapeHtml(text); }

web::Text* addMarkup(web::Container* parent, const std::string& markup, const std::string& styleClass) {
  web::Text* text = parent->addNew<web::Text>(Util::stdText(markup), web::TextFormat::Markup);
  text->setStyleClass(styleClass);
  return text;
}

}  // namespace

Wiring::Wiring(Trellium* manager) : HelpableContainer(manager) {
  setMargin(12);
  container_ = addNew<web::Container>();
  // The shell builds the tab before it knows the cluster; the first refresh
  // replaces this.
  addMarkup(container_, "No geometry is selected yet.", "trl-note");
  addWiringTable(container_);
}

void Wiring::addWiringTable(web::Container* parent) {
  TRL_LOG("[Wiring] Adding wiring table");
  if (!parent) throw TRL_ERROR("parent is NULL");
  if (!model_) model_ = std::make_shared<web::StandardItemModel>();
  wiringTable_ = parent->addNew<web::TableView>();
  wiringTable_->setModel(model_);
  wiringTable_->resize(web::Length::Auto(), table_height);
  wiringTable_->setAlternatingRowColors(true);
  wiringTable_->setSelectionMode(web::SelectionMode::Single);
  wiringTable_->setSelectionBehavior(web::SelectionBehavior::Rows);
  wiringTable_->setEditTriggers(web::NoEditTrigger);
  for (int c = 0; c < model_->columnCount(); ++c) wiringTable_->setColumnWidth(c, column_width);
  // An empty list has nothing to show in a table.
  wiringTable_->setHidden(model_->columnCount() == 0);
}

void Wiring::update(int) {
  TRL_LOG("[Wiring] Updating");
  Geometry* const geometry = wiringTableData_.geometry;
  if (!geometry) throw TRL_ERROR("geometry is NULL");
  container_->clear();
  wiringTable_ = nullptr;
  model_.reset();
  error_.clear();

  const Model::WiringTableData& data = wiringTableData_;
  if (data.noOfNodes == 0 || data.geometryType.empty()) {
    TRL_LOG("[Wiring] No. of nodes = " << data.noOfNodes);
    TRL_LOG("[Wiring] Geometry type = " << data.geometryType);
    addMarkup(container_,
              data.noOfNodes < 2 ? "<b>Nothing to cable yet.</b> A fabric needs at least two servers; they appear "
                                   "here once they lease addresses from the DHCP server."
                                 : "<b>No geometry is selected.</b> Choose one on the Fabric geometry tab.",
              "trl-note");
    addWiringTable(container_);
    return;
  }
  if (!nodeTableData_.nodes) throw TRL_ERROR("nodes is NULL");

  // One lock over building, writing and copying, so that another window's
  // build cannot slip in between and the file matches the list shown.
  std::vector<Geometry::Row> rows;
  {
    const Geometry::Lock guard = geometry->lock();
    try {
      geometry->configurations(static_cast<unsigned>(std::max(data.noOfNodes, 0)));
      geometry->build(static_cast<unsigned>(std::max(data.nodeHeight, 0)), data.geometryType);
    } catch (const std::exception& e) {
      showError("The cabling list for " + data.geometryType + " could not be built",
                "The fabric file was left as it was. Choose another geometry on the Fabric geometry tab.", e);
      return;
    }
    try {
      geometry->buildFabric(*nodeTableData_.nodes);
    } catch (const std::exception& e) {
      showError("The fabric file could not be written",
                "It was left as it was, so the fabric adapters still read the previous geometry. Check that the "
                "directory of " + std::string(Geometry::fabric_json) +
                    " exists and can be written, then choose the geometry again on the Fabric geometry tab.",
                e);
      return;
    }
    rows.assign(geometry->wiring_begin(), geometry->wiring_end());
  }

  const int cables = static_cast<int>(rows.size()) - 1;
  const int dimensions = static_cast<int>(rows.front().size() - 1) / 3;
  addMarkup(container_,
            "Geometry <b>" + escaped(data.geometryType) + "</b> with " + std::to_string(data.nodeHeight) +
                "U servers: " + std::to_string(cables * dimensions) + " cables, " + std::to_string(cables) +
                " in each ring dimension. The fabric file was written for it.",
            "trl-note");
  try {
    const std::string svg = wiringPicture(rows);
    auto* picture = container_->addNew<SvgWidget>();
    picture->setSvgText(svg);
    picture->setText("Hover a cable or a port for its labels; the list below gives every cable by number.");
  } catch (const std::exception& e) {
    TRL_LOG("[Wiring] " << e.what());
    addMarkup(container_, "The picture could not be drawn: " + escaped(withoutPosition(e.what())) +
                              ". The list below is complete.", "trl-error");
  }

  model_ = std::make_shared<web::StandardItemModel>(0, static_cast<int>(rows.front().size()));
  for (std::size_t c = 0; c < rows.front().size(); ++c)
    model_->setHeaderData(static_cast<int>(c), rows.front()[c]);
  for (std::size_t r = 1; r < rows.size(); ++r) {
    std::vector<std::unique_ptr<web::StandardItem>> items;
    for (const std::string& cell : rows[r]) items.push_back(std::make_unique<web::StandardItem>(cell));
    model_->appendRow(std::move(items));
  }
  addWiringTable(container_);
}

void Wiring::showError(const std::string& what, const std::string& advice, const std::exception& e) {
  const std::string detail = withoutPosition(e.what());
  TRL_LOG("[Wiring] " << what << ": " << e.what());
  error_ = what + ": " + detail + ". " + advice;
  addMarkup(container_, "<b>" + escaped(what) + "</b><br/>" + escaped(detail) + "<br/>" + escaped(advice),
            "trl-error");
}
