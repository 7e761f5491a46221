#include "web/push_button.h"

namespace web {

PushButton::PushButton(const std::string& text) : text_(text) { setInline(true); }

void PushButton::setText(const std::string& text) {
  if (text_ == text) return;
  text_ = text;
  markDirty();
}

void PushButton::renderElement(std::string& out) {
  openTag(out, "w-button");
  out += " type=\"button\"";
  if (!isEnabled()) out += " disabled";
  out += '>';
  appendEscaped(out, text_);
  out += "</button>";
}

}  // namespace web
