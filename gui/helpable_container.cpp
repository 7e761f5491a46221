#include "helpable_container.h"

#include "help.h"

HelpableContainer::HelpableContainer(Trellium* manager) : manager_(manager) {
  setOverflow(web::Overflow::Auto, web::Vertical);
}

void HelpableContainer::setHelpMessage(const std::string& key) {
  if (help_) help_->setMessage(key);
}
