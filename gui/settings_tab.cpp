#include "gui/settings_tab.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>

#include "gui/audit.h"
#include "gui/ipmi_settings_panel.h"
#include "gui/trellium.h"
#include "gui/upload_package_panel.h"
#include "gui/util.h"
#include "modules/error.h"
#include "modules/files.h"
#include "modules/nodes.h"
#include "modules/paths.h"
#include "web/anchor.h"
#include "web/check_box.h"
#include "web/date_format.h"
#include "web/file_resource.h"
#include "web/grid_layout.h"
#include "web/line_edit.h"
#include "web/message_box.h"
#include "web/push_button.h"
#include "web/text.h"
#include "web/text_format.h"

// --- the tab -----------------------------------------------------------------

SettingsTab::SettingsTab(Trellium* manager) : HelpableContainer(manager) {
  setMargin(12);
  auto* inner = addNew<web::Container>();
  inner->setMinimumSize(web::Length::Auto(), 600);
  autoNamingPanel_ = inner->addNew<AutoNamingPanel>(settingsData_, *this);
  ipmiSettingsPanel_ = inner->addNew<IPMISettingsPanel>(settingsData_, *this);
  uploadPackagePanel_ = inner->addNew<UploadPackagePanel>(settingsData_, *this);
  supportPanel_ = inner->addNew<SupportPanel>(manager, settingsData_, *this);
}

void SettingsTab::update(int) {
  TRL_LOG("[SettingsTab] Updating");
  if (!settingsData_.settings) throw TRL_ERROR("settings is NULL");
  autoNamingPanel_->update();
}

namespace {

trl::AuditAction auditActionOf(SettingsTab::Action action) {
  switch (action) {
    case SettingsTab::Action::AutoNaming: return trl::AuditAction::AutoNaming;
    case SettingsTab::Action::NamePrefix: return trl::AuditAction::NamePrefix;
    case SettingsTab::Action::IpmiCredentials: return trl::AuditAction::IpmiCredentials;
    case SettingsTab::Action::Upgrade: return trl::AuditAction::UpgradeAttempt;
    case SettingsTab::Action::StatusReport: return trl::AuditAction::ReportDownload;
  }
  throw TRL_ERROR("unknown settings action");
}

}  // namespace

bool SettingsTab::act(Action action, const std::string& target, const std::function<void()>& change) {
  TRL_LOG("[SettingsTab] " << actionText(action) << ": " << target);
  if (!auditAction(auditActionOf(action), target)) return false;
  if (action != Action::Upgrade) {
    change();
    return true;
  }
  // Whatever the package manager did is on the host now: its line is
  // written even when the log's disk has just filled (the page then says so).
  try {
    change();
  } catch (const std::exception& e) {
    auditAction(trl::AuditAction::UpgradeResult, target + ": failed: " + e.what());
    throw;
  }
  auditAction(trl::AuditAction::UpgradeResult, target + ": installed");
  return true;
}

void SettingsTab::frame(web::Panel& panel) {
  panel.setMargin(6, web::Side::Bottom);
  panel.setStyleClass("trl-settings-panel");
}

web::GridLayout* SettingsTab::formGrid(web::Panel& panel) {
  frame(panel);
  auto* grid = panel.setLayout(std::make_unique<web::GridLayout>());
  grid->setContentsMargins(8, 8, 8, 8);
  grid->setHorizontalSpacing(10);
  grid->setVerticalSpacing(6);
  return grid;
}

web::Text* SettingsTab::formLabel(web::GridLayout& grid, const char* markup, int row) {
  auto* label = grid.addWidget(std::make_unique<web::Text>(Util::stdText(markup), web::TextFormat::Markup), row, 0,
                               web::AlignMiddle);
  label->setMinimumSize(170, web::Length::Auto());  // the fields of all panels line up
  return label;
}

