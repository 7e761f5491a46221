// Dialogs float above the page in the application's dialog layer. A dialog
// is owned by whoever made it (a local in a handler, a widget member) or,
// when opened with DialogLayer::keep, by the layer until it closes. A modal
// dialog takes every event of its session while it is shown.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "web/container.h"
#include "web/text.h"

namespace web {

class Dialog;

class DialogLayer : public Widget {
 public:
  DialogLayer();
  ~DialogLayer() override;

  void add(Dialog* dialog);
  void remove(Dialog* dialog);
  // Keeps an owned dialog until it closes.
  Dialog* keep(std::unique_ptr<Dialog> dialog);
  void release(Dialog* dialog);  // an adopted dialog closed
  // Whether w may take events: no modal dialog is shown, or w is inside the topmost one.
  bool accepts(const Widget& w) const;
  std::size_t shownCount() const { return shown_.size(); }

  void visitChildren(const std::function<void(Widget&)>& fn) override;
  void visitRenderedChildren(const std::function<void(Widget&)>& fn) override;

 protected:
  void renderElement(std::string& out) override;

 private:
  std::vector<Dialog*> shown_;
  std::vector<std::unique_ptr<Dialog>> owned_;
};

class Dialog : public Widget {
 public:
  enum DialogCode { Rejected = 0, Accepted = 1 };

  explicit Dialog(const std::string& caption = {});
  ~Dialog() override;

  void setWindowTitle(const std::string& caption);
  const std::string& windowTitle() const { return caption_->text(); }
  void setModal(bool modal);
  bool isModal() const { return modal_; }
  Container* contents() const { return contents_.get(); }
  Container* footer() const { return footer_.get(); }

  // Puts the dialog on the page (and returns at once).
  void show();
  void hide();
  // Shows the dialog and waits until it is done; the page stays live and
  // the session's lock is free meanwhile. Rejected when the session ends.
  DialogCode exec();
  void accept() { done(Accepted); }
  void reject() { done(Rejected); }
  virtual void done(DialogCode code);
  DialogCode result() const { return result_; }
  Signal<DialogCode>& finished() { return finished_; }

  void visitChildren(const std::function<void(Widget&)>& fn) override;

 protected:
  void renderElement(std::string& out) override;
  // Waits (see exec) until done() was called.
  void waitUntilDone();
  bool isDone() const { return done_; }

 private:
  std::unique_ptr<Text> caption_;
  std::unique_ptr<Container> contents_;
  std::unique_ptr<Container> footer_;
  DialogLayer* layer_ = nullptr;
  Signal<DialogCode> finished_;
  DialogCode result_ = Rejected;
  bool modal_ = true;
  bool done_ = false;
};

}  // namespace web
