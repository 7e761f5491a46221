// A session without a server: the application runs on the test's thread and
// what it would send to the browser is recorded, decoded.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "web/application.h"
#include "web/handler_pool.h"
#include "web/protocol.h"
#include "web/session.h"

namespace web::test {

class Recorder : public Channel {
 public:
  void send(std::string message) override;
  void close() override;
  std::vector<Update> updates() const;
  std::size_t count() const;
  void clear();
  bool closed() const;

 private:
  mutable std::mutex m_;
  std::vector<std::string> messages_;
  bool closed_ = false;
};

class TestPage {
 public:
  using Builder = std::function<void(Application&)>;
  // Builds an application and runs build(app) inside it, then connects.
  // With a pool, handlers run on its threads as in the server.
  explicit TestPage(Builder build = {}, HandlerPool* pool = nullptr);
  // An application made by the factory, as the server's entry point makes it.
  TestPage(HandlerPool* pool, const ApplicationFactory& factory);
  ~TestPage();

  Application& app() const { return *session_->application(); }
  Session& session() const { return *session_; }
  Recorder& recorder() const { return *recorder_; }
  const std::string& firstPage() const { return page_; }

  // Runs fn as an event handler would (lock held, instance set), then the
  // changes go out like after any event.
  void run(const std::function<void()>& fn);
  // run() and wait until fn has run (bounded: throws after 10 s).
  void runAndWait(const std::function<void()>& fn);
  // A browser event for the widget.
  void event(const Widget& w, const std::string& type, const std::string& value = {}, const std::string& arg = {});
  void event(const Event& e);
  // An event for a widget known by its id (which may name no widget).
  void event(const std::string& target, const std::string& type);
  // The updates sent since the last call.
  std::vector<Update> take();
  // Ids of the widgets sent since the last call.
  std::vector<std::string> sentIds();
  // Whether a widget sent since the last take() carries the text.
  bool sent(const std::string& text) const;

 private:
  std::shared_ptr<Session> session_;
  std::shared_ptr<Recorder> recorder_;
  std::string page_;
};

}  // namespace web::test
