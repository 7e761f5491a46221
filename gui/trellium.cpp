#include "gui/trellium.h"

#include <algorithm>
#include <csignal>
#include <sstream>

#include "web/box_layout.h"
#include "web/connection_status.h"
#include "gui/dashboard.h"
#include "gui/deployment_tab.h"
#include "gui/fabric.h"
#include "modules/audit_log.h"
#include "modules/error.h"
#include "modules/version.h"
#include "gui/help.h"
#include "web/image.h"
#include "gui/modules.h"
#include "gui/monitor_control.h"
#include "gui/chart_container.h"
#include "gui/monitor_table.h"
#include "gui/node_config.h"
#include "gui/settings_tab.h"
#include "gui/wiring.h"
#include "web/panel.h"
#include "web/push_button.h"
#include "web/session.h"
#include "web/sign_out_button.h"
#include "web/tab_widget.h"
#include "web/text.h"
#include "web/text_format.h"
#include "web/tool_bar.h"

std::vector<std::weak_ptr<web::Session>> Trellium::sessionList;
std::mutex Trellium::sessionListMutex;
std::atomic<bool> Trellium::shutdownPending{false};
std::atomic<bool> Trellium::restart{true};

namespace {
const char* const divider = "----------------------------\n";
const std::size_t audit_lines_in_report = 100;
}

Trellium::Trellium(const web::Environment& env) : web::Application(env) {
  setTitle("Trellium v" TRELLIUM_VERSION);
  useStyleSheet("trellium.css");
  messageResourceBundle().use(appRoot() + "trellium", false);
}

Trellium::~Trellium() {
  const std::lock_guard<std::mutex> guard(sessionListMutex);
  TRL_LOG("Number of sessions: " << sessionList.size());
  const web::Session* const mine = &session();
  sessionList.erase(std::remove_if(sessionList.begin(), sessionList.end(),
                                   [mine](const std::weak_ptr<web::Session>& s) {
                                     const std::shared_ptr<web::Session> live = s.lock();
                                     return !live || live.get() == mine;
                                   }),
                    sessionList.end());
  TRL_LOG("----------------Trellium session ended---------------------");
  TRL_LOG("Number of sessions: " << sessionList.size());
}

void Trellium::initWidgets() {
  auto* layout = root()->setLayout(std::make_unique<web::VBoxLayout>());
  layout->setSpacing(0);
  layout->setContentAlignment(web::AlignTop | web::AlignCenter);
  root()->setOverflow(web::Overflow::Auto, web::Vertical);
  addUserBar(layout);
  layout->addWidget(std::make_unique<web::Image>("images/headline.png", "Trellium"), 0, web::AlignCenter);

  // The tabs keep their widths as a minimum and take the window's width
  // above it (tables and charts use it); a narrower window scrolls.
  auto tabs = std::make_unique<web::TabWidget>();
  tabWidget_ = tabs.get();
  tabWidget_->setStyleClass("trl-tabs");
  toggleHelpBtn_ = tabWidget_->bottomToolBar()->addButton("Hide help");
  toggleHelpBtn_->clicked().connect([this] { hideHelp(); });
  tabWidget_->bottomToolBar()->addNew<web::ConnectionStatus>();

  addDashboardTab();
  addConfigurationTab();
  addMonitorTab();
  addFabricTab();
  addWiringTab();
  addSettingsTab();
  addDeploymentTab();
  tabWidget_->setCurrentIndex(DashboardTabIndex);
  // Centred by its style's auto margins, which (unlike centring alignment)
  // never push it past the window's left edge.
  layout->addWidget(std::move(tabs), 0);
}

void Trellium::addUserBar(web::VBoxLayout* layout) {
  const std::string& user = environment().user();
  if (user.empty()) return;
  auto bar = std::make_unique<web::Container>();
  bar->setStyleClass("trl-userbar");
  bar->addNew<web::Text>("Signed in as <b>" + web::escapeHtml(user) + "</b>", web::TextFormat::Markup)
      ->setStyleClass("trl-user");
  bar->addNew<web::SignOutButton>();
  layout->addWidget(std::move(bar), 0);
}

HelpableContainer* Trellium::addTab(std::unique_ptr<HelpableContainer> tab, const std::string& title,
                                    const std::string& helpKey) {
  if (!tabWidget_) throw TRL_ERROR("tabWidget_ is NULL");
  auto page = std::make_unique<web::Container>();
  auto* layout = page->setLayout(std::make_unique<web::HBoxLayout>());
  layout->setContentAlignment(web::AlignTop);
  tab->resize(WITH_HELP_WIDTH, web::Length::Auto());
  tab->setMinimumSize(WITH_HELP_WIDTH, web::Length::Auto());
  // The tab, not its help, takes the width above the minimum.
  HelpableContainer* const added = layout->addWidget(std::move(tab), 1);
  auto help = std::make_unique<Help>();
  added->setHelp(help.get());
  help->setMessage(helpKey);
  help->resize(HELP_WIDTH, web::Length::Auto());
  help->hidden().connect([this] { hideHelp(); });
  layout->addWidget(std::move(help), 0);
  tabWidget_->addTab(std::move(page), title)->setAutoScrollBars(false);
  return added;
}

