#include "gui/helpable_container.h"

#include "gui/help.h"

HelpableContainer::HelpableContainer(Trellium* manager) : manager_(manager) {
  setOverflow(web::Overflow::Auto, web::Vertical);
}

void HelpableContainer::setHelpMessage(const std::string& key) {
  if (help_) help_->setMessage(key);
}
