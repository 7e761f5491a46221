#include "modules/pam_sign_in.h"

#include <grp.h>
#include <pwd.h>
#include <security/pam_appl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "modules/error.h"
#include "modules/paths.h"

namespace trl {

namespace {

constexpr std::size_t max_user_name = 256;

struct Credentials {
  const std::string* user;
  const std::string* password;
};

// Answers PAM's prompts: the password where the input is hidden, the user
// name where it is shown; messages for a person are dropped (the page says
// only that the sign-in failed).
int converse(int count, const struct pam_message** messages, struct pam_response** replies, void* data) {
  if (count <= 0 || count > PAM_MAX_NUM_MSG) return PAM_CONV_ERR;
  const auto* credentials = static_cast<const Credentials*>(data);
  auto* answers = static_cast<pam_response*>(std::calloc(static_cast<std::size_t>(count), sizeof(pam_response)));
  if (!answers) return PAM_BUF_ERR;
  for (int i = 0; i < count; ++i) {
    const std::string* text = nullptr;
    switch (messages[i]->msg_style) {
      case PAM_PROMPT_ECHO_OFF: text = credentials->password; break;
      case PAM_PROMPT_ECHO_ON: text = credentials->user; break;
      case PAM_ERROR_MSG:
      case PAM_TEXT_INFO: continue;
      default: text = nullptr; break;
    }
    if (text) answers[i].resp = ::strdup(text->c_str());
    if (!text || !answers[i].resp) {
      for (int j = 0; j <= i; ++j) {
        if (!answers[j].resp) continue;
        ::explicit_bzero(answers[j].resp, std::strlen(answers[j].resp));
        std::free(answers[j].resp);
      }
      std::free(answers);
      return text ? PAM_BUF_ERR : PAM_CONV_ERR;
    }
  }
  *replies = answers;
  return PAM_SUCCESS;
}

// PAM sleeps after a failure (pam_unix: 2 s) on the checking thread; the
// web server slows repeated failures down itself, per client address,
// without holding a thread.
void noFailDelay(int, unsigned, void*) {}

// Ends the transaction on every way out.
class PamTransaction {
 public:
  PamTransaction(const std::string& user, const Credentials& credentials, const std::string& confdir) {
    conversation_.conv = converse;
    conversation_.appdata_ptr = const_cast<Credentials*>(&credentials);
    status_ = ::pam_start_confdir(PamSignIn::Service, user.c_str(), &conversation_,
                                  confdir.empty() ? nullptr : confdir.c_str(), &handle_);
  }
  ~PamTransaction() {
    if (handle_) ::pam_end(handle_, status_);
  }
  PamTransaction(const PamTransaction&) = delete;
  PamTransaction& operator=(const PamTransaction&) = delete;

  bool step(int status) {
    status_ = status;
    return status == PAM_SUCCESS;
  }
  bool started() const { return handle_ && status_ == PAM_SUCCESS; }
  pam_handle_t* handle() const { return handle_; }