void Trellium::addDashboardTab() {
  TRL_LOG("Adding dashboard tab");
  auto dashboard = std::make_unique<Dashboard>(this);
  dashboard_ = dashboard.get();
  addTab(std::move(dashboard), "Dashboard", "dashboard");
}

void Trellium::addConfigurationTab() {
  TRL_LOG("Adding configuration tab");
  auto tab = std::make_unique<NodeConfig>(this);
  nodeConfig_ = tab.get();
  addTab(std::move(tab), "Servers", "configuration");
}

void Trellium::addMonitorTab() {
  auto tab = std::make_unique<MonitorControl>(this);
  monitorControl_ = tab.get();
  addTab(std::move(tab), "Monitoring", "monitor");
}

void Trellium::addFabricTab() {
  TRL_LOG("Adding fabric tab");
  auto tab = std::make_unique<FabricTab>(this);
  fabricTab_ = tab.get();
  addTab(std::move(tab), "Fabric geometry", "fabric-geometry");
}

void Trellium::addWiringTab() {
  TRL_LOG("Adding wiring tab");
  auto tab = std::make_unique<Wiring>(this);
  wiring_ = tab.get();
  addTab(std::move(tab), "Wiring", "wiring");
}

void Trellium::addSettingsTab() {
  TRL_LOG("Adding settings tab");
  auto tab = std::make_unique<SettingsTab>(this);
  settingsTab_ = tab.get();
  addTab(std::move(tab), "Settings", "settings");
}

void Trellium::addDeploymentTab() {
  TRL_LOG("Adding deployment tab");
  auto tab = std::make_unique<DeploymentTab>(this);
  deploymentTab_ = tab.get();
  addTab(std::move(tab), "Deployment", "os-deployment");
}

void Trellium::setTabModules() {
  TRL_LOG("[Trellium] Setting modules to GUI tabs");
  const std::pair<const void*, const char*> required[] = {
      {modules_, "modules_"},       {dashboard_, "dashboard_"},   {monitorControl_, "monitorControl_"},
      {nodeConfig_, "nodeConfig_"}, {fabricTab_, "fabricTab_"},   {wiring_, "wiring_"},
      {settingsTab_, "settingsTab_"}, {deploymentTab_, "deploymentTab_"}};
  for (const auto& [pointer, name] : required)
    if (!pointer) throw TRL_ERROR(std::string(name) + " is NULL");

  Nodes& nodes = *modules_->nodes;
  fabricTab_->generalConfigData().geometry = modules_->geometry.get();
  fabricTab_->generalConfigData().nodes = &nodes;
  wiring_->wiringTableData().geometry = modules_->geometry.get();
  wiring_->nodeTableData().nodes = &nodes;
  nodeConfig_->nodeTableData().nodes = &nodes;
  deploymentTab_->deploymentData().deployment = modules_->deployment.get();
  settingsTab_->settingsData().settings = modules_->settings.get();
  settingsTab_->settingsData().nodes = &nodes;
  dashboard_->setModule(&nodes);
  dashboard_->setModule(modules_->settings.get());
  monitorControl_->setModule(&nodes);
  const int leases = nodes.leasesModifiedFd(), table = nodes.nodeChangedFd(), power = nodes.powerStatusChangedFd();
  const int history = nodes.historyUpdateFd();
  for (const int fd : {leases, table, power}) addListener(dashboard_, fd);
  for (const int fd : {leases, table}) addListener(monitorControl_, fd);
  addListener(monitorControl_->chartContainer(), history);
  // The table also hears power status changes: a controller that stops
  // answering is said at once, not one sampling round later.
  for (const int fd : {history, power}) addListener(monitorControl_->monitorTable(), fd);
  for (const int fd : {leases, table, power}) addListener(nodeConfig_, fd);
  for (const int fd : {leases, table}) addListener(wiring_, fd);
  for (const int fd : {leases, table}) addListener(fabricTab_, fd);
  for (const int fd : {leases, table}) addListener(deploymentTab_, fd);
}

std::vector<std::shared_ptr<web::Session>> Trellium::liveSessions() {
  std::vector<std::shared_ptr<web::Session>> live;
  const std::lock_guard<std::mutex> guard(sessionListMutex);
  for (const std::weak_ptr<web::Session>& s : sessionList)
    if (std::shared_ptr<web::Session> session = s.lock()) live.push_back(std::move(session));
  return live;
}

