// What the tab tests share: the process's registry set to given records, the
// message box a page shows, and the audit log's actions or its absence.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "gui/modules.h"
#include "modules/audit_log.h"
#include "tests/support/scratch.h"
#include "tests/web/support/test_page.h"
#include "web/message_box.h"

namespace trl::test {

inline Nodes& nodes() { return *Modules::getInstance()->nodes; }

// The shared registry holds exactly these records, unsaved.
inline void setTable(const std::vector<Nodes::Node>& records) {
  const Nodes::ExclusiveAccess table(nodes());
  Store<Nodes::Node>& store = NodesTestAccess::store(nodes());
  store.clear();
  for (const Nodes::Node& node : records) store.push_back(node);
}

inline std::vector<Nodes::Node> table() {
  const Nodes::SharedAccess access(nodes());
  return std::vector<Nodes::Node>(access.begin(), access.end());
}

// A named server without an address: nothing is looked up or probed.
inline Nodes::Node namedServer(const std::string& name, macaddr mac) {
  Nodes::Node::Interface host(mac, 0);
  host.name(name);
  return Nodes::Node(host);
}

// The message box the page shows, waited for and answered with button;
// "Title: text", or "(no message box)".
inline std::string answerBox(web::test::TestPage& page, web::StandardButton button = web::Ok) {
  web::MessageBox* box = nullptr;
  std::string text;
  const bool shown = eventually([&] {
    page.runAndWait([&] {
      page.app().dialogs().visitRenderedChildren([&](web::Widget& w) {
        if (auto* b = dynamic_cast<web::MessageBox*>(&w)) box = b;
      });
      if (box) text = box->windowTitle() + ": " + box->text();
    });
    return box != nullptr;
  });
  if (!shown) return "(no message box)";
  page.event(*box->button(button), "click");
  page.runAndWait([] {});
  return text;
}

// The audit log's last lines, without their time, user and address.
inline std::vector<std::string> auditedActions() {
  std::vector<std::string> actions;
  for (const std::string& line : auditTail(100)) {
    std::size_t at = 0;
    for (int field = 0; field < 3 && at != std::string::npos; ++field) at = line.find('\t', at + 1);
    actions.push_back(at == std::string::npos ? line : line.substr(at + 1));
  }
  return actions;
}

// While it lives the audit log cannot be opened: a directory holds its place.
class AuditLogBlocked {
 public:
  AuditLogBlocked() {
    std::filesystem::rename(log_, log_ + ".kept");
    std::filesystem::create_directory(log_);
  }
  ~AuditLogBlocked() {
    std::filesystem::remove(log_);
    std::filesystem::rename(log_ + ".kept", log_);
  }
  AuditLogBlocked(const AuditLogBlocked&) = delete;
  AuditLogBlocked& operator=(const AuditLogBlocked&) = delete;

 private:
  const std::string log_ = auditLogPath();
};

}  // namespace trl::test