web::Text* SettingsTab::formNote(web::GridLayout& grid, int row, int columns) {
  auto* note = grid.addWidget(std::make_unique<web::Text>(std::string(), web::TextFormat::Markup), row, 0, 1, columns);
  note->setStyleClass("trl-note");
  grid.setColumnStretch(columns, 1);
  return note;
}

const char* SettingsTab::actionText(Action action) {
  switch (action) {
    case Action::AutoNaming: return "automatic naming";
    case Action::NamePrefix: return "name prefix";
    case Action::IpmiCredentials: return "IPMI credentials for user";
    case Action::Upgrade: return "upgrade from";
    case Action::StatusReport: return "status report";
  }
  return "";
}

// --- automatic naming ------------------------------------------------------

AutoNamingPanel::AutoNamingPanel(Model::SettingsData& data, SettingsTab& tab)
    : web::Panel("Automatic server naming settings"), data_(data), tab_(tab) {
  grid_ = SettingsTab::formGrid(*this);
  enabledLabel_ = SettingsTab::formLabel(*grid_, "<b>Automatic server naming</b>", 0);
  enabledChkBox_ = grid_->addWidget(std::make_unique<web::CheckBox>("enabled"), 0, 1, web::AlignMiddle);
  prefixLabel_ = SettingsTab::formLabel(*grid_, "<b>Server name prefix</b>", 1);
  prefixEdit_ = grid_->addWidget(std::make_unique<web::LineEdit>(), 1, 1, web::AlignMiddle);
  prefixEdit_->setTextSize(16);
  changePrefixBtn_ = grid_->addWidget(std::make_unique<web::PushButton>("Apply"), 1, 2, web::AlignMiddle);
  status_ = SettingsTab::formNote(*grid_, 2, 3);

  enabledChkBox_->checked().connect(this, &AutoNamingPanel::enableAutoNaming);
  enabledChkBox_->unChecked().connect(this, &AutoNamingPanel::disableAutoNaming);
  changePrefixBtn_->clicked().connect(this, &AutoNamingPanel::applyPrefix);
  prefixEdit_->enterPressed().connect(this, &AutoNamingPanel::applyPrefix);
}

void AutoNamingPanel::update() {
  if (!data_.nodes) throw TRL_ERROR("nodes is NULL");
  const bool enabled = data_.nodes->autoNamingEnabled();
  enabledChkBox_->setChecked(enabled);
  prefixEdit_->setText(data_.nodes->nodeNamePrefix());
  setEditable(enabled);
}

void AutoNamingPanel::setEditable(bool editable) {
  prefixEdit_->setDisabled(!editable);
  changePrefixBtn_->setDisabled(!editable);
}

void AutoNamingPanel::enableAutoNaming() {
  if (!data_.nodes) throw TRL_ERROR("nodes is NULL");
  if (!tab_.act(SettingsTab::Action::AutoNaming, "on", [this] { data_.nodes->enableAutoNaming(); })) {
    update();
    return;
  }
  setEditable(true);
  status_->setText(Util::stdText("New servers are named " + web::escapeHtml(data_.nodes->nodeNamePrefix()) +
                                 "1, " + web::escapeHtml(data_.nodes->nodeNamePrefix()) + "2, … as they join."));
}

void AutoNamingPanel::disableAutoNaming() {
  if (!data_.nodes) throw TRL_ERROR("nodes is NULL");
  if (!tab_.act(SettingsTab::Action::AutoNaming, "off", [this] { data_.nodes->disableAutoNaming(); })) {
    update();
    return;
  }
  setEditable(false);
  status_->setText(Util::stdText("New servers join without a name: name them in the Servers tab."));
}

std::string AutoNamingPanel::prefixProblem(const std::string& prefix) {
  // A number follows the prefix, and a host name has at most name_max - 1
  // characters.
  const std::size_t longest = Nodes::name_max - 3;  // room for three-digit numbers
  if (prefix.empty() || prefix.size() > longest || !Util::isValidHostName(prefix))
    return "A prefix is 1 to " + std::to_string(longest) +
           " letters, digits, \"-\" or \"_\": a server's host name is the prefix followed by its number.";
  return {};
}

