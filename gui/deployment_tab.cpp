#include "gui/deployment_tab.h"

#include "gui/audit.h"
#include "gui/booting_panel.h"
#include "modules/deployment.h"
#include "modules/error.h"
#include "web/text_format.h"

DeploymentTab::DeploymentTab(Trellium* manager) : HelpableContainer(manager) {
  setMargin(12);
  container_ = addNew<web::Container>();
  bootingPanel_ = container_->addNew<BootingPanel>(this);
}

void DeploymentTab::update(int) {
  TRL_LOG("[Deployment] Updating");
  bootingPanel_->setData(deploymentData_);
}

void DeploymentTab::changeBootOption() {
  if (!deploymentData_.deployment) throw TRL_ERROR("deployment is NULL");
  Deployment& deployment = *deploymentData_.deployment;
  const int id = bootingPanel_->buttonGroup().checkedId();
  TRL_LOG("[DeploymentTab] Changing boot option to id " << id);
  const bool known = id >= 0 && static_cast<std::size_t>(id) < deployment.descriptions.size();
  if (!auditAction(trl::AuditAction::BootOption,
                   known ? deployment.descriptions[static_cast<std::size_t>(id)] : "none")) {
    bootingPanel_->showInForce(deployment, "<b>Nothing changed:</b> the audit log cannot be written.");
    return;
  }
  try {
    deployment.select(id);
  } catch (const std::exception& e) {
    TRL_LOG("[DeploymentTab] " << e.what());
    bootingPanel_->showFailure(deployment, "The boot option could not be applied", e.what());
    return;
  }
  // An empty node table takes no option: the one in force stays, and the
  // page says so instead of showing a choice that did not happen.
  if (id >= 0 && deployment.current() != id)
    bootingPanel_->showInForce(deployment,
                               "<b>Nothing changed:</b> no servers are known yet, so " +
                                   web::escapeHtml(deployment.descriptions[static_cast<std::size_t>(id)]) +
                                   " was not applied. Choose it again once servers have joined.");
  else
    bootingPanel_->showInForce(deployment);
}
