#include "tests/web/demo/demo_app.h"

#include <algorithm>

#include "web/box_layout.h"
#include "web/message_box.h"
#include "web/panel.h"
#include "web/progress_dialog.h"
#include "web/push_button.h"

namespace demo {

std::mutex DemoApp::listMutex;
std::vector<DemoApp*> DemoApp::list;

DemoApp::DemoApp(const web::Environment& env) : web::Application(env) {
  setTitle("Toolkit demo");
  auto* panel = root()->addWidget(std::make_unique<web::Panel>("Demo"));
  panel->setWidth(500);
  auto* box = panel->setLayout(std::make_unique<web::VBoxLayout>());

  auto* clickButton = box->addWidget(std::make_unique<web::PushButton>("Click me"), 0, web::AlignLeft);
  clickButton->setStyleClass("click");
  clicks_ = box->addWidget(std::make_unique<web::Text>("Clicks: 0"));
  clicks_->setStyleClass("clicks");
  clickButton->clicked().connect([this] { clicks_->setText("Clicks: " + std::to_string(++count_)); });

  pushed_ = box->addWidget(std::make_unique<web::Text>("Push: none"));
  pushed_->setStyleClass("pushed");

  edit_ = box->addWidget(std::make_unique<web::LineEdit>());
  edit_->setStyleClass("edit");

  auto* ask = box->addWidget(std::make_unique<web::PushButton>("Ask"), 0, web::AlignLeft);
  ask->setStyleClass("ask");
  answer_ = box->addWidget(std::make_unique<web::Text>("Answer: none"));
  answer_->setStyleClass("answer");
  ask->clicked().connect([this] {
    const auto b = web::MessageBox::show("Confirm", "Proceed?", web::Yes | web::No);
    answer_->setText(std::string("Answer: ") + (b == web::Yes ? "Yes" : b == web::No ? "No" : "none"));
  });

  auto* run = box->addWidget(std::make_unique<web::PushButton>("Run"), 0, web::AlignLeft);
  run->setStyleClass("run");
  job_ = box->addWidget(std::make_unique<web::Text>("Job: idle"));
  job_->setStyleClass("job");
  run->clicked().connect([this] { runJob(); });

  std::lock_guard<std::mutex> lk(listMutex);
  list.push_back(this);
}

DemoApp::~DemoApp() {
  std::lock_guard<std::mutex> lk(listMutex);
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void DemoApp::push(const std::string& text) { pushed_->setText("Push: " + text); }

void DemoApp::runJob() {
  constexpr int steps = 40;
  web::ProgressDialog dialog("Working", "Cancel", 0, steps);
  dialog.setWindowTitle("Job");
  dialog.show();
  int done = 0;
  for (; done < steps; ++done) {
    dialog.setValue(done);
    dialog.setLabelText("Step " + std::to_string(done + 1) + " of " + std::to_string(steps));
    processEvents();  // the page sees the progress; a Cancel click arrives
    if (dialog.wasCanceled()) break;
    sleepFor(std::chrono::milliseconds(250));
    if (dialog.wasCanceled()) break;
  }
  dialog.hide();
  job_->setText(dialog.wasCanceled() ? "Job: cancelled after " + std::to_string(done) + " steps"
                                     : "Job: finished " + std::to_string(done) + " steps");
}

}  // namespace demo
