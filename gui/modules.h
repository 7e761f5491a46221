// The process-wide back end and the event loop that carries its events into
// every browser session. Thread-safe: create() and getInstance() from any
// thread; the event loop and handleModuleEvent() on the main thread only.
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
#include "modules/unique_fd.h"

class Modules {
 public:
  // Creates the one instance from the configuration (main does, once, just
  // after the web server starts); throws what the back end's start throws.
  static Modules* create(const Nodes::Config& config);
  // The instance; a browser session that opens before create() has
  // finished waits for it. Throws "modules is NULL" when create() failed.
  static Modules* getInstance();
  virtual ~Modules();
  Modules(const Modules&) = delete;
  Modules& operator=(const Modules&) = delete;

  int getEfd() const { return epollfd_.get(); }
  void addFdToEpollList(int fd);
  template <class M>
  void addEventFdFromModule(M* module);
  // One event: the owning module consumes it; if it changed something, it
  // is posted into the queue of every session live at that moment. Never
  // waits for a session.
  void handleModuleEvent(int fd);
  // Runs until the shutdown flag is seen.
  void runEventLoop();

  // Owned; destroyed in reverse order (deployment first, nodes last).
  std::unique_ptr<Nodes> nodes;
  std::unique_ptr<Geometry> geometry;
  std::unique_ptr<Settings> settings;
  std::unique_ptr<Deployment> deployment;

 private:
  explicit Modules(const Nodes::Config& config);

  std::map<int, Module*> moduleMap_;
  std::map<int, std::string> eventMap_;
  int noOfModules_ = 0;
  trl::UniqueFd epollfd_;
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
