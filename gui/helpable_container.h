// The base of every tab: a container with an optional help panel beside it
// and a refresh hook for back-end events.
#pragma once

#include <string>

#include "web/container.h"

class Help;
class Trellium;

class HelpableContainer : public web::Container {
 public:
  explicit HelpableContainer(Trellium* manager);
  virtual void setManager(Trellium* manager) { manager_ = manager; }
  // Refreshes the tab for an event code (a module's descriptor; 0 = everything).
  virtual void update(int fd) = 0;
  void setHelpMessage(const std::string& key);
  void setHelp(Help* help) { help_ = help; }
  Help* help() const { return help_; }

 protected:
  Help* help_ = nullptr;  // lives in the tab's layout, not owned here
  Trellium* manager_;
};
