#include "web/text.h"

namespace web {

Text::Text(const std::string& text, TextFormat format) : text_(text), format_(format) { setInline(true); }

void Text::setText(const std::string& text) {
  if (text_ == text) return;
  text_ = text;
  markDirty();
}

void Text::setTextFormat(TextFormat format) {
  if (format_ == format) return;
  format_ = format;
  markDirty();
}

void Text::setWordWrap(bool wrap) {
  if (wrap_ == wrap) return;
  wrap_ = wrap;
  markDirty();
}

void Text::renderElement(std::string& out) {
  openTag(out, "w-text", wrap_ ? std::string_view() : std::string_view("white-space:nowrap"));
  out += '>';
  appendHtml(out, text_, format_);
  out += "</";
  out += tagName();
  out += '>';
}

}  // namespace web
