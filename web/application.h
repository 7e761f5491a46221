// One browser page load: the widget tree, its title and style sheets, the
// message bundle, and the ways code reaches the browser (updates, waiting
// for a person, pushing from other threads).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/container.h"
#include "web/environment.h"
#include "web/message_bundle.h"

namespace web {

class DialogLayer;
class Dialog;
class SessionLock;

class Application {
 public:
  explicit Application(const Environment& env);
  virtual ~Application();
  Application(const Application&) = delete;
  Application& operator=(const Application&) = delete;

  // The application whose session lock this thread holds (in an event
  // handler or under an UpdateLock), else null.
  static Application* instance();

  const Environment& environment() const { return env_; }
  const std::string& sessionId() const { return env_.sessionId(); }
  // Directories ending in '/' (or empty): the served files, the application's own files.
  std::string docRoot() const;
  std::string appRoot() const;

  Container* root() const { return root_.get(); }
  void setTitle(const std::string& title);
  const std::string& title() const { return title_; }
  void useStyleSheet(const std::string& url);
  const std::vector<std::string>& styleSheets() const { return styleSheets_; }

  MessageBundle& messageResourceBundle() { return bundle_; }
  // The bundle's text for key, or "??key??".
  std::string tr(const std::string& key) const;

  // Server push: with updates enabled, triggerUpdate() sends what changed at
  // once; otherwise it goes with the answer to the next browser event.
  void enableUpdates(bool enabled = true) { updatesEnabled_ = enabled; }
  bool updatesEnabled() const { return updatesEnabled_; }
  void triggerUpdate();
  // From a long handler: sends what changed and runs this session's events
  // that arrived meanwhile (a Cancel click, say).
  void processEvents();
  // Waits, without the session's lock, until done() holds (checked under the
  // lock) or the time is up, running this session's events as they come.
  // False when the session ends meanwhile, or on time-out with done() false.
  bool waitFor(const std::function<bool()>& done,
               std::chrono::steady_clock::duration timeout = std::chrono::hours(24 * 365));
  // Sleeps like waitFor: the page stays live and the lock is free.
  void sleepFor(std::chrono::steady_clock::duration d);
  // Ends the session once the current event is handled.
  void quit();
  bool isQuitting() const;

  // The session's lock taken from another thread; fails (false) for a
  // session being destroyed instead of waiting for it. Nests on a thread
  // that holds the lock already.
  class UpdateLock {
   public:
    explicit UpdateLock(Application* app);
    ~UpdateLock();
    UpdateLock(UpdateLock&& other) noexcept;
    UpdateLock(const UpdateLock&) = delete;
    UpdateLock& operator=(const UpdateLock&) = delete;
    UpdateLock& operator=(UpdateLock&&) = delete;
    explicit operator bool() const { return held_; }

   private:
    std::shared_ptr<SessionLock> lock_;
    Application* app_ = nullptr;
    Application* previous_ = nullptr;
    bool held_ = false;
    bool nested_ = false;  // this thread held the lock already
  };

  // Toolkit internals used by widgets.
  DialogLayer& dialogs() const { return *dialogs_; }
  void focusWidget(const Widget& w);
  void addCommand(std::string json);  // a JSON array sent after the widget updates
  void disposeLater(std::unique_ptr<Widget> widget);
  void destroyDisposed();
  Session& session() const { return *session_; }

 private:
  friend class Session;
  static void setInstance(Application* app);

  Environment env_;
  Session* session_;
  std::shared_ptr<Session> ownSession_;  // an application made without a server
  std::unique_ptr<Container> root_;
  std::unique_ptr<DialogLayer> dialogs_;
  std::string title_;
  std::vector<std::string> styleSheets_;
  MessageBundle bundle_;
  std::vector<std::unique_ptr<Widget>> disposed_;
  std::vector<std::string> commands_;
  bool updatesEnabled_ = false;
};

// The current application's text for key ("??key??" without one).
std::string tr(const std::string& key);

// Sets Application::instance() for a scope.
class ApplicationScope {
 public:
  explicit ApplicationScope(Application* app);
  ~ApplicationScope();
  ApplicationScope(const ApplicationScope&) = delete;
  ApplicationScope& operator=(const ApplicationScope&) = delete;

 private:
  Application* previous_;
};

}  // namespace web
