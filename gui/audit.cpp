#include "gui/audit.h"

#include "modules/error.h"
#include "web/application.h"
#include "web/message_box.h"

bool auditAction(trl::AuditAction action, const std::string& target) {
  web::Application* const session = web::Application::instance();
  trl::AuditEntry entry{std::string(), std::string(), action, target};
  if (session) {
    entry.user = session->environment().user();
    entry.address = session->environment().clientAddress();
  }
  try {
    trl::writeAuditLine(entry);
    return true;
  } catch (const std::exception& e) {
    TRL_WARN(std::string("audit log: ") + e.what());
    if (session)
      web::MessageBox::open("Not done", std::string("Nothing was changed: the audit log cannot be written (") +
                                            e.what() + "). Make room under /var/log, then try again.");
    return false;
  }
}