 private:
  pam_conv conversation_{};
  pam_handle_t* handle_ = nullptr;
  int status_ = PAM_SYSTEM_ERR;
};

bool printableName(const std::string& user) {
  return !user.empty() && user.size() <= max_user_name &&
         std::none_of(user.begin(), user.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// The group's id and listed members, and the user's primary group, from a
// system root's account files.
bool inGroupFiles(const std::string& root, const std::string& user, const std::string& group) {
  const auto openFile = [](const std::string& path) {
    return std::unique_ptr<FILE, int (*)(FILE*)>(std::fopen(path.c_str(), "re"), &std::fclose);
  };
  std::vector<char> buffer(16384);
  gid_t groupId = 0;
  bool groupFound = false;
  if (auto groups = openFile(root + "/etc/group")) {
    struct group entry;
    struct group* found = nullptr;
    while (::fgetgrent_r(groups.get(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
      if (group != entry.gr_name) continue;
      groupFound = true;
      groupId = entry.gr_gid;
      for (char** member = entry.gr_mem; member && *member; ++member)
        if (user == *member) return true;
      break;
    }
  }
  if (!groupFound) return false;
  if (auto users = openFile(root + "/etc/passwd")) {
    struct passwd entry;
    struct passwd* found = nullptr;
    while (::fgetpwent_r(users.get(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
      if (user == entry.pw_name) return entry.pw_gid == groupId;
  }
  return false;
}

// An account database entry by name through a reentrant lookup (getgrnam_r,
// getpwnam_r), its buffer grown until the entry fits (up to 4 MiB); false
// when there is none or the lookup fails.
template <class Entry>
bool lookUp(int (*lookup)(const char*, Entry*, char*, std::size_t, Entry**), const std::string& name, Entry& entry,
            std::vector<char>& buffer) {
  buffer.resize(16384);
  Entry* found = nullptr;
  int error;
  while ((error = lookup(name.c_str(), &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 22))
    buffer.resize(buffer.size() * 2);
  return error == 0 && found;
}

// The same through the system's account database (files, LDAP, ...).
bool inGroupSystem(const std::string& user, const std::string& group) {
  std::vector<char> groupBuffer, userBuffer;
  struct group groupEntry;
  struct passwd userEntry;
  if (!lookUp(::getgrnam_r, group, groupEntry, groupBuffer) || !lookUp(::getpwnam_r, user, userEntry, userBuffer))
    return false;
  const gid_t groupId = groupEntry.gr_gid;
  // Every group of the user, as the account database has them.
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  while (::getgrouplist(user.c_str(), userEntry.pw_gid, groups.data(), &count) < 0) {
    if (count <= static_cast<int>(groups.size())) return false;
    groups.resize(static_cast<std::size_t>(count));
  }
  groups.resize(static_cast<std::size_t>(count));
  return std::find(groups.begin(), groups.end(), groupId) != groups.end();
}

}  // namespace

PamSignIn::PamSignIn(std::string group, std::string confdir, std::string accounts)
    : group_(std::move(group)), confdir_(std::move(confdir)), accounts_(std::move(accounts)) {}

PamSignIn PamSignIn::forSystemRoot(std::string group) {
  const std::string& root = sysroot();
  return PamSignIn(std::move(group), root.empty() ? std::string() : sysPath("/etc/pam.d"), root);
}

bool PamSignIn::administers(const std::string& user) const {
  if (user == "root") return true;
  if (group_.empty()) return false;
  return accounts_.empty() ? inGroupSystem(user, group_) : inGroupFiles(accounts_, user, group_);
}

bool PamSignIn::check(const std::string& user, const std::string& password, const std::string& address) const {
  if (!printableName(user) || password.empty()) return false;
  const Credentials credentials{&user, &password};
  PamTransaction pam(user, credentials, confdir_);
  if (!pam.started()) {
    TRL_WARN("PAM cannot start the service " + std::string(Service));
    return false;
  }
  if (!pam.step(::pam_set_item(pam.handle(), PAM_RHOST, address.c_str()))) return false;
  if (!pam.step(::pam_set_item(pam.handle(), PAM_FAIL_DELAY, reinterpret_cast<const void*>(&noFailDelay))))
    return false;
  if (!pam.step(::pam_authenticate(pam.handle(), PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK))) return false;
  // An expired or locked account is refused like a wrong password.
  if (!pam.step(::pam_acct_mgmt(pam.handle(), PAM_SILENT | PAM_DISALLOW_NULL_AUTHTOK))) return false;
  // A module may have mapped the name: the group check is for the account
  // PAM signed in.
  const void* item = nullptr;
  if (::pam_get_item(pam.handle(), PAM_USER, &item) != PAM_SUCCESS || !item) return false;
  return administers(static_cast<const char*>(item));
}

}  // namespace trl
