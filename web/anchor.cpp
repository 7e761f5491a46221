#include "web/anchor.h"

#include <algorithm>
#include <cctype>

#include "web/file_resource.h"

namespace web {

namespace {

bool safeLink(const std::string& url) {
  const auto colon = url.find(':');
  const auto slash = url.find('/');
  if (colon == std::string::npos || (slash != std::string::npos && slash < colon)) return true;  // relative
  std::string scheme = url.substr(0, colon);
  std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
  return scheme == "http" || scheme == "https" || scheme == "mailto";
}

}  // namespace

Anchor::Anchor(const std::string& url, const std::string& text) : url_(url), text_(text) { setInline(true); }

Anchor::Anchor(const FileResource* resource, const std::string& text) : resource_(resource), text_(text) {
  setInline(true);
}

void Anchor::setLink(const std::string& url) {
  url_ = url;
  resource_ = nullptr;
  markDirty();
}

void Anchor::setResource(const FileResource* resource) {
  resource_ = resource;
  markDirty();
}

std::string Anchor::link() const { return resource_ ? resource_->url() : url_; }

void Anchor::setText(const std::string& text) {
  if (text_ == text) return;
  text_ = text;
  markDirty();
}

void Anchor::setTarget(const std::string& target) {
  target_ = target;
  markDirty();
}

void Anchor::renderElement(std::string& out) {
  openTag(out, "w-anchor");
  const std::string url = link();
  out += " href=\"";
  appendEscaped(out, safeLink(url) ? url : "#");
  out += '"';
  if (resource_) {
    out += " download=\"";
    appendEscaped(out, resource_->suggestedFileName());
    out += '"';
  }
  if (!target_.empty()) {
    out += " target=\"";
    appendEscaped(out, target_);
    out += "\" rel=\"noopener\"";
  }
  out += '>';
  appendEscaped(out, text_);
  out += "</a>";
}

}  // namespace web
