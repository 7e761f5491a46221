// One browser session: the headline, the seven tabs with their help panels,
// the hand-over of the back-end modules and the delivery of their events.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "web/application.h"
#include "gui/helpable_container.h"

class Dashboard;
class DeploymentTab;
class FabricTab;
class Modules;
class MonitorControl;
class NodeConfig;
class SettingsTab;
class Wiring;
namespace web {
class Environment;
class VBoxLayout;
class PushButton;
class Session;
class TabWidget;
}  // namespace web

class Trellium : public web::Application {
 public:
  enum {
    DashboardTabIndex = 0,
    ConfigurationTabIndex = 1,
    MonitorTabIndex = 2,
    FabricGeometryTabIndex = 3,
    WiringTabIndex = 4,
    SettingsTabIndex = 5,
  };
  static constexpr int HELP_WIDTH = 180;
  static constexpr int WITH_HELP_WIDTH = 594;
  static constexpr int NO_HELP_WIDTH = 774;

  // Every live session, as a handle that cannot dangle: a session in
  // teardown refuses what is posted to it, so the list cannot hand the
  // event loop a session that is being destroyed. guarded by sessionListMutex
  static std::vector<std::weak_ptr<web::Session>> sessionList;
  static std::mutex sessionListMutex;
  // The live sessions, taken under the list's mutex and held outside it.
  static std::vector<std::shared_ptr<web::Session>> liveSessions();
  // Posts one back-end event into the session's own queue and returns at
  // once; the session runs handleEvent(fd) under its own lock when it is
  // free, after the events queued before it.
  static void postEvent(web::Session& session, int fd);
  static std::atomic<bool> shutdownPending;
  static std::atomic<bool> restart;

  explicit Trellium(const web::Environment& env);
  virtual ~Trellium();

  void initWidgets();
  void setModules(Modules* modules) { modules_ = modules; }
  void setTabModules();
  template <class Tab>
  void addListener(Tab* tab, int fd);
  // Runs on the session's own thread, under its lock (see postEvent).
  void handleEvent(int fd);
  void update();
  void hideHelp();
  void setNoOfNodes(int n);
  void setGeometry();
  void showConfiguration();
  void resetModules();
  std::string getStatusReport();

  web::TabWidget* tabWidget() const { return tabWidget_; }
  FabricTab* fabricTab() const { return fabricTab_; }
  MonitorControl* monitorControl() const { return monitorControl_; }
  NodeConfig* nodeConfig() const { return nodeConfig_; }
  Wiring* wiring() const { return wiring_; }
  SettingsTab* settingsTab() const { return settingsTab_; }
  DeploymentTab* deploymentTab() const { return deploymentTab_; }

 private:
  HelpableContainer* addTab(std::unique_ptr<HelpableContainer> tab, const std::string& title,
                            const std::string& helpKey);
  void addDashboardTab();
  void addConfigurationTab();
  void addMonitorTab();
  void addFabricTab();
  void addWiringTab();
  void addSettingsTab();
  void addDeploymentTab();
  // Who is signed in, with "Sign out" (when the server asks to sign in).
  void addUserBar(web::VBoxLayout* layout);

  Dashboard* dashboard_ = nullptr;
  Wiring* wiring_ = nullptr;
  MonitorControl* monitorControl_ = nullptr;
  NodeConfig* nodeConfig_ = nullptr;
  SettingsTab* settingsTab_ = nullptr;
  Modules* modules_ = nullptr;
  DeploymentTab* deploymentTab_ = nullptr;
  FabricTab* fabricTab_ = nullptr;
  web::TabWidget* tabWidget_ = nullptr;
  web::PushButton* toggleHelpBtn_ = nullptr;
  std::map<int, std::vector<HelpableContainer*>> fdMap_;
};

template <class Tab>
void Trellium::addListener(Tab* tab, int fd) {
  std::vector<HelpableContainer*>& listeners = fdMap_[fd];
  for (HelpableContainer* known : listeners)
    if (known == tab) return;
  listeners.push_back(tab);
}

// The web server's factory: one session per page load.
std::unique_ptr<web::Application> createApplication(const web::Environment& env);
