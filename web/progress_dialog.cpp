#include "web/progress_dialog.h"

namespace web {

ProgressDialog::ProgressDialog(const std::string& labelText, const std::string& cancelButtonText, double minimum,
                               double maximum) {
  addStyleClass("w-progressdialog");
  label_ = contents()->addWidget(std::make_unique<Text>(labelText));
  label_->setInline(false);
  bar_ = contents()->addWidget(std::make_unique<ProgressBar>());
  bar_->setRange(minimum, maximum);
  bar_->setValue(minimum);
  cancel_ = footer()->addWidget(std::make_unique<PushButton>());
  cancel_->clicked().connect([this] { cancel(); });
  setCancelButtonText(cancelButtonText);
}

void ProgressDialog::setLabelText(const std::string& text) { label_->setText(text); }

void ProgressDialog::setCancelButtonText(const std::string& text) {
  cancel_->setText(text);
  footer()->setHidden(text.empty());
}

void ProgressDialog::cancel() {
  if (canceled_) return;
  canceled_ = true;
  cancel_->disable();
  canceledSignal_.emit();
}

void ProgressDialog::reset() {
  canceled_ = false;
  cancel_->enable();
  bar_->setValue(bar_->minimum());
}

}  // namespace web
