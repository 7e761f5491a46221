// The one call every action that changes the cluster or Trellium makes
// before it is carried out: a line of the audit log (modules/audit_log.h)
// naming the person signed in to the current session (the page whose event
// is being handled) and its client address. For example:
//   if (!auditAction(trl::AuditAction::PowerOff, nodeName)) return;
#pragma once

#include <string>

#include "modules/audit_log.h"

// False when the line cannot be written: the page is then told why in a
// message box, and the action must not be carried out (nobody could trace
// it). Outside any session the line names nobody.
bool auditAction(trl::AuditAction action, const std::string& target);
