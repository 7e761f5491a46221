// A small application for the browser tests and benchmarks: a click
// counter, a text pushed from the back end, a Yes/No question, a long job
// with progress and Cancel and a line edit.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "web/application.h"
#include "web/line_edit.h"
#include "web/text.h"

namespace demo {

class DemoApp : public web::Application {
 public:
  explicit DemoApp(const web::Environment& env);
  ~DemoApp() override;

  // From the back end, under this session's update lock.
  void push(const std::string& text);

  // Every live session, as the real application keeps them.
  static std::mutex listMutex;
  static std::vector<DemoApp*> list;

 private:
  void runJob();

  web::Text* clicks_;
  web::Text* pushed_;
  web::Text* answer_;
  web::Text* job_;
  web::LineEdit* edit_;
  int count_ = 0;
};

}  // namespace demo
