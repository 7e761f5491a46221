#include "web/application.h"

#include "web/dialog.h"
#include "web/protocol.h"
#include "web/session.h"
#include "web/session_lock.h"

namespace web {

namespace {
thread_local Application* currentApplication = nullptr;

std::string withSlash(const std::string& dir) {
  if (dir.empty() || dir.back() == '/') return dir;
  return dir + "/";
}
}  // namespace

Application* Application::instance() { return currentApplication; }
void Application::setInstance(Application* app) { currentApplication = app; }

ApplicationScope::ApplicationScope(Application* app) : previous_(currentApplication) { currentApplication = app; }
ApplicationScope::~ApplicationScope() { currentApplication = previous_; }

Application::Application(const Environment& env)
    : env_(env), session_(env.session_), root_(std::make_unique<Container>()),
      dialogs_(std::make_unique<DialogLayer>()) {
  if (!session_) {
    ownSession_ = std::make_shared<Session>(std::string(), env, nullptr);
    ownSession_->borrowed_ = this;
    session_ = ownSession_.get();
  }
  root_->setStyleClass("w-root");
  // Widgets built while the derived application is constructed belong here.
  setInstance(this);
}

Application::~Application() {
  root_.reset();
  dialogs_.reset();
  disposed_.clear();
  if (ownSession_) ownSession_->borrowed_ = nullptr;
  if (currentApplication == this) currentApplication = nullptr;
}

std::string Application::docRoot() const { return withSlash(env_.docRoot()); }
std::string Application::appRoot() const { return withSlash(env_.appRoot()); }

void Application::setTitle(const std::string& title) {
  if (title_ == title) return;
  title_ = title;
  addCommand(command({"title", title}));
}

void Application::useStyleSheet(const std::string& url) {
  for (const auto& s : styleSheets_)
    if (s == url) return;
  styleSheets_.push_back(url);
  addCommand(command({"css", url}));
}

std::string Application::tr(const std::string& key) const { return bundle_.tr(key); }

std::string tr(const std::string& key) {
  if (Application* app = Application::instance()) return app->tr(key);
  return "??" + key + "??";
}

void Application::triggerUpdate() {
  if (updatesEnabled_) session_->flush();
}

void Application::processEvents() { session_->processEvents(); }

bool Application::waitFor(const std::function<bool()>& done, std::chrono::steady_clock::duration timeout) {
  const auto now = std::chrono::steady_clock::now();
  const auto limit = std::chrono::steady_clock::time_point::max() - now;
  return session_->waitFor(done, timeout > limit ? std::chrono::steady_clock::time_point::max() : now + timeout);
}

void Application::sleepFor(std::chrono::steady_clock::duration d) {
  session_->waitFor([] { return false; }, std::chrono::steady_clock::now() + d);
}

void Application::quit() { session_->requestQuit(); }
bool Application::isQuitting() const { return session_->quitting(); }

void Application::focusWidget(const Widget& w) { addCommand(command({"focus", w.id()})); }

void Application::addCommand(std::string json) {
  // Commands wait for a page; a page that never comes must not grow them.
  if (commands_.size() < 256) commands_.push_back(std::move(json));
}

void Application::disposeLater(std::unique_ptr<Widget> widget) { disposed_.push_back(std::move(widget)); }

void Application::destroyDisposed() {
  // Destructors may dispose more; loop until none are left.
  while (!disposed_.empty()) {
    std::vector<std::unique_ptr<Widget>> batch;
    batch.swap(disposed_);
  }
}

Application::UpdateLock::UpdateLock(Application* app) : app_(app) {
  if (!app) return;
  lock_ = app->session_->lock();
  nested_ = lock_->heldByThisThread();
  held_ = lock_->lock();
  if (held_) {
    previous_ = currentApplication;
    currentApplication = app;
  }
}

Application::UpdateLock::UpdateLock(UpdateLock&& other) noexcept
    : lock_(std::move(other.lock_)), app_(other.app_), previous_(other.previous_), held_(other.held_),
      nested_(other.nested_) {
  other.held_ = false;
}

Application::UpdateLock::~UpdateLock() {
  if (!held_) return;
  // Widgets removed under this lock go now, while it is still held.
  if (!nested_ && !lock_->dying()) app_->destroyDisposed();
  currentApplication = previous_;
  lock_->unlock();
}

}  // namespace web
