// One browser session: its application, its lock and event queue, its link
// to the page, and the downloads and uploads reachable with its id. The
// server's socket threads only call the thread-safe entry points marked
// below; everything that touches widgets runs under the session's lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "web/channel.h"
#include "web/environment.h"
#include "web/event.h"

namespace web {

class Application;
class HandlerPool;
class SessionLock;
class Widget;

using ApplicationFactory = std::function<std::unique_ptr<Application>(const Environment&)>;

class Session : public std::enable_shared_from_this<Session> {
 public:
  using Clock = std::chrono::steady_clock;

  // Without a pool every task runs at once on the calling thread (tests).
  Session(std::string id, Environment env, HandlerPool* pool);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  const std::string& id() const { return id_; }
  // The page's icon (a URL), set before start().
  void setPageIcon(std::string url) { icon_ = std::move(url); }
  // The sign-in the session belongs to (its cookie's token), set before
  // start(): its id is of no use with any other cookie.
  void setSignIn(std::string token) { signIn_ = std::move(token); }
  const std::string& signIn() const { return signIn_; }
  bool belongsTo(const std::string& token) const;

  // --- thread-safe entry points (any thread, never waits on a handler) ---
  // Builds the application (on the pool) and renders the whole page; done
  // gets the page, or false when the factory failed.
  void start(ApplicationFactory factory, std::function<void(bool ok, std::string page)> done);
  // A socket's place in line, taken when its handshake starts: a handshake
  // that finishes after a newer one is stale and is closed.
  std::uint64_t reserveConnection() { return ++connectionsReserved_; }
  void connect(std::shared_ptr<Channel> channel, std::uint64_t place);
  void connect(std::shared_ptr<Channel> channel) { connect(std::move(channel), reserveConnection()); }
  void disconnect(const Channel* channel);
  void deliver(Event event);
  void post(std::function<void()> task);
  bool connected() const;
  // Without its page's socket (never had one, or lost it); since when.
  bool waiting(Clock::time_point& since) const;
  const std::string& clientAddress() const { return env_.clientAddress(); }
  // Not connected for longer than grace (counted from the page or the last close).
  bool expired(Clock::time_point now, Clock::duration grace) const;
  // Marks the session dying: update locks fail, waits return.
  void beginTeardown();
  // Waits for a running handler, then destroys the application. Not from a
  // handler of this session.
  void teardown();
  bool dying() const;
  // Called (from a handler) when the application asks to end.
  void setQuitHandler(std::function<void()> onQuit) { onQuit_ = std::move(onQuit); }

  struct Download {
    std::string path, mimeType, fileName;
  };
  std::optional<Download> download(const std::string& resourceId) const;
  // An upload is taken only for a widget that asked for one.
  bool takeUpload(const std::string& widgetId);
  void uploadDone(const std::string& widgetId, const std::string& spoolFile, const std::string& clientName,
                  std::int64_t size);
  void uploadTooLarge(const std::string& widgetId, std::int64_t size);

  // --- under the session's lock ---
  Application* application() const { return app(); }
  const std::shared_ptr<SessionLock>& lock() const { return lock_; }
  // Sends the outermost changed widgets and queued commands.
  void flush();
  // Sends the whole page (after a reconnect).
  void sendPage();
  std::string renderPage();
  void processEvents();
  bool waitFor(const std::function<bool()>& done, Clock::time_point deadline);
  void requestQuit();
  bool quitting() const { return quitRequested_; }
  std::string addDownload(Download d);
  void updateDownload(const std::string& resourceId, Download d);
  void removeDownload(const std::string& resourceId);
  void expectUpload(const std::string& widgetId);
  void handle(const Event& event);

 private:
  void schedule();
  void runOne();
  bool pop(std::function<void()>& task);
  void runTask(const std::function<void()>& task);
  void runOutermost(const std::function<void()>& task);
  void afterTask();
  Application* app() const { return app_ ? app_.get() : borrowed_; }

  const std::string id_;
  Environment env_;
  std::string icon_;
  std::string signIn_;
  HandlerPool* const pool_;
  const std::shared_ptr<SessionLock> lock_;
  std::unique_ptr<Application> app_;
  Application* borrowed_ = nullptr;  // an application made without a server owns its session
  friend class Application;

  mutable std::mutex queueMutex_;
  std::condition_variable queueCv_;
  std::deque<std::function<void()>> queue_;
  bool scheduled_ = false;
  // A handler is on some thread's stack (maybe waiting without the lock):
  // teardown must wait for it, not only for the lock.
  bool handlerRunning_ = false;
  std::condition_variable handlerDone_;

  mutable std::mutex linkMutex_;
  std::shared_ptr<Channel> channel_;
  bool everConnected_ = false;
  std::uint64_t connectedPlace_ = 0;
  std::atomic<std::uint64_t> connectionsReserved_{0};
  Clock::time_point since_;  // page render or last close

  mutable std::mutex tableMutex_;
  std::map<std::string, Download> downloads_;
  std::map<std::string, int> uploads_;  // widget id -> pending uploads
  std::uint64_t nextDownload_ = 0;

  std::function<void()> onQuit_;
  bool quitRequested_ = false;
  std::atomic<bool> tornDown_{false};
};

}  // namespace web
