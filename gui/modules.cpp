#include "gui/modules.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <mutex>

#include "gui/trellium.h"

Modules* Modules::getInstance() {
  static Modules instance;
  return &instance;
}

Modules::Modules() {
  nodes = std::make_unique<Nodes>();
  ++noOfModules_;
  geometry = std::make_unique<Geometry>();
  ++noOfModules_;
  settings = std::make_unique<Settings>();
  deployment = std::make_unique<Deployment>(*nodes);
  TRL_LOG("[Modules] Creating epoll fd");
  epollfd_ = epoll_create1(EPOLL_CLOEXEC);
  if (epollfd_ == -1) throw TRL_SYSERROR("epoll_create failed");
  addEventFdFromModule(nodes.get());
}

Modules::~Modules() {
  if (epollfd_ >= 0 && ::close(epollfd_) != 0) TRL_SYSWARN("close failed");
}

void Modules::addFdToEpollList(int fd) {
  epoll_event event{};
  event.events = EPOLLIN | EPOLLET;
  event.data.fd = fd;
  if (epoll_ctl(epollfd_, EPOLL_CTL_ADD, fd, &event) != 0) throw TRL_SYSERROR("epoll_ctl failed");
  fdList.push_back(fd);
}

void Modules::handleModuleEvent(int fd, std::vector<Trellium*>* sessions) {
  if (fd != nodes->historyUpdateFd())  // fires at every sample
    TRL_LOG("Event triggered. Handle module event " << eventMap_[fd]);
  const auto module = moduleMap_.find(fd);
  if (module == moduleMap_.end()) throw TRL_ERROR("fd " + std::to_string(fd) + "not found");
  if (!module->second->changed(fd)) return;
  const std::lock_guard<std::mutex> guard(Trellium::sessionListMutex);
  for (Trellium* session : *sessions) session->handleEvent(fd);
}

void Modules::runEventLoop() {
  epoll_event events[5];
  while (!Trellium::shutdownPending) {
    const int ready = epoll_wait(epollfd_, events, 5, -1);
    if (ready == -1 && errno == EINTR) continue;  // the loop condition sees the flag
    if (ready <= 0) throw TRL_SYSERROR("epoll_wait failed");
    for (int i = 0; i < ready; ++i) {
      if (!(events[i].events & EPOLLIN)) TRL_WARN("unexpected event flags " + std::to_string(events[i].events));
      handleModuleEvent(events[i].data.fd, &Trellium::sessionList);
    }
  }
  TRL_LOG("event handler shutdown flag set");
}
