#include "web/session.h"

#include <unistd.h>

#include <iostream>

#include "web/application.h"
#include "web/dialog.h"
#include "web/file_upload.h"
#include "web/handler_pool.h"
#include "web/page.h"
#include "web/protocol.h"
#include "web/session_lock.h"

namespace web {

Session::Session(std::string id, Environment env, HandlerPool* pool)
    : id_(std::move(id)), env_(std::move(env)), pool_(pool), lock_(std::make_shared<SessionLock>()),
      since_(Clock::now()) {
  env_.sessionId_ = id_;
}

Session::~Session() {
  // A session made only for one application (no server) does not own it.
  if (app_) teardown();
}

bool Session::belongsTo(const std::string& token) const {
  // Compared in constant time: how long a refusal takes tells nothing
  // about the token.
  if (token.size() != signIn_.size()) return false;
  unsigned char differ = 0;
  for (std::size_t i = 0; i < token.size(); ++i)
    differ |= static_cast<unsigned char>(token[i] ^ signIn_[i]);
  return differ == 0;
}

namespace {

// The answer to a page load, given exactly once: a session ended before its
// application was built (evicted, or the server stopping) drops its queued
// start, and the page load must still be answered.
class PageAnswer {
 public:
  explicit PageAnswer(std::function<void(bool, std::string)> done) : done_(std::move(done)) {}
  ~PageAnswer() {
    if (done_) done_(false, {});
  }
  PageAnswer(const PageAnswer&) = delete;
  PageAnswer& operator=(const PageAnswer&) = delete;
  void operator()(bool ok, std::string page) {
    auto done = std::move(done_);
    done_ = nullptr;
    done(ok, std::move(page));
  }

 private:
  std::function<void(bool, std::string)> done_;
};

}  // namespace

void Session::start(ApplicationFactory factory, std::function<void(bool, std::string)> onDone) {
  auto done = std::make_shared<PageAnswer>(std::move(onDone));
  post([this, factory = std::move(factory), done] {
    Environment env = env_;
    env.session_ = this;
    std::unique_ptr<Application> app;
    try {
      ApplicationScope none(nullptr);
      app = factory(env);
    } catch (const std::exception& e) {
      std::cerr << "[web] creating the application failed: " << e.what() << std::endl;
    }
    if (!app) {
      (*done)(false, {});
      return;
    }
    app_ = std::move(app);
    ApplicationScope scope(app_.get());
    std::string page = renderPage();
    {
      std::lock_guard<std::mutex> lk(linkMutex_);
      since_ = Clock::now();
    }
    (*done)(true, std::move(page));
  });
}

void Session::post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lk(queueMutex_);
    if (tornDown_) return;
    queue_.push_back(std::move(task));
  }
  queueCv_.notify_all();
  if (pool_) {
    schedule();
    return;
  }
  // No pool: run here, unless this thread is inside a handler of this
  // session already (the outer loop runs it next).
  if (lock_->heldByThisThread()) return;
  if (!lock_->lock()) return;
  std::function<void()> next;
  while (pop(next)) runOutermost(next);
  lock_->unlock();
}

void Session::runOutermost(const std::function<void()>& task) {
  {
    std::lock_guard<std::mutex> lk(queueMutex_);
    handlerRunning_ = true;
  }
  {
    ApplicationScope scope(app());
    runTask(task);
    afterTask();
  }
  {
    std::lock_guard<std::mutex> lk(queueMutex_);
    handlerRunning_ = false;
  }
  handlerDone_.notify_all();
}

void Session::schedule() {
  {
    std::lock_guard<std::mutex> lk(queueMutex_);
    if (scheduled_ || queue_.empty()) return;
    scheduled_ = true;
  }
  pool_->post([self = shared_from_this()] { self->runOne(); });
}

bool Session::pop(std::function<void()>& task) {
  std::lock_guard<std::mutex> lk(queueMutex_);
  if (queue_.empty()) return false;
  task = std::move(queue_.front());
  queue_.pop_front();
  return true;
}

void Session::runOne() {
  if (!lock_->lock()) {  // dying: nothing more runs
    std::lock_guard<std::mutex> lk(queueMutex_);
    queue_.clear();
    scheduled_ = false;
    return;
  }
  std::function<void()> task;
  if (pop(task)) runOutermost(task);
  lock_->unlock();
  {
    std::lock_guard<std::mutex> lk(queueMutex_);
    if (queue_.empty()) {
      scheduled_ = false;
      return;
    }
  }
  // One event per turn, so busy sessions take turns on the pool.
  pool_->post([self = shared_from_this()] { self->runOne(); });
}

