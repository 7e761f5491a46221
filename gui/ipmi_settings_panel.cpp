#include "gui/ipmi_settings_panel.h"

#include "gui/settings_tab.h"
#include "gui/util.h"
#include "modules/error.h"
#include "modules/nodes.h"
#include "web/grid_layout.h"
#include "web/line_edit.h"
#include "web/push_button.h"
#include "web/text.h"
#include "web/text_format.h"

IPMISettingsPanel::IPMISettingsPanel(Model::SettingsData& data, SettingsTab& tab)
    : web::Panel("IPMI settings"), data_(data), tab_(tab) {
  web::GridLayout* grid = SettingsTab::formGrid(*this);
  userNameLabel_ = SettingsTab::formLabel(*grid, "<b>IPMI username</b>", 0);
  userNameEdit_ = grid->addWidget(std::make_unique<web::LineEdit>(), 0, 1, 1, 2, web::AlignMiddle);
  passwordLabel_ = SettingsTab::formLabel(*grid, "<b>IPMI password</b>", 1);
  passwordEdit_ = grid->addWidget(std::make_unique<web::LineEdit>(), 1, 1, web::AlignMiddle);
  passwordEdit_->setEchoMode(web::LineEdit::EchoMode::Password);
  changePasswordBtn_ = grid->addWidget(std::make_unique<web::PushButton>("Apply"), 1, 2, web::AlignMiddle);
  status_ = SettingsTab::formNote(*grid, 2, 3);
  for (web::LineEdit* edit : {userNameEdit_, passwordEdit_}) edit->setTextSize(16);
  changePasswordBtn_->clicked().connect(this, &IPMISettingsPanel::changeCredentials);
}

void IPMISettingsPanel::changeCredentials() {
  if (!data_.nodes) throw TRL_ERROR("nodes is NULL");
  data_.ipmiUserName = userNameEdit_->text();
  data_.ipmiPassword = passwordEdit_->text();
  // Applied once, never shown again: the edit goes back to the page empty.
  passwordEdit_->setText(std::string());
  if (!tab_.act(SettingsTab::Action::IpmiCredentials, data_.ipmiUserName,
                [this] { data_.nodes->updateIpmiCredentials(data_.ipmiUserName, data_.ipmiPassword); }))
    return;
  const std::string user = data_.ipmiUserName.empty() ? "each vendor's factory user name"
                                                      : "user name <b>" + web::escapeHtml(data_.ipmiUserName) + "</b>";
  const std::string password = data_.ipmiPassword.empty() ? "each vendor's factory password" : "the password given";
  status_->setText(Util::stdText("Every controller is now reached with " + user + " and " + password +
                                 ". The password is not shown again."));
}
