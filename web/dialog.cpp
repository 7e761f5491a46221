#include "web/dialog.h"

#include <algorithm>

#include "web/application.h"

namespace web {

DialogLayer::DialogLayer() { setStyleClass("w-dialogs"); }

DialogLayer::~DialogLayer() {
  owned_.clear();
  // Dialogs owned elsewhere must not reach back to a layer that is gone.
  shown_.clear();
}

void DialogLayer::add(Dialog* dialog) {
  if (std::find(shown_.begin(), shown_.end(), dialog) != shown_.end()) return;
  shown_.push_back(dialog);
  adopt(*dialog);
  markDirty();
}

void DialogLayer::remove(Dialog* dialog) {
  const auto it = std::find(shown_.begin(), shown_.end(), dialog);
  if (it == shown_.end()) return;
  shown_.erase(it);
  markDirty();
}

Dialog* DialogLayer::keep(std::unique_ptr<Dialog> dialog) {
  owned_.push_back(std::move(dialog));
  return owned_.back().get();
}

void DialogLayer::release(Dialog* dialog) {
  const auto it = std::find_if(owned_.begin(), owned_.end(), [&](const auto& d) { return d.get() == dialog; });
  if (it == owned_.end()) return;
  std::unique_ptr<Dialog> d = std::move(*it);
  owned_.erase(it);
  dispose(std::move(d));
}

bool DialogLayer::accepts(const Widget& w) const {
  const Dialog* top = nullptr;
  for (const Dialog* d : shown_)
    if (d->isModal()) top = d;
  if (!top) return true;
  for (const Widget* p = &w; p; p = p->parent())
    if (p == top) return true;
  return false;
}

void DialogLayer::visitChildren(const std::function<void(Widget&)>& fn) {
  for (auto& d : owned_) fn(*d);
}

void DialogLayer::visitRenderedChildren(const std::function<void(Widget&)>& fn) {
  const std::vector<Dialog*> shown = shown_;
  for (Dialog* d : shown) fn(*d);
}

void DialogLayer::renderElement(std::string& out) {
  openTag(out);
  out += '>';
  const Dialog* top = nullptr;
  for (const Dialog* d : shown_)
    if (d->isModal()) top = d;
  for (Dialog* d : shown_) {
    if (d == top) out += "<div class=\"w-backdrop\"></div>";
    d->render(out);
  }
  out += "</div>";
}

Dialog::Dialog(const std::string& caption)
    : caption_(std::make_unique<Text>(caption)), contents_(std::make_unique<Container>()),
      footer_(std::make_unique<Container>()) {
  setStyleClass("w-dialog");
  caption_->setStyleClass("w-dialog-title");
  contents_->setStyleClass("w-dialog-body");
  footer_->setStyleClass("w-dialog-footer");
  adopt(*caption_);
  adopt(*contents_);
  adopt(*footer_);
  Widget::hide();
}

Dialog::~Dialog() {
  if (layer_) layer_->remove(this);
}

void Dialog::setWindowTitle(const std::string& caption) { caption_->setText(caption); }

void Dialog::setModal(bool modal) {
  modal_ = modal;
  markDirty();
}

void Dialog::show() {
  done_ = false;
  Widget::show();
  if (!layer_) {
    if (Application* app = Application::instance()) layer_ = &app->dialogs();
  }
  if (layer_) layer_->add(this);
}

void Dialog::hide() {
  Widget::hide();
  if (layer_) layer_->remove(this);
}

void Dialog::done(DialogCode code) {
  result_ = code;
  done_ = true;
  hide();
  finished_.emit(code);
}

void Dialog::waitUntilDone() {
  Application* app = Application::instance();
  if (!app) return;  // no page: nobody can answer
  app->waitFor([this] { return done_; });
}

Dialog::DialogCode Dialog::exec() {
  result_ = Rejected;
  show();
  waitUntilDone();
  if (!done_) hide();
  return result_;
}

void Dialog::visitChildren(const std::function<void(Widget&)>& fn) {
  fn(*caption_);
  fn(*contents_);
  fn(*footer_);
}

void Dialog::renderElement(std::string& out) {
  openTag(out, modal_ ? "w-modal" : "");
  out += " role=\"dialog\">";
  caption_->render(out);
  contents_->render(out);
  footer_->render(out);
  out += "</div>";
}

}  // namespace web