void Session::runTask(const std::function<void()>& task) {
  try {
    task();
  } catch (const std::exception& e) {
    std::cerr << "[web] session " << id_.substr(0, 8) << ": event handler failed: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "[web] session " << id_.substr(0, 8) << ": event handler failed" << std::endl;
  }
}

void Session::afterTask() {
  Application* a = app();
  if (!a) return;
  try {
    flush();
  } catch (const std::exception& e) {
    std::cerr << "[web] session " << id_.substr(0, 8) << ": update failed: " << e.what() << std::endl;
  }
  a->destroyDisposed();
}

void Session::deliver(Event event) {
  post([this, e = std::move(event)] { handle(e); });
}

void Session::handle(const Event& e) {
  Application* app = this->app();
  if (!app) return;
  if (e.type == "quit") {
    requestQuit();
    return;
  }
  Widget* w = app->root()->find(e.target);
  if (!w) w = app->dialogs().find(e.target);
  // Only what the person can see and use takes events; a modal dialog
  // takes them all.
  if (!w || !w->isVisible() || !w->isEnabled() || !app->dialogs().accepts(*w)) return;
  w->handleEvent(e);
}

void Session::connect(std::shared_ptr<Channel> channel, std::uint64_t place) {
  if (tornDown_) {  // found just before it ended: nothing to talk to
    channel->close();
    return;
  }
  std::shared_ptr<Channel> old;
  bool reconnect = false;
  bool stale = false;
  {
    std::lock_guard<std::mutex> lk(linkMutex_);
    if (place < connectedPlace_) {
      stale = true;  // a newer socket is in place already
    } else {
      connectedPlace_ = place;
      old = std::move(channel_);
      channel_ = channel;
      reconnect = everConnected_;
      everConnected_ = true;
    }
  }
  if (stale) {
    channel->close();
    return;
  }
  if (old) old->close();
  // After a reconnect the page may have missed anything: send it whole.
  post([this, reconnect] {
    if (reconnect)
      sendPage();
    else
      flush();
  });
}

void Session::disconnect(const Channel* channel) {
  std::lock_guard<std::mutex> lk(linkMutex_);
  if (channel_.get() != channel) return;
  channel_.reset();
  since_ = Clock::now();
}

bool Session::connected() const {
  std::lock_guard<std::mutex> lk(linkMutex_);
  return channel_ != nullptr;
}

bool Session::waiting(Clock::time_point& since) const {
  if (dying()) return false;
  std::lock_guard<std::mutex> lk(linkMutex_);
  since = since_;
  return !channel_;
}

bool Session::expired(Clock::time_point now, Clock::duration grace) const {
  std::lock_guard<std::mutex> lk(linkMutex_);
  return !channel_ && now - since_ >= grace;
}

void Session::flush() {
  Application* app = this->app();
  if (!app) return;
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard<std::mutex> lk(linkMutex_);
    channel = channel_;
  }
  // Without a page to talk to, the marks stay until one connects.
  if (!channel) return;
  std::vector<Widget*> dirty;
  app->root()->collectDirty(dirty);
  app->dialogs().collectDirty(dirty);
  Update u;
  for (Widget* w : dirty) u.widgets.emplace_back(w->id(), w->html());
  u.commands.swap(app->commands_);
  if (u.widgets.empty() && u.commands.empty()) return;
  channel->send(encodeUpdate(u));
}

void Session::sendPage() {
  Application* app = this->app();
  if (!app) return;
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard<std::mutex> lk(linkMutex_);
    channel = channel_;
  }
  if (!channel) return;
  Update u;
  u.page = true;
  u.widgets.emplace_back(app->root()->id(), app->root()->html());
  u.widgets.emplace_back(app->dialogs().id(), app->dialogs().html());
  u.commands.push_back(command({"title", app->title()}));
  for (auto& c : app->commands_) u.commands.push_back(std::move(c));
  app->commands_.clear();
  channel->send(encodeUpdate(u));
}

std::string Session::renderPage() {
  Application* app = this->app();
  app->commands_.clear();  // the page itself is the state
  std::string body = app->root()->html();
  body += app->dialogs().html();
  return renderDocument(app->title(), app->styleSheets(), id_, body, icon_);
}

void Session::processEvents() {
  flush();
  std::function<void()> task;
  while (pop(task)) {
    runTask(task);
    flush();
  }
}

