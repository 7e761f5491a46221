// The Dashboard's group power commands: power on, power off, shut down or
// reset every server, one per second with a progress dialog and Cancel
// (staggering power-on spares the power supply), or, with "One server a
// second" unticked, to every server at once.
// Used only by its browser session, under the session's lock.
#pragma once

#include <string>

#include "gui/model.h"
#include "modules/nodes.h"
#include "web/panel.h"

namespace web {
class CheckBox;
class ProgressDialog;
class PushButton;
}  // namespace web

// The progress callback of a group command: called before each node, it
// counts, shows "msg" and the count, lets the page see it, waits a second
// and says whether to go on (false once Cancel was pressed).
struct powerProgressCB {
  int i = 0;
  web::ProgressDialog* dialog = nullptr;
  std::string msg;
  bool operator()();
};

class PowerControlPanel : public web::Panel {
 public:
  PowerControlPanel();
  void setData(const Model::OverviewData& data) { nodes_ = data.nodes; }

  // "Power off failed for node3, node7: connection error (...)", one line per
  // error text, in the order the nodes failed.
  static std::string failureText(const std::string& action, const Nodes::PowerFailures& failures);

  web::PushButton* powerUpButton() const { return powerUpBtn_; }
  web::PushButton* powerDownButton() const { return powerDownBtn_; }
  web::PushButton* shutdownButton() const { return shutdownBtn_; }
  web::PushButton* resetButton() const { return resetBtn_; }
  web::CheckBox* pacedCheckBox() const { return pacedChkBox_; }

 private:
  struct Command;
  void powerUp();
  void powerDown();
  void powerShutdown();
  void powerReset();
  void run(const Command& command);
  void showOutcome(const std::string& action, const Nodes::PowerFailures& failures, const std::string& done);

  web::PushButton* powerUpBtn_;
  web::PushButton* powerDownBtn_;
  web::PushButton* shutdownBtn_;
  web::PushButton* resetBtn_;
  web::CheckBox* pacedChkBox_;
  Nodes* nodes_ = nullptr;
};
