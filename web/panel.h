// A framed box with a title bar and optional tool bars above and below its
// contents. The contents are the panel's own children or layout.
#pragma once

#include <memory>

#include "web/container.h"
#include "web/tool_bar.h"

namespace web {

class Panel : public Container {
 public:
  explicit Panel(const std::string& title = {});
  ~Panel() override;

  void setTitle(const std::string& title);
  const std::string& title() const { return title_; }
  // Made on first use.
  ToolBar* topToolBar();
  ToolBar* bottomToolBar();
  ToolBar* setTopToolBar(std::unique_ptr<ToolBar> bar);
  ToolBar* setBottomToolBar(std::unique_ptr<ToolBar> bar);
  // Scroll bars on the contents when they do not fit (default off).
  void setAutoScrollBars(bool on);
  bool autoScrollBars() const { return autoScroll_; }

  void visitChildren(const std::function<void(Widget&)>& fn) override;

 protected:
  void renderElement(std::string& out) override;
  // The part between the tool bars; a tab widget puts its tabs there.
  virtual void renderBody(std::string& out);
  void renderFrameStart(std::string& out, std::string_view cls);
  void renderFrameEnd(std::string& out);

 private:
  std::string title_;
  std::unique_ptr<ToolBar> top_, bottom_;
  bool autoScroll_ = false;
};

}  // namespace web
