#include "gui/sign_in.h"

#include <memory>

#include "modules/audit_log.h"
#include "modules/error.h"
#include "modules/pam_sign_in.h"
#include "modules/version.h"

namespace {

trl::AuditAction signInAction(web::SignInEvent event) {
  switch (event) {
    case web::SignInEvent::SignedIn: return trl::AuditAction::SignIn;
    case web::SignInEvent::Failed: return trl::AuditAction::SignInFailed;
    case web::SignInEvent::SignedOut: return trl::AuditAction::SignOut;
  }
  return trl::AuditAction::SignInFailed;
}

}  // namespace

web::SignIn trelliumSignIn(const std::string& group) {
  web::SignIn signIn;
  signIn.title = "Trellium v" TRELLIUM_VERSION;
  // Who may sign in, without naming the group to strangers.
  signIn.note = "Sign in with your account on this management host: root, or a member of its administrators' group.";
  const auto pam = std::make_shared<const trl::PamSignIn>(trl::PamSignIn::forSystemRoot(group));
  signIn.check = [pam](const std::string& user, const std::string& password, const std::string& address) {
    return pam->check(user, password, address);
  };
  signIn.record = [](web::SignInEvent event, const std::string& user, const std::string& address) {
    const trl::AuditAction action = signInAction(event);
    TRL_LOG("[SignIn] " << user.substr(0, 64) << ": " << trl::auditActionText(action) << " from " << address);
    try {
      trl::writeAuditLine({user, address, action, std::string()});
    } catch (const std::exception& e) {
      // Nobody is kept out because the log's disk is full: the line above
      // stays in the service's journal.
      TRL_WARN(std::string("audit log: ") + e.what());
    }
  };
  return signIn;
}
