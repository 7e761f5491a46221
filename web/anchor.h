// A link: to a URL, or to a session's file resource (a download).
#pragma once

#include "web/widget.h"

namespace web {

class FileResource;

class Anchor : public Widget {
 public:
  Anchor(const std::string& url = {}, const std::string& text = {});
  Anchor(const FileResource* resource, const std::string& text);

  // Links with a scheme other than http, https or mailto are not followed.
  void setLink(const std::string& url);
  void setResource(const FileResource* resource);
  std::string link() const;
  void setText(const std::string& text);
  const std::string& text() const { return text_; }
  void setTarget(const std::string& target);  // "_blank" for a new window

 protected:
  const char* tagName() const override { return "a"; }
  void renderElement(std::string& out) override;

 private:
  std::string url_;
  const FileResource* resource_ = nullptr;
  std::string text_;
  std::string target_;
};

}  // namespace web
