#include "gui/serverlist_panel.h"

#include <memory>

#include "gui/audit.h"
#include "gui/server_detail_widget.h"
#include "modules/error.h"
#include "web/application.h"
#include "web/box_layout.h"
#include "web/grid_layout.h"
#include "web/message_box.h"
#include "web/push_button.h"
#include "web/text.h"

namespace {

using Node = Nodes::Node;

std::vector<Node> copyRecords(Nodes& nodes) {
  const Nodes::SharedAccess table(nodes);
  return std::vector<Node>(table.begin(), table.end());
}

// The state beside a picture: a word, and a class that colours it.
void showState(web::Text* word, Node::PowerStatus status) {
  word->setText(Node::toPowerStatusStr(status));
  word->setStyleClass(status == Node::Up     ? "trl-state trl-state-up"
                      : status == Node::Down ? "trl-state trl-state-down"
                                             : "trl-state trl-state-error");
}

}  // namespace

// --- ServerImage -------------------------------------------------------------

ServerImage::ServerImage(const Node& node, int sn) : node_(node), sn_(sn) {
  update();
  mouseWentOver().connect(this, &ServerImage::mouseOver);
  mouseWentOut().connect(this, &ServerImage::mouseOut);
}

std::string ServerImage::pictureFor(Node::PowerStatus status, bool selected) {
  const char* const base = status == Node::Up     ? "/images/serveron"
                           : status == Node::Down ? "/images/serveroff"
                                                  : "/images/servererror";
  return std::string(base) + (selected ? "_selected.png" : ".png");
}

void ServerImage::selected(bool selected) {
  selected_ = selected;
  update();
}

void ServerImage::update() {
  setImageLink(pictureFor(node_.powerStatus(), selected_));
  setAlternateText(node_.eth0.name() + ": " + node_.powerStatusStr());
}

void ServerImage::update(const Node& node) {
  node_ = node;
  update();
}

void ServerImage::mouseOver() {
  setImageLink(pictureFor(node_.powerStatus(), true));
  setCursor("pointer");
}

void ServerImage::mouseOut() {
  update();
  setCursor("auto");
}

// --- ServerListPanel ---------------------------------------------------------

ServerListPanel::ServerListPanel() : web::Panel("Server list") {
  setStyleClass("trl-server-list");
  setMargin(6);
  setAutoScrollBars(true);
  resize(web::Length::Auto(), 500);
  gridContainer_ = addNew<web::Container>();
  if (web::Application* app = web::Application::instance()) docRoot_ = app->docRoot();
}

void ServerListPanel::setData(const Model::OverviewData& data, int event) {
  nodes_ = data.nodes;
  if (!nodes_) return;
  const std::vector<Node> records = copyRecords(*nodes_);
  if (records.size() == serverImageList_.size() && event == nodes_->powerStatusChangedFd()) {
    refreshPowerStatus(records);
    return;
  }
  rebuild(records);
}

void ServerListPanel::refreshPowerStatus(const std::vector<Node>& records) {
  TRL_LOG("[ServerListPanel] Update due to power status change");
  for (size_t i = 0; i < records.size(); ++i) {
    serverImageList_[i]->update(records[i]);
    showState(stateWords_[i], records[i].powerStatus());
    // The open panel follows its server's new state.
    if (static_cast<int>(i) == nodeNumber_) openServerContainer(serverImageList_[i], true);
  }
}

void ServerListPanel::rebuild(const std::vector<Node>& records) {
  TRL_LOG("[ServerListPanel] Update due to node list change");
  // The detail panel outlives the column: every lease (a host powering on)
  // rebuilds it, and the panel in use must not vanish with what was typed.
  std::unique_ptr<ServerDetailContainer> panel;
  std::string openServer;
  if (serverContainer_) {
    if (!serverContainer_->isHidden() && serverContainer_->node()) openServer = identity(*serverContainer_->node());
    panel.reset(static_cast<ServerDetailContainer*>(hboxLayout_->removeWidget(serverContainer_).release()));
  } else {
    panel = std::make_unique<ServerDetailContainer>();
    panel->setDocRoot(docRoot_);
  }
  panelButtons_.clear();
  buildColumn(records);
  serverContainer_ = hboxLayout_->addWidget(std::move(panel), 1);

  const int found = serverToReopen(records, openServer);
  nodeNumber_ = -1;
  if (found >= 0) {
    openServerContainer(serverImageList_[static_cast<size_t>(found)], true);
  } else {
    serverContainer_->setNode(nullptr);
    serverContainer_->hide();
  }
}