void AutoNamingPanel::applyPrefix() {
  if (!data_.nodes) throw TRL_ERROR("nodes is NULL");
  const std::string prefix = prefixEdit_->text();
  const std::string old = data_.nodes->nodeNamePrefix();
  std::string problem = prefixProblem(prefix);
  if (problem.empty()) {
    try {
      if (!tab_.act(SettingsTab::Action::NamePrefix, prefix, [&] { data_.nodes->nodeNamePrefix(prefix); })) {
        prefixEdit_->setText(old);
        return;
      }
    } catch (const std::exception& e) {
      TRL_LOG("[AutoNamingPanel] " << e.what());
      problem = e.what();
    }
  }
  if (!problem.empty()) {
    web::MessageBox::open("Error", "The prefix " + prefix + " was not applied. " + problem);
    prefixEdit_->setText(old);
    return;
  }
  const std::string was = web::escapeHtml(old), now = web::escapeHtml(prefix);
  status_->setText(Util::stdText("Prefix <b>" + now + "</b> applied: servers named " + was +
                                 "&lt;number&gt; are now " + now + "&lt;number&gt;."));
}

// --- status report -----------------------------------------------------------

SupportPanel::SupportPanel(Trellium* manager, Model::SettingsData& data, SettingsTab& tab)
    : web::Panel("Server status report"), manager_(manager), data_(data), tab_(tab) {
  grid_ = SettingsTab::formGrid(*this);
  generateReportBtn_ = grid_->addWidget(std::make_unique<web::PushButton>("Generate report"), 0, 0,
                                        web::AlignMiddle);
  reportLink_ = grid_->addWidget(std::make_unique<web::Anchor>(std::string(), "TRL status report"), 0, 1,
                                 web::AlignMiddle);
  reportLink_->hide();
  generated_ = grid_->addWidget(std::make_unique<web::Text>(), 0, 2, web::AlignMiddle);
  grid_->setColumnStretch(3, 1);
  generateReportBtn_->clicked().connect(this, &SupportPanel::getReport);
}

SupportPanel::~SupportPanel() {
  if (!path_.empty()) ::unlink(path_.c_str());
}

void SupportPanel::getReport() {
  std::string when;
  try {
    if (!tab_.act(SettingsTab::Action::StatusReport, "status report", [&] { when = writeReport(); })) return;
  } catch (const std::exception& e) {
    TRL_LOG("[SupportPanel] " << e.what());
    web::MessageBox::open("Error", "The status report could not be written: " + std::string(e.what()) +
                                       ". Make room on the file system of /var/lib/trellium, then try again.");
    return;
  }
  if (!reportFile_) {
    // Made here, inside the session, so that its link is this session's.
    reportFile_ = std::make_unique<web::FileResource>(path_, "text/plain; charset=utf-8");
    reportFile_->suggestFileName("report.txt");
    reportLink_->setResource(reportFile_.get());
  }
  reportLink_->show();
  generated_->setText("generated " + when);
}

std::string SupportPanel::writeReport() {
  if (!manager_) throw TRL_ERROR("manager_ is NULL");
  if (path_.empty()) {
    // One file per session, named exclusively in the private directory: no
    // other user can plant a link there, and no session replaces another's.
    std::string name = trl::privateDir() + "/report-XXXXXX";
    const int fd = ::mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) throw TRL_SYSERROR("constructing output stream on " + name + " failed");
    ::close(fd);
    path_ = name;
  }
  const std::string when =
      web::formatTime(std::chrono::system_clock::now(), "ddd MMM d HH:mm:ss yyyy", web::TimeZone::Utc) + " UTC";
  trl::replaceFile(path_, "Trellium status report\nGenerated at " + when + "\n\n" + manager_->getStatusReport());
  return when;
}
