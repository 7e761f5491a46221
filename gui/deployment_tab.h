// The Deployment tab: the operating system every server boots over the
// network, chosen among the options found in the TFTP tree. Every refresh
// applies the option in force again, which gives servers that joined their
// boot file and takes it from those that left. Used only inside its session,
// under the session's lock (not thread-safe).
#pragma once

#include "gui/helpable_container.h"
#include "gui/model.h"

class BootingPanel;

class DeploymentTab : public HelpableContainer {
 public:
  explicit DeploymentTab(Trellium* manager);

  // Rebuilds the options and applies the one in force again (0: everything).
  void update(int event) override;
  // Applies the option the person checked. The one place where the boot
  // option of the servers is changed from a page.
  void changeBootOption();

  Model::DeploymentData& deploymentData() { return deploymentData_; }
  BootingPanel* bootingPanel() const { return bootingPanel_; }

 private:
  web::Container* container_;
  BootingPanel* bootingPanel_;
  Model::DeploymentData deploymentData_;
};
