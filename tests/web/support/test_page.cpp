#include "tests/web/support/test_page.h"

#include <future>
#include <stdexcept>

namespace web::test {

void Recorder::send(std::string message) {
  std::lock_guard<std::mutex> lk(m_);
  messages_.push_back(std::move(message));
}

void Recorder::close() {
  std::lock_guard<std::mutex> lk(m_);
  closed_ = true;
}

std::vector<Update> Recorder::updates() const {
  std::lock_guard<std::mutex> lk(m_);
  std::vector<Update> out;
  for (const auto& m : messages_) {
    auto u = decodeUpdate(m);
    if (!u) throw std::runtime_error("undecodable update: " + m);
    out.push_back(std::move(*u));
  }
  return out;
}

std::size_t Recorder::count() const {
  std::lock_guard<std::mutex> lk(m_);
  return messages_.size();
}

void Recorder::clear() {
  std::lock_guard<std::mutex> lk(m_);
  messages_.clear();
}

bool Recorder::closed() const {
  std::lock_guard<std::mutex> lk(m_);
  return closed_;
}

TestPage::TestPage(Builder build, HandlerPool* pool)
    : TestPage(pool, [&build](const Environment& env) {
        auto app = std::make_unique<Application>(env);
        if (build) build(*app);
        return app;
      }) {}

TestPage::TestPage(HandlerPool* pool, const ApplicationFactory& factory)
    : session_(std::make_shared<Session>("0123456789abcdef0123456789abcdef", Environment(), pool)),
      recorder_(std::make_shared<Recorder>()) {
  std::promise<bool> started;
  session_->start(
      factory,
      [&](bool ok, std::string page) {
        page_ = std::move(page);
        started.set_value(ok);
      });
  auto result = started.get_future();
  if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready || !result.get())
    throw std::runtime_error("test application did not start");
  session_->connect(recorder_);
  recorder_->clear();
}

TestPage::~TestPage() { session_->teardown(); }

void TestPage::run(const std::function<void()>& fn) { session_->post(fn); }

void TestPage::runAndWait(const std::function<void()>& fn) {
  auto done = std::make_shared<std::promise<void>>();
  auto future = done->get_future();
  session_->post([fn, done] {
    fn();
    done->set_value();
  });
  if (future.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
    throw std::runtime_error("handler did not run within 10 s");
}

void TestPage::event(const Widget& w, const std::string& type, const std::string& value, const std::string& arg) {
  Event e;
  e.type = type;
  e.target = w.id();
  if (!value.empty() || type == "change") e.value = value;
  e.arg = arg;
  event(e);
}

void TestPage::event(const Event& e) { session_->deliver(e); }

void TestPage::event(const std::string& target, const std::string& type) {
  Event e;
  e.type = type;
  e.target = target;
  event(e);
}

std::vector<Update> TestPage::take() {
  auto u = recorder_->updates();
  recorder_->clear();
  return u;
}

std::vector<std::string> TestPage::sentIds() {
  std::vector<std::string> ids;
  for (const auto& u : take())
    for (const auto& [id, html] : u.widgets) ids.push_back(id);
  return ids;
}

bool TestPage::sent(const std::string& text) const {
  for (const auto& u : recorder_->updates())
    for (const auto& [id, html] : u.widgets)
      if (html.find(text) != std::string::npos) return true;
  return false;
}

}  // namespace web::test