bool Session::waitFor(const std::function<bool()>& done, Clock::time_point deadline) {
  // Only a handler (or an update lock holder) of this session may wait: it
  // runs the session's events, which needs the lock.
  if (!lock_->heldByThisThread()) return done();
  for (;;) {
    if (done()) return true;
    if (lock_->dying()) return false;
    flush();
    std::function<void()> task;
    bool timedOut = false;
    const int depth = lock_->releaseAll();
    {
      HandlerPool::Blocking blocking;
      std::unique_lock<std::mutex> lk(queueMutex_);
      // Wakes now and then: code under an UpdateLock may settle done().
      const auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(250));
      queueCv_.wait_until(lk, until, [&] { return !queue_.empty() || lock_->dying(); });
      if (!queue_.empty()) {
        task = std::move(queue_.front());
        queue_.pop_front();
      }
      timedOut = Clock::now() >= deadline;
    }
    lock_->restore(depth);
    if (task) {
      runTask(task);
      continue;
    }
    if (timedOut) return done();
  }
}

void Session::requestQuit() {
  if (quitRequested_) return;
  quitRequested_ = true;
  if (onQuit_) onQuit_();
}

void Session::beginTeardown() {
  lock_->markDying();
  { std::lock_guard<std::mutex> lk(queueMutex_); }
  queueCv_.notify_all();
}

bool Session::dying() const { return lock_->dying(); }

void Session::teardown() {
  if (tornDown_.exchange(true)) return;
  beginTeardown();
  std::shared_ptr<Channel> channel;
  {
    std::lock_guard<std::mutex> lk(linkMutex_);
    channel = std::move(channel_);
  }
  {
    // A handler waiting for a person has given up the lock but is still
    // using the application: it returns now (dying), and then it goes.
    HandlerPool::Blocking blocking;
    std::unique_lock<std::mutex> lk(queueMutex_);
    handlerDone_.wait(lk, [&] { return !handlerRunning_; });
  }
  {
    SessionLockGuard guard(*lock_);
    ApplicationScope scope(app_.get());
    std::unique_ptr<Application> app = std::move(app_);
    try {
      app.reset();
    } catch (...) {
      std::cerr << "[web] destroying the application failed" << std::endl;
    }
  }
  {
    std::lock_guard<std::mutex> lk(queueMutex_);
    queue_.clear();
  }
  if (channel) channel->close();
}

std::optional<Session::Download> Session::download(const std::string& resourceId) const {
  std::lock_guard<std::mutex> lk(tableMutex_);
  const auto it = downloads_.find(resourceId);
  if (it == downloads_.end()) return std::nullopt;
  return it->second;
}

std::string Session::addDownload(Download d) {
  std::lock_guard<std::mutex> lk(tableMutex_);
  const std::string rid = std::to_string(++nextDownload_);
  downloads_[rid] = std::move(d);
  return rid;
}

void Session::updateDownload(const std::string& resourceId, Download d) {
  std::lock_guard<std::mutex> lk(tableMutex_);
  downloads_[resourceId] = std::move(d);
}

void Session::removeDownload(const std::string& resourceId) {
  std::lock_guard<std::mutex> lk(tableMutex_);
  downloads_.erase(resourceId);
}

void Session::expectUpload(const std::string& widgetId) {
  std::lock_guard<std::mutex> lk(tableMutex_);
  ++uploads_[widgetId];
}

bool Session::takeUpload(const std::string& widgetId) {
  std::lock_guard<std::mutex> lk(tableMutex_);
  const auto it = uploads_.find(widgetId);
  if (it == uploads_.end()) return false;
  if (--it->second == 0) uploads_.erase(it);
  return true;
}

namespace {

FileUpload* findUpload(Application* app, const std::string& widgetId) {
  if (!app) return nullptr;
  FileUpload* found = nullptr;
  forEachWidget(*app->root(), [&](Widget& w) {
    if (!found && w.id() == widgetId) found = dynamic_cast<FileUpload*>(&w);
  });
  return found;
}

}  // namespace

void Session::uploadDone(const std::string& widgetId, const std::string& spoolFile, const std::string& clientName,
                         std::int64_t size) {
  post([this, widgetId, spoolFile, clientName, size] {
    if (FileUpload* fu = findUpload(app(), widgetId))
      fu->uploadFinished(spoolFile, clientName, size);
    else
      ::unlink(spoolFile.c_str());  // nobody wants it any more
  });
}

void Session::uploadTooLarge(const std::string& widgetId, std::int64_t size) {
  post([this, widgetId, size] {
    if (FileUpload* fu = findUpload(app(), widgetId)) fu->uploadTooLarge(size);
  });
}

}  // namespace web
