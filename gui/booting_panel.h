// The Deployment tab's "Installing options" panel: one radio button per boot
// option, the option in force checked, and a line that says what is in force
// or what went wrong. Used only inside its session, under the session's lock
// (not thread-safe).
#pragma once

#include <string>

#include "gui/model.h"
#include "web/panel.h"
#include "web/radio_button.h"

class Deployment;
class DeploymentTab;
namespace web {
class Text;
}

class BootingPanel : public web::Panel {
 public:
  explicit BootingPanel(DeploymentTab* tab);

  // Rebuilds the buttons, checks the option in force and applies it again to
  // the servers now in the node table (select(-1)). A failure to write their
  // files is shown in the panel, not thrown: one tab's refresh must not end
  // the program.
  void setData(const Model::DeploymentData& data);
  // Checks the option in force (none when there is none) and says so; the
  // reason, when given, comes first (our own markup).
  void showInForce(const Deployment& deployment, const std::string& reason = {});
  // The same, after a failure: what failed and why.
  void showFailure(const Deployment& deployment, const std::string& what, const std::string& error);

  web::ButtonGroup& buttonGroup() { return buttonGroup_; }
  web::Text* statusText() const { return status_; }

 private:
  // Checks the button of the option in force; returns its index (-1: none).
  int checkInForce(const Deployment& deployment);

  web::ButtonGroup buttonGroup_;  // button id = option index
  web::Container* container_;
  web::Container* buttonContainer_ = nullptr;  // replaced by every setData
  web::Text* status_;
  DeploymentTab* tab_;
};
