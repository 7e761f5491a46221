#include "web/sign_in_page.h"

#include "web/page.h"
#include "web/text_format.h"
#include "web/url.h"

namespace web {

namespace {

constexpr std::size_t MaxUserName = 256;
constexpr std::size_t MaxPassword = 1024;

// Inline, so that the page needs nothing a stranger may not load.
const char* const SignInStyle =
    "body{margin:0;min-height:100vh;display:flex;align-items:center;justify-content:center;"
    "background:#eef2f8;font:14px tahoma,arial,verdana,sans-serif;color:#222}"
    "main{width:min(340px,92vw);background:#fff;border:1px solid #99bbe8;border-radius:6px;"
    "box-shadow:0 2px 10px rgba(0,0,0,.12);overflow:hidden}"
    "h1{margin:0;padding:14px 18px;font-size:18px;color:#fff;background:linear-gradient(90deg,#1f3d66,#3f6fa6)}"
    "form{display:flex;flex-direction:column;gap:10px;padding:16px 18px 18px}"
    "label{display:flex;flex-direction:column;gap:3px;font-weight:bold;color:#33475f}"
    "input{font:inherit;font-weight:normal;padding:5px 6px;border:1px solid #99a;border-radius:3px}"
    "button{font:inherit;font-weight:bold;padding:6px;border:1px solid #2a62b0;border-radius:3px;"
    "background:linear-gradient(#4f86c6,#2a62b0);color:#fff;cursor:pointer}"
    ":focus-visible{outline:2px solid #1a5fb4;outline-offset:1px}"
    ".error{margin:0;padding:6px 8px;border-left:4px solid #c62828;background:#fdecea;color:#8e1b1b;"
    "font-weight:bold}.error::before{content:'\\2716  '}"
    ".note{margin:0;color:#55606e;font-size:12px}";

}  // namespace

std::string renderSignInPage(const std::string& title, const std::string& note, const std::string& message,
                             const std::string& user, const std::string& icon) {
  std::string out;
  appendDocumentStart(out, "Sign in \u2013 " + title, icon);
  out += "<style>";
  out += SignInStyle;
  out += "</style></head><body><main><h1>";
  appendEscaped(out, title);
  out += "</h1><form method=\"post\" action=\"";
  out += route::SignIn;
  out += "\">";
  if (!message.empty()) {
    out += "<p class=\"error\" role=\"alert\">";
    appendEscaped(out, message);
    out += "</p>";
  }
  out += "<label>User name<input name=\"user\" autocomplete=\"username\" autocapitalize=\"none\" "
         "spellcheck=\"false\" required";
  out += user.empty() ? " autofocus" : "";
  out += " value=\"";
  appendEscaped(out, user);
  out += "\"></label><label>Password<input name=\"password\" type=\"password\" autocomplete=\"current-password\" "
         "required";
  out += user.empty() ? "" : " autofocus";
  out += "></label><button type=\"submit\">Sign in</button>";
  if (!note.empty()) {
    out += "<p class=\"note\">";
    appendEscaped(out, note);
    out += "</p>";
  }
  out += "</form></main></body></html>\n";
  return out;
}

std::optional<SignInForm> parseSignInForm(std::string_view body) {
  const auto fields = parseTarget("?" + std::string(body));
  if (!fields) return std::nullopt;
  const auto user = fields->query.find("user");
  const auto password = fields->query.find("password");
  if (user == fields->query.end() || password == fields->query.end()) return std::nullopt;
  if (user->second.size() > MaxUserName || password->second.size() > MaxPassword) return std::nullopt;
  return SignInForm{user->second, password->second};
}

std::string signInCookieName(bool tls) { return tls ? "__Host-w_signin" : "w_signin"; }

std::string signInCookie(const std::string& token, bool tls) {
  std::string cookie = signInCookieName(tls) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
  if (token.empty()) cookie += "; Max-Age=0";
  if (tls) cookie += "; Secure";
  return cookie;
}

std::vector<std::string> cookieValues(std::string_view header, std::string_view name) {
  std::vector<std::string> values;
  while (!header.empty()) {
    const auto semicolon = header.find(';');
    std::string_view pair = header.substr(0, semicolon);
    header = semicolon == std::string_view::npos ? std::string_view() : header.substr(semicolon + 1);
    while (!pair.empty() && (pair.front() == ' ' || pair.front() == '\t')) pair.remove_prefix(1);
    while (!pair.empty() && (pair.back() == ' ' || pair.back() == '\t')) pair.remove_suffix(1);
    const auto eq = pair.find('=');
    if (eq == std::string_view::npos || pair.substr(0, eq) != name) continue;
    std::string_view value = pair.substr(eq + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    values.emplace_back(value);
  }
  return values;
}

}  // namespace web
