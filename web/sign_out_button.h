// "Sign out": a plain form that posts to the server's sign-out route, so
// that it works like any form (the browser forgets the sign-in cookie and
// lands on the sign-in page) and needs no event of its own.
#pragma once

#include "web/widget.h"

namespace web {

class SignOutButton : public Widget {
 public:
  explicit SignOutButton(const std::string& text = "Sign out");

 protected:
  const char* tagName() const override { return "form"; }
  void renderElement(std::string& out) override;

 private:
  std::string text_;
};

}  // namespace web
