#include "modules/audit_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "modules/error.h"
#include "modules/paths.h"
#include "modules/unique_fd.h"

namespace trl {

namespace {

const char* const audit_dir = "/var/log/trellium";
const char* const audit_file = "/var/log/trellium/audit.log";
// A field longer than this is cut: a line stays a line a person can read,
// and the tail the report shows stays small.
const std::size_t field_limit = 256;

void appendField(std::string& line, const std::string& text) {
  static const char* const hex = "0123456789abcdef";
  std::string out;
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else if (u < 0x20 || u == 0x7f) out += std::string("\\x") + hex[u >> 4] + hex[u & 15];
    else out += c;
    if (out.size() > field_limit) {
      out += "...";
      break;
    }
  }
  line += out.empty() ? "-" : out;
}

std::string localTime() {
  const time_t now = ::time(nullptr);
  struct tm local;
  ::localtime_r(&now, &local);
  char text[40];
  ::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
  return text;
}

}  // namespace

const char* auditActionText(AuditAction action) {
  switch (action) {
    case AuditAction::SignIn: return "sign in";
    case AuditAction::SignInFailed: return "failed sign-in";
    case AuditAction::SignOut: return "sign out";
    case AuditAction::PowerOn: return "power on";
    case AuditAction::PowerOff: return "power off";
    case AuditAction::PowerShutdown: return "shutdown";
    case AuditAction::PowerReset: return "reset";
    case AuditAction::TableEdit: return "edit server table";
    case AuditAction::TableDelete: return "delete server";
    case AuditAction::TableClear: return "clear server table";
    case AuditAction::BootOption: return "boot option";
    case AuditAction::AutoNaming: return "automatic naming";
    case AuditAction::NamePrefix: return "name prefix";
    case AuditAction::IpmiCredentials: return "IPMI credentials";
    case AuditAction::UpgradeAttempt: return "upgrade attempt";
    case AuditAction::UpgradeResult: return "upgrade result";
    case AuditAction::ReportDownload: return "report download";
    case AuditAction::FabricGeometry: return "fabric geometry";
  }
  return "unknown action";
}

std::string auditLogPath() { return sysPath(audit_file); }

void writeAuditLine(const AuditEntry& entry) {
  const std::string dir = sysPath(audit_dir);
  if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) throw TRL_SYSERROR("mkdir " + dir + " failed");
  std::string line = localTime();
  for (const std::string* field : {&entry.user, &entry.address}) {
    line += '\t';
    appendField(line, *field);
  }
  line += '\t';
  line += auditActionText(entry.action);
  line += '\t';
  appendField(line, entry.target);
  line += '\n';

  const std::string path = auditLogPath();
  // O_NOFOLLOW: a link planted in place of the log must not redirect it.
  const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640));
  if (!fd) throw TRL_SYSERROR("open " + path + " failed");
  // One write on an appending descriptor: lines of concurrent writers
  // (threads, or a second process) never interleave.
  ssize_t written;
  do {
    written = ::write(fd.get(), line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written != static_cast<ssize_t>(line.size())) {
    if (written >= 0) errno = ENOSPC;
    throw TRL_SYSERROR("writing " + path + " failed");
  }
  if (::fsync(fd.get()) != 0) throw TRL_SYSERROR("fsync " + path + " failed");
}

std::vector<std::string> auditTail(std::size_t n) {
  const std::string path = auditLogPath();
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) {
    if (errno == ENOENT) return {};
    throw TRL_SYSERROR("open " + path + " failed");
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw TRL_SYSERROR("stat " + path + " failed");
  // Backwards from the end, a block at a time, until n line breaks are
  // behind the last line: the log only grows, the tail stays cheap.
  std::string text;
  off_t start = st.st_size;
  std::size_t breaks = 0;
  while (start > 0 && breaks <= n) {
    const off_t block = start >= 65536 ? 65536 : start;
    start -= block;
    std::string chunk(static_cast<std::size_t>(block), '\0');
    const ssize_t got = ::pread(fd.get(), chunk.data(), chunk.size(), start);
    if (got != block) throw TRL_SYSERROR("reading " + path + " failed");
    for (const char c : chunk) breaks += c == '\n';
    text.insert(0, chunk);
  }
  std::vector<std::string> lines;
  std::size_t begin = 0;
  for (std::size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1)
    lines.push_back(text.substr(begin, end - begin));
  // The first piece may be the end of a line read only in part.
  if (start > 0 && !lines.empty()) lines.erase(lines.begin());
  if (lines.size() > n) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(n));
  return lines;
}

}  // namespace trl