void ServerListPanel::buildColumn(const std::vector<Node>& records) {
  gridContainer_->clear();
  serverImageList_.clear();
  stateWords_.clear();
  hboxLayout_ = gridContainer_->setLayout(std::make_unique<web::HBoxLayout>());
  hboxLayout_->setContentAlignment(web::AlignLeft | web::AlignTop);
  // The column scrolls by itself, so the detail panel stays in view.
  auto* column = hboxLayout_->addWidget(std::make_unique<web::Container>(), 0, web::AlignTop);
  column->setStyleClass("trl-server-column");
  column->setOverflow(web::Overflow::Auto, web::Vertical);
  gridLayout_ = column->setLayout(std::make_unique<web::GridLayout>());
  gridLayout_->setVerticalSpacing(0);
  if (records.empty())
    gridLayout_->addWidget(std::make_unique<web::Text>("No server has leased an address yet."), 0, 0);
  for (size_t i = 0; i < records.size(); ++i) {
    const int row = static_cast<int>(i);
    auto image = std::make_unique<ServerImage>(records[i], row);
    ServerImage* raw = image.get();
    image->clicked().connect([this, raw] { openServerContainer(raw); });
    image->setToolTip("Click to control this server");
    serverImageList_.push_back(raw);
    auto* name = gridLayout_->addWidget(std::make_unique<web::Text>(records[i].eth0.name()), row, 0,
                                        web::AlignLeft | web::AlignMiddle);
    name->setStyleClass("trl-server-name");
    gridLayout_->addWidget(std::move(image), row, 1, web::AlignMiddle);
    stateWords_.push_back(gridLayout_->addWidget(std::make_unique<web::Text>(), row, 2, web::AlignMiddle));
    showState(stateWords_.back(), records[i].powerStatus());
  }
  gridLayout_->setColumnStretch(1, 1);
}

// The server the last save changed (a save renames or re-addresses it, which
// rebuilds the column), else the one the panel showed; -1 for none.
int ServerListPanel::serverToReopen(const std::vector<Node>& records, const std::string& openServer) {
  const std::string saved = changedData_;
  changedData_.clear();  // found once; later rebuilds follow the open server
  for (size_t i = 0; i < records.size() && !saved.empty(); ++i) {
    const Node& node = records[i];
    const std::string value = changed_ == NAME  ? node.eth0.name()
                              : changed_ == MAC ? node.eth0.mac_str()
                                                : node.mc.mac_str();
    if (value == saved) return static_cast<int>(i);
  }
  for (size_t i = 0; i < records.size() && !openServer.empty(); ++i)
    if (identity(records[i]) == openServer) return static_cast<int>(i);
  return -1;
}

// A server across rebuilds: its host's MAC, else its controller's.
std::string ServerListPanel::identity(const Node& node) {
  return node.eth0.mac() != 0 ? "eth0 " + node.eth0.mac_str() : node.mc.mac() != 0 ? "mc " + node.mc.mac_str() : "";
}

void ServerListPanel::openServerContainer(ServerImage* image, bool keepTypedText) {
  TRL_LOG("Opening server dialog");
  for (ServerImage* other : serverImageList_) other->selected(false);
  image->selected(true);
  nodeNumber_ = image->getSerialNumber();
  serverContainer_->setNode(&image->getNode());
  serverContainer_->setDhcpConfError(nodes_->dhcpConfError());
  serverContainer_->update(keepTypedText);
  const std::string mcMac = image->getNode().mc.mac_str();
  panelButtons_.clear();
  panelButtons_.emplace_back(serverContainer_->powerOnButton()->clicked().connect([this, mcMac] { powerOn(mcMac); }));
  panelButtons_.emplace_back(serverContainer_->powerOffButton()->clicked().connect([this, mcMac] { powerOff(mcMac); }));
  panelButtons_.emplace_back(serverContainer_->shutDownButton()->clicked().connect([this, mcMac] { shutDown(mcMac); }));
  panelButtons_.emplace_back(serverContainer_->resetButton()->clicked().connect([this, mcMac] { reset(mcMac); }));
  panelButtons_.emplace_back(
      serverContainer_->saveButton()->clicked().connect([this] { saveServerConfiguration(); }));
  serverContainer_->show();
}

void ServerListPanel::powerOn(const std::string& mcMac) { sendPowerCommand(mcMac, IPMI::power_on); }
void ServerListPanel::powerOff(const std::string& mcMac) { sendPowerCommand(mcMac, IPMI::power_off); }
void ServerListPanel::shutDown(const std::string& mcMac) { sendPowerCommand(mcMac, IPMI::power_shutdown); }
void ServerListPanel::reset(const std::string& mcMac) { sendPowerCommand(mcMac, IPMI::power_reset); }

