// What a server that asks people to sign in needs from the application: how
// to check a user name and password, and whom to tell about sign-ins (an
// audit trail). Without it (Server::requireSignIn never called) the server
// serves everyone.
#pragma once

#include <functional>
#include <string>

namespace web {

enum class SignInEvent { SignedIn, Failed, SignedOut };

struct SignIn {
  // The sign-in page's title and heading, and a line below its form on who
  // may sign in.
  std::string title;
  std::string note;
  // Whether user may sign in with password, asked from address. Blocks as
  // long as it needs (a password database may be slow); runs on a thread of
  // the server's own, never on a socket thread nor a session's.
  std::function<bool(const std::string& user, const std::string& password, const std::string& address)> check;
  // Told of every sign-in, failed sign-in and sign-out (may be empty). For
  // a failed one, user is the name that was tried.
  std::function<void(SignInEvent, const std::string& user, const std::string& address)> record;
};

}  // namespace web
