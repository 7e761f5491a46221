// The audit log: who changed the cluster or Trellium, from where, and how.
// One line per action, appended to /var/log/trellium/audit.log under the
// system root:
//   2025-01-31T14:05:09+0100<TAB>alice<TAB>10.0.0.7<TAB>power off<TAB>node3
// time (local, with its offset), user, client address, action, target.
// Every field is one line of printable text: a tab, a line break or any
// other control character from outside is written as \t, \n or \xNN, and
// a backslash as \\, so a host name cannot forge a line. Each line goes out
// in one write on a descriptor opened for appending and is fsynced before
// the call returns. Thread-safe: lines from several threads never mix.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace trl {

// The actions worth a line. Texts in auditActionText; the tabs name the
// target (a server, "all servers", a file, a geometry ...).
enum class AuditAction {
  SignIn,
  SignInFailed,
  SignOut,
  PowerOn,
  PowerOff,
  PowerShutdown,
  PowerReset,
  TableEdit,
  TableDelete,
  TableClear,
  BootOption,
  AutoNaming,
  NamePrefix,
  IpmiCredentials,  // the target is the user name; never the password
  UpgradeAttempt,
  UpgradeResult,
  ReportDownload,
  FabricGeometry,
};
inline constexpr AuditAction allAuditActions[] = {
    AuditAction::SignIn,        AuditAction::SignInFailed,  AuditAction::SignOut,        AuditAction::PowerOn,
    AuditAction::PowerOff,      AuditAction::PowerShutdown, AuditAction::PowerReset,     AuditAction::TableEdit,
    AuditAction::TableDelete,   AuditAction::TableClear,    AuditAction::BootOption,     AuditAction::AutoNaming,
    AuditAction::NamePrefix,    AuditAction::IpmiCredentials, AuditAction::UpgradeAttempt, AuditAction::UpgradeResult,
    AuditAction::ReportDownload, AuditAction::FabricGeometry};

const char* auditActionText(AuditAction action);

struct AuditEntry {
  std::string user;
  std::string address;
  AuditAction action;
  std::string target;
};

// Appends one line. Throws _SysError when it cannot be written whole and
// synced: an action that must be recorded is then not carried out.
void writeAuditLine(const AuditEntry& entry);
// The last n lines of the log, oldest first (none when there is no log).
std::vector<std::string> auditTail(std::size_t n);
// The log's path under the system root.
std::string auditLogPath();

}  // namespace trl
