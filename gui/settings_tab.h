// The Settings tab: automatic naming of new servers, the IPMI credentials of
// every controller, the upload of a new Trellium package and the status
// report for support. Its values live in the node registry; the tab only
// shows and changes them. Used only inside its session, under the session's
// lock (not thread-safe).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "gui/helpable_container.h"
#include "gui/model.h"
#include "web/panel.h"

class IPMISettingsPanel;
class UploadPackagePanel;
class AutoNamingPanel;
class SupportPanel;
namespace web {
class Anchor;
class CheckBox;
class FileResource;
class GridLayout;
class LineEdit;
class PushButton;
class Text;
}  // namespace web

class SettingsTab : public HelpableContainer {
 public:
  // What the tab's actions change.
  enum class Action { AutoNaming, NamePrefix, IpmiCredentials, Upgrade, StatusReport };

  explicit SettingsTab(Trellium* manager);

  // Shows the naming state kept in the node registry (0: everything).
  void update(int fd) override;
  // The one place where every action of this tab happens: it logs what is
  // done and to what (a prefix, a user name, a package; never a password),
  // writes its audit line, then does it; an upgrade's result gets a line of
  // its own. False, with nothing done, when the audit line cannot be
  // written (the page has been told why); what change throws goes through.
  bool act(Action action, const std::string& target, const std::function<void()>& change);
  static const char* actionText(Action action);

  // The look every panel of the tab shares: a titled box a little above the
  // next one; a form grid in it, with the labels in column 0 and a note
  // under the fields.
  static void frame(web::Panel& panel);
  static web::GridLayout* formGrid(web::Panel& panel);
  static web::Text* formLabel(web::GridLayout& grid, const char* markup, int row);
  static web::Text* formNote(web::GridLayout& grid, int row, int columns);

  Model::SettingsData& settingsData() { return settingsData_; }
  IPMISettingsPanel* ipmiSettingsPanel() const { return ipmiSettingsPanel_; }
  UploadPackagePanel* uploadPackagePanel() const { return uploadPackagePanel_; }
  AutoNamingPanel* autoNamingPanel() const { return autoNamingPanel_; }
  SupportPanel* supportPanel() const { return supportPanel_; }

 private:
  IPMISettingsPanel* ipmiSettingsPanel_;
  UploadPackagePanel* uploadPackagePanel_;
  AutoNamingPanel* autoNamingPanel_;
  SupportPanel* supportPanel_;
  Model::SettingsData settingsData_;
};

// Whether new servers are named automatically, and the prefix of their names.
class AutoNamingPanel : public web::Panel {
 public:
  AutoNamingPanel(Model::SettingsData& data, SettingsTab& tab);

  // The check box, the prefix and what can be edited follow the registry.
  void update();
  void enableAutoNaming();
  void disableAutoNaming();
  // Hands the typed prefix to the registry, which renames the servers whose
  // names are the old prefix and a number.
  void applyPrefix();
  // Why a prefix cannot make host names; empty when it can.
  static std::string prefixProblem(const std::string& prefix);

  web::CheckBox* checkBox() const { return enabledChkBox_; }
  web::LineEdit* prefixEdit() const { return prefixEdit_; }
  web::PushButton* applyButton() const { return changePrefixBtn_; }
  web::Text* statusText() const { return status_; }

 private:
  void setEditable(bool editable);

  web::Text* enabledLabel_;
  web::Text* prefixLabel_;
  web::CheckBox* enabledChkBox_;
  web::LineEdit* prefixEdit_;
  web::PushButton* changePrefixBtn_;
  web::GridLayout* grid_;
  web::Text* status_;
  Model::SettingsData& data_;
  SettingsTab& tab_;
};

// "Generate report" writes this session's status report; the link
// downloads it. The file lives in Trellium's private directory and goes
// with the session.
class SupportPanel : public web::Panel {
 public:
  SupportPanel(Trellium* manager, Model::SettingsData& data, SettingsTab& tab);
  ~SupportPanel() override;

  void getReport();
  // This session's report file; empty before the first report.
  const std::string& reportPath() const { return path_; }

  web::PushButton* generateButton() const { return generateReportBtn_; }
  web::Anchor* reportLink() const { return reportLink_; }

 private:
  std::string writeReport();

  std::unique_ptr<web::FileResource> reportFile_;  // made by the first report, inside the session
  web::PushButton* generateReportBtn_;
  web::GridLayout* grid_;
  web::Anchor* reportLink_;
  web::Text* generated_;
  Trellium* manager_;
  Model::SettingsData& data_;
  SettingsTab& tab_;
  std::string path_;
};
