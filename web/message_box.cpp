#include "web/message_box.h"

#include "web/application.h"
#include "web/box_layout.h"

namespace web {

namespace {

const char* buttonText(StandardButton b) {
  switch (b) {
    case Ok: return "OK";
    case Cancel: return "Cancel";
    case Yes: return "Yes";
    case No: return "No";
    default: return "";
  }
}

const char* iconClass(Icon icon) {
  switch (icon) {
    case Icon::Information: return "w-icon-info";
    case Icon::Warning: return "w-icon-warning";
    case Icon::Critical: return "w-icon-critical";
    case Icon::Question: return "w-icon-question";
    default: return "";
  }
}

}  // namespace

MessageBox::MessageBox(const std::string& caption, const std::string& text, Icon icon, unsigned buttons)
    : Dialog(caption) {
  addStyleClass("w-messagebox");
  icon_ = contents()->addWidget(std::make_unique<Text>());
  text_ = contents()->addWidget(std::make_unique<Text>(text));
  text_->setStyleClass("w-messagebox-text");
  setIcon(icon);
  setButtons(buttons);
}

void MessageBox::setText(const std::string& text, TextFormat format) {
  text_->setText(text);
  text_->setTextFormat(format);
}

void MessageBox::setIcon(Icon icon) {
  icon_->setStyleClass(std::string("w-msgicon ") + iconClass(icon));
  icon_->setHidden(icon == Icon::NoIcon);
}

void MessageBox::setButtons(unsigned buttons) {
  for (auto& [b, w] : buttons_) dispose(footer()->removeWidget(w));
  buttons_.clear();
  for (const StandardButton b : {Ok, Yes, No, Cancel}) {
    if (!(buttons & b)) continue;
    PushButton* w = footer()->addWidget(std::make_unique<PushButton>(buttonText(b)));
    w->clicked().connect([this, b] { pressed(b); });
    buttons_.emplace_back(b, w);
  }
}

PushButton* MessageBox::button(StandardButton b) const {
  for (const auto& [s, w] : buttons_)
    if (s == b) return w;
  return nullptr;
}

void MessageBox::pressed(StandardButton b) {
  result_ = b;
  buttonClicked_.emit(b);  // before done(): a slot may still read the box
  done(b == Ok || b == Yes ? Accepted : Rejected);
}

StandardButton MessageBox::exec() {
  result_ = NoButton;
  Dialog::exec();
  return result_;
}

StandardButton MessageBox::show(const std::string& caption, const std::string& text, unsigned buttons) {
  MessageBox box(caption, text, Icon::NoIcon, buttons);
  return box.exec();
}

MessageBox* MessageBox::open(const std::string& caption, const std::string& text, unsigned buttons,
                             std::function<void(StandardButton)> onAnswer) {
  auto owned = std::make_unique<MessageBox>(caption, text, Icon::NoIcon, buttons);
  MessageBox* box = owned.get();
  Application* app = Application::instance();
  if (!app) return nullptr;
  app->dialogs().keep(std::move(owned));
  box->finished().connect([box, app, onAnswer = std::move(onAnswer)] {
    const StandardButton answer = box->buttonResult();
    app->dialogs().release(box);  // destroyed after this event
    if (onAnswer) onAnswer(answer);
  });
  box->Dialog::show();
  return box;
}

}  // namespace web
