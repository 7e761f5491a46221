// The user name and password with which Trellium reaches every management
// controller. The password is never shown: its edit echoes no characters,
// is never filled, and is emptied once applied. Used only inside its
// session, under the session's lock (not thread-safe).
#pragma once

#include "gui/model.h"
#include "web/panel.h"

class SettingsTab;
namespace web {
class LineEdit;
class PushButton;
class Text;
}  // namespace web

class IPMISettingsPanel : public web::Panel {
 public:
  IPMISettingsPanel(Model::SettingsData& data, SettingsTab& tab);

  // "Apply": both edits to the node registry, which reconnects every
  // controller with them (an empty value: the vendor's factory one).
  void changeCredentials();

  web::LineEdit* userNameEdit() const { return userNameEdit_; }
  web::LineEdit* passwordEdit() const { return passwordEdit_; }
  web::PushButton* applyButton() const { return changePasswordBtn_; }
  web::Text* statusText() const { return status_; }

 private:
  web::Text* userNameLabel_;
  web::Text* passwordLabel_;
  web::LineEdit* userNameEdit_;
  web::LineEdit* passwordEdit_;
  web::PushButton* changePasswordBtn_;
  web::Text* status_;
  Model::SettingsData& data_;
  SettingsTab& tab_;
};
