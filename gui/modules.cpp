#include "gui/modules.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "gui/trellium.h"

namespace {

// Made on first use, after main has begun, so that it goes at exit before
// the session list its threads look at.
struct Instance {
  std::mutex mutex;
  std::condition_variable settled_signal;
  std::unique_ptr<Modules> modules;  // guarded by mutex
  bool settled = false;              // guarded by mutex: create() has finished
};

Instance& instance() {
  static Instance the;
  return the;
}

}  // namespace

Modules* Modules::create(const Nodes::Config& config) {
  Instance& the = instance();
  std::unique_ptr<Modules> made;
  try {
    made.reset(new Modules(config));
  } catch (...) {
    {
      const std::lock_guard<std::mutex> guard(the.mutex);
      the.settled = true;
    }
    the.settled_signal.notify_all();
    throw;
  }
  Modules* const modules = made.get();
  {
    const std::lock_guard<std::mutex> guard(the.mutex);
    if (!the.modules) the.modules = std::move(made);
    the.settled = true;
  }
  the.settled_signal.notify_all();
  if (made) throw TRL_ERROR("modules created twice");
  return modules;
}

Modules* Modules::getInstance() {
  Instance& the = instance();
  std::unique_lock<std::mutex> guard(the.mutex);
  the.settled_signal.wait(guard, [&] { return the.settled; });
  if (!the.modules) throw TRL_ERROR("modules is NULL");
  return the.modules.get();
}

Modules::Modules(const Nodes::Config& config) {
  nodes = std::make_unique<Nodes>(config);
  ++noOfModules_;
  geometry = std::make_unique<Geometry>();
  ++noOfModules_;
  settings = std::make_unique<Settings>();
  deployment = std::make_unique<Deployment>(*nodes);
  TRL_LOG("[Modules] Creating epoll fd");
  const int epollfd = epoll_create1(EPOLL_CLOEXEC);
  if (epollfd == -1) throw TRL_SYSERROR("epoll_create failed");
  epollfd_ = trl::UniqueFd(epollfd, "close failed");
  addEventFdFromModule(nodes.get());
}

// The epoll descriptor closes first, then the modules in reverse order of
// creation (members are destroyed in reverse order of declaration).
Modules::~Modules() = default;

void Modules::addFdToEpollList(int fd) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLET;
  event.data.fd = fd;
  if (epoll_ctl(epollfd_.get(), EPOLL_CTL_ADD, fd, &event) != 0) throw TRL_SYSERROR("epoll_ctl failed");
  fdList.push_back(fd);
}

void Modules::handleModuleEvent(int fd) {
  if (fd != nodes->historyUpdateFd())  // fires at every sample
    TRL_LOG("Event triggered. Handle module event " << eventMap_[fd]);
  const auto module = moduleMap_.find(fd);
  if (module == moduleMap_.end()) throw TRL_ERROR("fd " + std::to_string(fd) + "not found");
  if (!module->second->changed(fd)) return;
  for (const std::shared_ptr<web::Session>& session : Trellium::liveSessions()) Trellium::postEvent(*session, fd);
}

void Modules::runEventLoop() {
  epoll_event events[5];
  while (!Trellium::shutdownPending) {
    const int ready = epoll_wait(epollfd_.get(), events, 5, -1);
    if (ready == -1 && errno == EINTR) continue;  // the loop condition sees the flag
    if (ready <= 0) throw TRL_SYSERROR("epoll_wait failed");
    for (int i = 0; i < ready; ++i) {
      if (!(events[i].events & EPOLLIN)) TRL_WARN("unexpected event flags " + std::to_string(events[i].events));
      handleModuleEvent(events[i].data.fd);
    }
  }
  TRL_LOG("event handler shutdown flag set");
}