void Trellium::postEvent(web::Session& session, int fd) {
  session.post([fd] {
    // The session's queue runs only while its application lives.
    if (auto* app = dynamic_cast<Trellium*>(web::Application::instance()))
      app->handleEvent(fd);
    else
      TRL_LOG("instance killed");
  });
}

void Trellium::handleEvent(int fd) {
  const web::Application::UpdateLock lock(this);
  if (!lock) return;  // the session is going away
  if (!web::Application::instance()) {
    TRL_LOG("instance killed");
    return;
  }
  const auto listeners = fdMap_.find(fd);
  if (listeners == fdMap_.end()) return;
  for (HelpableContainer* tab : listeners->second) {
    if (!tab) throw TRL_ERROR("GUI container is NULL");
    tab->update(fd);
    triggerUpdate();
  }
}

void Trellium::update() {
  const std::initializer_list<HelpableContainer*> tabs = {dashboard_,     monitorControl_, nodeConfig_,
                                                         deploymentTab_, fabricTab_,      settingsTab_};
  for (HelpableContainer* tab : tabs) tab->update(0);
}

void Trellium::hideHelp() {
  TRL_LOG("[Trellium] Toggle help");
  for (int i = 0; i < tabWidget_->count(); ++i) {
    auto* page = static_cast<web::Container*>(tabWidget_->widget(i));
    web::Layout* layout = page->layout();
    web::Widget* tab = layout->itemAt(0)->widget();
    web::Widget* help = layout->itemAt(1)->widget();
    if (!help->isHidden()) {
      help->hide();
      tab->setWidth(NO_HELP_WIDTH);
      tab->setMinimumSize(NO_HELP_WIDTH, web::Length::Auto());
      toggleHelpBtn_->setText("Show help");
    } else {
      tab->setWidth(WITH_HELP_WIDTH);
      tab->setMinimumSize(WITH_HELP_WIDTH, web::Length::Auto());
      help->show();
      toggleHelpBtn_->setText("Hide help");
    }
  }
}

void Trellium::setNoOfNodes(int n) {
  if (fabricTab_) fabricTab_->generalConfigData().noOfNodes = n;
  if (wiring_) wiring_->wiringTableData().noOfNodes = n;
}

void Trellium::setGeometry() {
  TRL_LOG("[Trellium] Setting wiring table");
  if (!wiring_) throw TRL_ERROR("wiring_ is NULL");
  if (!nodeConfig_) throw TRL_ERROR("nodeConfig_ is NULL");
  if (!fabricTab_) throw TRL_ERROR("fabricTab_ is NULL");
  Model::WiringTableData& data = wiring_->wiringTableData();
  data.noOfNodes = fabricTab_->generalConfigData().noOfNodes;
  data.nodeHeight = fabricTab_->getNodeHeight();
  data.geometryType = fabricTab_->getGeometry();
  wiring_->update(0);
}

void Trellium::showConfiguration() { tabWidget_->setCurrentIndex(ConfigurationTabIndex); }

void Trellium::resetModules() {
  if (!modules_) throw TRL_ERROR("modules_ is NULL");
  modules_->nodes->reset();
}

std::string Trellium::getStatusReport() {
  if (!modules_) throw TRL_ERROR("modules_ is NULL");
  if (!fabricTab_) throw TRL_ERROR("fabricTab_ is NULL");
  std::ostringstream report;
  report << modules_->nodes->toString() << "\n";
  report << divider << "Geometry configuration\n" << divider;
  report << "Number of nodes: " << fabricTab_->generalConfigData().noOfNodes << "\n";
  report << "Node height: " << fabricTab_->getNodeHeight() << "U\n";
  report << "Geometry type: " << fabricTab_->getGeometry() << "\n\n";
  report << modules_->geometry->toString(*modules_->nodes) << "\n";
  report << divider << "Booting configuration\n" << divider;
  report << "Current booting option: " << modules_->deployment->currentDesc() << "\n\n";
  report << divider << "Audit log (last " << audit_lines_in_report << " lines)\n" << divider;
  try {
    for (const std::string& line : trl::auditTail(audit_lines_in_report)) report << line << "\n";
  } catch (const std::exception& e) {
    report << "(cannot read the audit log: " << e.what() << ")\n";
  }
  report << "\n";
  return report.str();
}

std::unique_ptr<web::Application> createApplication(const web::Environment& env) {
  TRL_LOG("----------------New Trellium session---------------------");
  std::signal(SIGABRT, SIG_DFL);
  std::signal(SIGQUIT, SIG_DFL);
  auto session = std::make_unique<Trellium>(env);
  {
    const std::lock_guard<std::mutex> guard(Trellium::sessionListMutex);
    Trellium::sessionList.push_back(session->session().weak_from_this());
    TRL_LOG("Number of sessions: " << Trellium::sessionList.size());
  }
  Modules* modules = Modules::getInstance();
  session->initWidgets();
  session->setModules(modules);
  session->setTabModules();
  session->enableUpdates(true);
  session->update();
  return session;
}
