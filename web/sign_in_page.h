// The page a browser gets before it has signed in, the form it posts, and
// the sign-in cookie. The page is plain HTML (no script, no file of ours
// besides itself): it is all a stranger may load.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace web {

// The sign-in page. note: a line below the form on who may sign in;
// message: shown above the form ("" for none); user: put back into the user
// name field after a failed attempt; icon: the page's icon URL or "".
std::string renderSignInPage(const std::string& title, const std::string& note, const std::string& message,
                             const std::string& user, const std::string& icon);

struct SignInForm {
  std::string user;
  std::string password;
};
// The posted form (application/x-www-form-urlencoded); none when malformed,
// a field is missing or too long.
std::optional<SignInForm> parseSignInForm(std::string_view body);

// The cookie that carries a sign-in. Over HTTPS it is Secure and named with
// the __Host- prefix, which browsers keep to this very host and scheme.
std::string signInCookieName(bool tls);
// The Set-Cookie value that stores token (HttpOnly, SameSite=Strict, the
// whole site, gone when the browser closes), or that deletes the cookie
// (token empty).
std::string signInCookie(const std::string& token, bool tls);
// The values of every cookie called name in a Cookie header.
std::vector<std::string> cookieValues(std::string_view header, std::string_view name);

}  // namespace web
