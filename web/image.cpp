#include "web/image.h"

namespace web {

Image::Image(const std::string& url, const std::string& alternateText) : url_(url), alt_(alternateText) {
  setInline(true);
}

void Image::setImageLink(const std::string& url) {
  if (url_ == url) return;
  url_ = url;
  markDirty();
}

void Image::setAlternateText(const std::string& text) {
  if (alt_ == text) return;
  alt_ = text;
  markDirty();
}

void Image::renderElement(std::string& out) {
  openTag(out, "w-image");
  out += " src=\"";
  appendEscaped(out, url_);
  out += "\" alt=\"";
  appendEscaped(out, alt_);
  out += "\">";
}

}  // namespace web
