// A tab whose content is still to come: it holds its place, its title and
// its help, and shows one line about the cluster that follows every event.
#pragma once

#include <functional>
#include <string>

#include "gui/helpable_container.h"

namespace web {
class Text;
}

class EmptyTab : public HelpableContainer {
 public:
  explicit EmptyTab(Trellium* manager);
  // The line to show; asked again at every refresh.
  void setSummary(std::function<std::string()> summary);
  void update(int fd) override;

 private:
  web::Text* line_;
  std::function<std::string()> summary_;
};
