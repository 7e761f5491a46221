#include "gui/empty_tab.h"

#include "gui/util.h"
#include "web/text.h"

EmptyTab::EmptyTab(Trellium* manager) : HelpableContainer(manager) {
  line_ = addNew<web::Text>(std::string(), web::TextFormat::Markup);
  line_->setStyleClass("trl-summary");
  setMargin(12);
}

void EmptyTab::setSummary(std::function<std::string()> summary) {
  summary_ = std::move(summary);
  update(0);
}

void EmptyTab::update(int) {
  if (summary_) line_->setText(Util::plainText(summary_()));
}
