// Who may sign in to Trellium: the host's own accounts, checked through PAM
// (service "trellium", /etc/pam.d/trellium), and of those only root and the
// members of one Unix group. A failure never says which of the two failed.
// Thread-safe: every check is a PAM transaction of its own.
#pragma once

#include <string>

namespace trl {

class PamSignIn {
 public:
  static constexpr const char* Service = "trellium";

  // group: the administrators' group. confdir: the directory of the PAM
  // service file, "" for the system's own (/etc/pam.d and the vendor's).
  // accounts: a system root whose etc/passwd and etc/group say who is in
  // the group, "" for the system's account database (NSS).
  PamSignIn(std::string group, std::string confdir, std::string accounts);
  // The system root's: its /etc/pam.d and its account files when a root is
  // set (tests, the lab), else the system's own.
  static PamSignIn forSystemRoot(std::string group);

  // True for the right password of root or of a member of the group whose
  // account PAM accepts. Blocks while PAM works (a remote account database
  // may take seconds). address: the client's, for PAM's logs (PAM_RHOST).
  bool check(const std::string& user, const std::string& password, const std::string& address) const;
  // Whether user is root or a member of the group (primary or listed).
  bool administers(const std::string& user) const;
  const std::string& group() const { return group_; }

 private:
  const std::string group_;
  const std::string confdir_;
  const std::string accounts_;
};

}  // namespace trl
