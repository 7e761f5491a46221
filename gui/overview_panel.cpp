#include "gui/overview_panel.h"

#include "gui/util.h"
#include "modules/error.h"
#include "web/grid_layout.h"
#include "web/progress_bar.h"
#include "web/text.h"

namespace {
// Our own markup in the interface's font.
std::unique_ptr<web::Text> styled(const std::string& markup) {
  return std::make_unique<web::Text>(Util::stdText(markup), web::TextFormat::Markup);
}
}  // namespace

OverviewPanel::OverviewPanel() : web::Panel("General information") {
  setStyleClass("trl-overview");
  setMargin(6);
  auto* grid = setLayout(std::make_unique<web::GridLayout>());
  grid->setContentsMargins(6, 6, 6, 6);
  grid->setHorizontalSpacing(12);
  noOfNodesLabel_ = addLabel("<b>Total servers</b>");
  noOfNodes_ = grid->addWidget(styled("0"), 0, 1, web::AlignMiddle);
  noOfNodes_->setStyleClass("trl-total");
  noOfUpNodesLabel_ = addLabel("<b>Online servers</b>");
  noOfUpNodes_ = grid->addWidget(styled("0"), 1, 1, web::AlignMiddle);
  noOfUpNodes_->setStyleClass("trl-online");
  noOfUpNodesProgressBar_ = grid->addWidget(std::make_unique<web::ProgressBar>(), 1, 2, web::AlignMiddle);
  noOfUpNodesProgressBar_->setRange(0, 100);
  noOfUpNodesProgressBar_->setValue(0);
  grid->setColumnStretch(2, 1);
}

web::Text* OverviewPanel::addLabel(const char* markup) {
  auto* grid = static_cast<web::GridLayout*>(layout());
  return grid->addWidget(styled(markup), lineCount_++, 0, web::AlignMiddle);
}

int OverviewPanel::onlinePercent(int noOfNodes, int noOfUpNodes) {
  return noOfNodes > 0 ? 100 * noOfUpNodes / noOfNodes : 0;
}

void OverviewPanel::setData(const Model::OverviewData& data) {
  if (!noOfNodes_) throw TRL_ERROR("noOfNodes_ is NULL");
  if (!noOfUpNodes_) throw TRL_ERROR("noOfUpNodes_ is NULL");
  noOfNodes_->setText(Util::stdText(std::to_string(data.noOfNodes)));
  noOfUpNodes_->setText(Util::stdText(std::to_string(data.noOfUpNodes)));
  noOfUpNodesProgressBar_->setValue(onlinePercent(data.noOfNodes, data.noOfUpNodes));
}

void OverviewPanel::setData(const Model::SettingsData& data) {
  if (!data.settings) throw TRL_ERROR("settings is NULL");
}

std::string OverviewPanel::totalText() const { return noOfNodes_->text(); }
std::string OverviewPanel::onlineText() const { return noOfUpNodes_->text(); }
double OverviewPanel::barValue() const { return noOfUpNodesProgressBar_->value(); }
