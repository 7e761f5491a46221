// A picture from a URL (usually a file of the document root).
#pragma once

#include "web/widget.h"

namespace web {

class Image : public Widget {
 public:
  explicit Image(const std::string& url = {}, const std::string& alternateText = {});

  void setImageLink(const std::string& url);
  const std::string& imageLink() const { return url_; }
  void setAlternateText(const std::string& text);

 protected:
  const char* tagName() const override { return "img"; }
  bool isVoidElement() const override { return true; }
  void renderElement(std::string& out) override;

 private:
  std::string url_;
  std::string alt_;
};

}  // namespace web