// The sessions are picked under the table's lock and driven without it.
void ServerListPanel::sendPowerCommand(const std::string& mcMac, IPMI::power_t kind) {
  std::vector<std::shared_ptr<IPMI>> sessions;
  std::string names;
  {
    const Nodes::SharedAccess table(*nodes_);
    for (const Node* node = table.begin(); node != table.end(); ++node)
      if (node->mc.mac_str() == mcMac)
        if (std::shared_ptr<IPMI> session = node->ipmiShared()) {
          sessions.push_back(std::move(session));
          names += (names.empty() ? "" : ", ") + node->eth0.name();
        }
  }
  if (sessions.empty()) {
    web::MessageBox::open("Error: ", "No IPMI session for this server; nothing was sent");
    return;
  }
  const trl::AuditAction action = kind == IPMI::power_on         ? trl::AuditAction::PowerOn
                                  : kind == IPMI::power_off      ? trl::AuditAction::PowerOff
                                  : kind == IPMI::power_shutdown ? trl::AuditAction::PowerShutdown
                                                                 : trl::AuditAction::PowerReset;
  if (!auditAction(action, names + " (controller " + mcMac + ")")) return;
  try {
    for (const std::shared_ptr<IPMI>& session : sessions) session->power(kind, false);
    web::MessageBox::open("Info", "Power command sent");
  } catch (const IPMI::IpmiConnectError& e) {
    TRL_LOG("IPMI Connection Error: " << e.what());
    web::MessageBox::open("Connection error: ", e.what());
  } catch (const std::exception& e) {
    web::MessageBox::open("Error: ", e.what());
    TRL_LOG("Exception: " << e.what());
  }
}

void ServerListPanel::saveServerConfiguration() {
  TRL_LOG("[ServerListPanel] saving server configuration");
  serverContainer_->saveButton()->disable();
  const std::string name = serverContainer_->name();
  const std::string mac = serverContainer_->mac();
  const std::string mcMac = serverContainer_->mcMac();
  // What the save would change goes to the audit log first, with no lock
  // held: a refused save leaves its line, nothing else.
  std::string edit;
  {
    const Nodes::SharedAccess table(*nodes_);
    if (nodeNumber_ >= 0 && nodeNumber_ < table.end() - table.begin()) {
      const Node& node = table.begin()[nodeNumber_];
      const auto change = [&edit](const char* what, const std::string& from, const std::string& to) {
        if (from != to) edit += std::string(edit.empty() ? ": " : ", ") + what + " " + from + " -> " + to;
      };
      change("name", node.eth0.name(), name);
      change("MAC", node.eth0.mac_str(), mac);
      change("controller MAC", node.mc.mac_str(), mcMac);
      if (!edit.empty()) edit = node.eth0.name() + edit;
    }
  }
  if (!edit.empty() && !auditAction(trl::AuditAction::TableEdit, edit)) {
    serverContainer_->saveButton()->enable();
    return;
  }
  bool changed = false;
  try {
    {
      const Nodes::ExclusiveAccess table(*nodes_);
      TRL_LOG("[ServerListPanel] exclusive lock acquired");
      if (nodeNumber_ >= 0 && nodeNumber_ < table.end() - table.begin()) {
        Node& node = table.begin()[nodeNumber_];
        // Both MAC texts are parsed before anything changes, so a typing
        // error leaves the record as it was.
        Node::Interface eth0 = node.eth0, mc = node.mc;
        const bool macChanged = mac != node.eth0.mac_str(), mcMacChanged = mcMac != node.mc.mac_str();
        if (macChanged) eth0.mac(mac);
        if (mcMacChanged) mc.mac(mcMac);
        if (name != node.eth0.name()) {
          TRL_LOG("Change name of node number " << nodeNumber_ << " to " << name);
          node.eth0.name(name);
          changed_ = NAME;
          changedData_ = node.eth0.name();  // as stored, which finds it again
          changed = true;
        }
        if (node.mc.mac() != 0) {
          node.mc.name(Node::controllerName(node.eth0.name()));
          nodes_->resetIPMI(node);
        }
        if (macChanged) {
          node.eth0.mac(eth0.mac());
          node.eth0.ip(eth0.ip());  // "unset" clears the address too
          changed_ = MAC;
          changedData_ = node.eth0.mac_str();
          changed = true;
        }
        if (mcMacChanged) {
          node.mc.mac(mc.mac());
          node.mc.ip(mc.ip());
          changed_ = MC_MAC;
          changedData_ = node.mc.mac_str();
          changed = true;
        }
      }
    }
    TRL_LOG("[ServerListPanel] exclusive lock released");
    if (changed) nodes_->commit();
  } catch (const std::exception& e) {
    TRL_LOG("Exception: " << e.what());
    web::MessageBox::open("Error: ", e.what());
    serverContainer_->saveButton()->enable();
    return;
  }
  // A change rebuilds the column (and this panel) when its event arrives.
  if (!changed) serverContainer_->saveButton()->enable();
}
