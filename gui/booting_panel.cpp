#include "gui/booting_panel.h"

#include "gui/deployment_tab.h"
#include "gui/util.h"
#include "modules/deployment.h"
#include "modules/error.h"
#include "web/box_layout.h"
#include "web/text.h"
#include "web/text_format.h"

BootingPanel::BootingPanel(DeploymentTab* tab) : web::Panel("Installing options"), tab_(tab) {
  setStyleClass("trl-booting");
  container_ = addNew<web::Container>();
  container_->setPadding(8);
  status_ = container_->addNew<web::Text>(std::string(), web::TextFormat::Markup);
  status_->setStyleClass("trl-status");
  // The group outlives every set of buttons, so a person's choice is
  // handled once, however often the buttons were rebuilt.
  buttonGroup_.checkedChanged().connect([this](web::RadioButton*) { tab_->changeBootOption(); });
}

void BootingPanel::setData(const Model::DeploymentData& data) {
  TRL_LOG("[BootingPanel] Setting data");
  if (!data.deployment) throw TRL_ERROR("deployment is NULL");
  Deployment& deployment = *data.deployment;

  // The old buttons leave the group now; their widgets go after this event.
  for (web::RadioButton* button : buttonGroup_.buttons()) buttonGroup_.removeButton(button);
  if (buttonContainer_) web::dispose(container_->removeWidget(buttonContainer_));
  buttonContainer_ = container_->insertWidget(0, std::make_unique<web::Container>());
  auto* column = buttonContainer_->setLayout(std::make_unique<web::VBoxLayout>());
  column->setSpacing(4);
  for (std::size_t k = 0; k < deployment.descriptions.size(); ++k) {
    const std::string& description = deployment.descriptions[k];
    TRL_LOG("[Deployment] Adding choice = " << description);
    // The texts come from the TFTP tree: shown as they are, never as markup.
    auto* button = column->addWidget(
        std::make_unique<web::RadioButton>(Util::plainText(description), web::TextFormat::Markup));
    buttonGroup_.addButton(button, static_cast<int>(k));
  }

  TRL_LOG("current setting is " << deployment.current());
  try {
    deployment.select(-1);
  } catch (const std::exception& e) {
    TRL_LOG("[BootingPanel] " << e.what());
    showFailure(deployment, "The boot files could not be brought up to date", e.what());
    return;
  }
  showInForce(deployment);
}

void BootingPanel::showInForce(const Deployment& deployment, const std::string& reason) {
  std::string text = reason.empty() ? "" : reason + "<br/>";
  if (checkInForce(deployment) < 0)
    text += "<b>No option is in force:</b> the servers have no boot file. Choose an option.";
  else
    text += "<b>In force:</b> " + web::escapeHtml(deployment.currentDesc()) +
            ". Every server in the node table boots it, and servers that join later get it too.";
  status_->setText(Util::stdText(text));
  status_->setStyleClass("trl-status");
}

void BootingPanel::showFailure(const Deployment& deployment, const std::string& what, const std::string& error) {
  checkInForce(deployment);
  status_->setText(Util::stdText("<b>" + web::escapeHtml(what) + ":</b> " + web::escapeHtml(error) +
                                 ". Check that the TFTP tree (/var/lib/tftpboot/trellium) can be written, "
                                 "then choose the option again."));
  status_->setStyleClass("trl-status trl-error");
}

int BootingPanel::checkInForce(const Deployment& deployment) {
  const int current = deployment.current();
  buttonGroup_.setCheckedButton(buttonGroup_.button(current));
  return current;
}
