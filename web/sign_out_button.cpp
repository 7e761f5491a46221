#include "web/sign_out_button.h"

#include "web/page.h"

namespace web {

SignOutButton::SignOutButton(const std::string& text) : text_(text) { setInline(true); }

void SignOutButton::renderElement(std::string& out) {
  openTag(out, "w-signout");
  out += " method=\"post\" action=\"";
  out += route::SignOut;
  out += "\"><button type=\"submit\" class=\"w-button\"";
  if (!isEnabled()) out += " disabled";
  out += '>';
  appendEscaped(out, text_);
  out += "</button></form>";
}

}  // namespace web
