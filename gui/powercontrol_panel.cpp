#include "gui/powercontrol_panel.h"

#include <boost/ref.hpp>
#include <chrono>

#include "gui/audit.h"
#include "modules/error.h"
#include "web/application.h"
#include "web/box_layout.h"
#include "web/check_box.h"
#include "web/message_box.h"
#include "web/progress_dialog.h"
#include "web/push_button.h"
#include "web/text_format.h"

struct PowerControlPanel::Command {
  const char* action;  // the button, as the failure box names it
  const char* logLine;
  const char* dialogText;
  const char* perNodeText;
  Nodes::PowerFailures (Nodes::*send)(boost::function<bool()>);
  trl::AuditAction audit;
};

bool powerProgressCB::operator()() {
  ++i;
  dialog->setValue(i);
  dialog->setLabelText(msg + std::to_string(i));
  if (web::Application* app = web::Application::instance()) {
    app->processEvents();
    // The pace gives the person time to cancel; the page stays live meanwhile.
    app->sleepFor(std::chrono::seconds(1));
  }
  return !dialog->wasCanceled();
}

PowerControlPanel::PowerControlPanel() : web::Panel("Power control") {
  setStyleClass("trl-power-control");
  setMargin(6);
  auto* row = setLayout(std::make_unique<web::HBoxLayout>());
  row->setContentsMargins(6, 6, 6, 6);
  powerUpBtn_ = row->addWidget(std::make_unique<web::PushButton>("Power on"));
  powerDownBtn_ = row->addWidget(std::make_unique<web::PushButton>("Power off"));
  shutdownBtn_ = row->addWidget(std::make_unique<web::PushButton>("Shutdown"));
  resetBtn_ = row->addWidget(std::make_unique<web::PushButton>("Reset"));
  pacedChkBox_ = row->addWidget(std::make_unique<web::CheckBox>("One server a second"));
  pacedChkBox_->setChecked(true);
  pacedChkBox_->setToolTip("Ticked: servers are sent the command one a second, with a chance to cancel "
                           "(spares the power supply at power-on). Unticked: every server at once.");
  powerUpBtn_->clicked().connect(this, &PowerControlPanel::powerUp);
  powerDownBtn_->clicked().connect(this, &PowerControlPanel::powerDown);
  shutdownBtn_->clicked().connect(this, &PowerControlPanel::powerShutdown);
  resetBtn_->clicked().connect(this, &PowerControlPanel::powerReset);
}

void PowerControlPanel::powerUp() {
  run({"Power on", "[PowerControlPanel] Powering Up", "Powering up nodes", "Powering up node ", &Nodes::powerOn,
       trl::AuditAction::PowerOn});
}

void PowerControlPanel::powerDown() {
  run({"Power off", "[PowerControlPanel] Powering Down", "Powering down nodes", "Powering down node ",
       &Nodes::powerOff, trl::AuditAction::PowerOff});
}

void PowerControlPanel::powerShutdown() {
  run({"Shutdown", "[PowerControlPanel] Shutting Down", "Shutting down nodes", "Shutting down node ",
       &Nodes::powerShutdown, trl::AuditAction::PowerShutdown});
}

// "Resetting node3": this text has no blank before the number.
void PowerControlPanel::powerReset() {
  run({"Reset", "[PowerControlPanel] Resetting", "Resetting nodes", "Resetting node", &Nodes::powerReset,
       trl::AuditAction::PowerReset});
}

void PowerControlPanel::run(const Command& command) {
  if (!nodes_) throw TRL_ERROR("nodes is NULL");
  TRL_LOG(command.logLine);
  long count;
  {
    const Nodes::SharedAccess table(*nodes_);
    count = table.end() - table.begin();
  }
  if (!auditAction(command.audit, "all servers (" + std::to_string(count) + ")")) return;
  if (!pacedChkBox_->isChecked()) {
    const Nodes::PowerFailures failures = (nodes_->*command.send)({});
    showOutcome(command.action, failures, std::string(command.action) + ": the command was sent to every server.");
    return;
  }
  web::ProgressDialog dialog(command.dialogText, "Cancel", 0, static_cast<double>(count));
  dialog.setWindowTitle("Power control");
  dialog.show();
  powerProgressCB progress;
  progress.dialog = &dialog;
  progress.msg = command.perNodeText;
  const Nodes::PowerFailures failures = (nodes_->*command.send)(boost::ref(progress));
  dialog.hide();
  showOutcome(command.action, failures, "");
}

// Failures in one box, one line per error text; success in its own words
// (nothing when done is empty: the progress dialog has said it).
void PowerControlPanel::showOutcome(const std::string& action, const Nodes::PowerFailures& failures,
                                    const std::string& done) {
  if (failures.empty()) {
    if (!done.empty()) web::MessageBox::open("Power control", done);
    return;
  }
  std::string markup = web::escapeHtml(failureText(action, failures));
  for (size_t at = markup.find('\n'); at != std::string::npos; at = markup.find('\n', at)) markup.replace(at, 1, "<br/>");
  if (web::MessageBox* box = web::MessageBox::open("Power control", ""))
    box->setText(markup, web::TextFormat::Markup);
}

std::string PowerControlPanel::failureText(const std::string& action, const Nodes::PowerFailures& failures) {
  // Nodes that failed alike share a line.
  std::vector<std::pair<std::string, std::string>> lines;  // error, names
  for (const Nodes::PowerFailure& failure : failures) {
    auto line = lines.begin();
    while (line != lines.end() && line->first != failure.error) ++line;
    if (line == lines.end())
      lines.emplace_back(failure.error, failure.node);
    else
      line->second += ", " + failure.node;
  }
  std::string text;
  for (const auto& [error, names] : lines)
    text += (text.empty() ? "" : "\n") + action + " failed for " + names + ": " + error;
  return text;
}
