// A dialog with a text, a progress bar and a Cancel button, for a long
// handler that calls Application::processEvents() between its steps. An
// empty Cancel text shows no Cancel button: for work that cannot be stopped.
#pragma once

#include "web/dialog.h"
#include "web/progress_bar.h"
#include "web/push_button.h"

namespace web {

class ProgressDialog : public Dialog {
 public:
  ProgressDialog(const std::string& labelText = {}, const std::string& cancelButtonText = "Cancel",
                 double minimum = 0, double maximum = 100);

  void setLabelText(const std::string& text);
  const std::string& labelText() const { return label_->text(); }
  void setCancelButtonText(const std::string& text);
  void setRange(double minimum, double maximum) { bar_->setRange(minimum, maximum); }
  void setMinimum(double minimum) { bar_->setMinimum(minimum); }
  void setMaximum(double maximum) { bar_->setMaximum(maximum); }
  double minimum() const { return bar_->minimum(); }
  double maximum() const { return bar_->maximum(); }
  void setValue(double value) { bar_->setValue(value); }
  double value() const { return bar_->value(); }

  bool wasCanceled() const { return canceled_; }
  void cancel();  // as pressing Cancel
  void reset();
  Signal<>& canceled() { return canceledSignal_; }

 private:
  Text* label_;
  ProgressBar* bar_;
  PushButton* cancel_;
  Signal<> canceledSignal_;
  bool canceled_ = false;
};

}  // namespace web
