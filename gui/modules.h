// The process-wide back end and the event loop that carries its events into
// every browser session.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "modules/deployment.h"
#include "modules/error.h"
#include "modules/geometry.h"
#include "modules/module.h"
#include "modules/nodes.h"
#include "modules/settings.h"

class Trellium;

class Modules {
 public:
  // The one instance, created on first use (by the main thread or by the
  // first browser session, whichever comes first).
  static Modules* getInstance();
  virtual ~Modules();
  Modules(const Modules&) = delete;
  Modules& operator=(const Modules&) = delete;

  int getEfd() const { return epollfd_; }
  void addFdToEpollList(int fd);
  template <class M>
  void addEventFdFromModule(M* module);
  // One event: the owning module consumes it; if it changed something,
  // every session in the list hears of it.
  void handleModuleEvent(int fd, std::vector<Trellium*>* sessions);
  // Runs until the shutdown flag is seen.
  void runEventLoop();

  // Owned; destroyed in reverse order (deployment first, nodes last).
  std::unique_ptr<Nodes> nodes;
  std::unique_ptr<Geometry> geometry;
  std::unique_ptr<Settings> settings;
  std::unique_ptr<Deployment> deployment;

 private:
  Modules();

  std::map<int, Module*> moduleMap_;
  std::map<int, std::string> eventMap_;
  int noOfModules_ = 0;
  int epollfd_ = -1;
  std::vector<int> fdList;
};

template <class M>
void Modules::addEventFdFromModule(M* module) {
  for (const Eventfd& event : module->eventfds()) {
    TRL_LOG("Adding " << event.name);
    addFdToEpollList(event.fd);
    const auto known = moduleMap_.find(event.fd);
    if (known == moduleMap_.end()) {
      moduleMap_[event.fd] = module;
      eventMap_[event.fd] = event.name;
    } else if (known->second != module) {
      throw TRL_ERROR("Duplicate " + event.name);
    } else {
      TRL_LOG("fd " << event.name << "already added");
    }
  }
}
