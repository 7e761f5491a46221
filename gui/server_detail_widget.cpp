#include "gui/server_detail_widget.h"

#include <map>
#include <mutex>

#include "gui/svg_widget.h"
#include "modules/error.h"
#include "modules/files.h"
#include "web/box_layout.h"
#include "web/grid_layout.h"
#include "web/line_edit.h"
#include "web/push_button.h"
#include "web/text.h"
#include "web/text_format.h"

namespace {

using Node = Nodes::Node;

web::Text* addLabel(web::GridLayout* grid, const std::string& text, int row, int column = 0) {
  return grid->addWidget(std::make_unique<web::Text>(text), row, column, web::AlignLeft | web::AlignMiddle);
}

web::LineEdit* addEdit(web::GridLayout* grid, int row) {
  auto* edit = grid->addWidget(std::make_unique<web::LineEdit>(), row, 1, web::AlignLeft | web::AlignMiddle);
  edit->setTextSize(20);
  return edit;
}

web::Container* addRow(web::VBoxLayout* column, const std::string& styleClass) {
  auto* row = column->addWidget(std::make_unique<web::Container>());
  row->setStyleClass(styleClass);
  return row;
}

}  // namespace

ServerDetailContainer::ServerDetailContainer() {
  setStyleClass("trl-detail");
  setStyle("font-family", "tahoma,arial,helvetica,sans-serif");
  setStyle("font-size", "11px");
  auto* column = setLayout(std::make_unique<web::VBoxLayout>());

  dhcpConfError_ = column->addWidget(std::make_unique<web::Text>());
  dhcpConfError_->setInline(false);
  dhcpConfError_->setStyleClass("trl-detail-error");
  dhcpConfError_->hide();

  // The server: its picture, then what is known of it and its buttons.
  auto* server = addRow(column, "trl-detail-row")->setLayout(std::make_unique<web::HBoxLayout>());
  serverStatusSvg_ = server->addWidget(std::make_unique<SvgWidget>(), 0, web::AlignTop);
  auto* facts = server->addLayout(std::make_unique<web::GridLayout>(), 1);
  facts->setVerticalSpacing(3);
  addLabel(facts, "Name: ", 0);
  nameLineEdit_ = addEdit(facts, 0);
  addLabel(facts, "Status: ", 1);
  statusText_ = addLabel(facts, "", 1, 1);
  statusText_->setStyleClass("trl-detail-status");
  addLabel(facts, "IP: ", 2);
  ipText_ = addLabel(facts, "", 2, 1);
  addLabel(facts, "MAC addr: ", 3);
  macLineEdit_ = addEdit(facts, 3);
  addLabel(facts, "MC IP addr: ", 4);
  mcIpText_ = addLabel(facts, "", 4, 1);
  addLabel(facts, "MC MAC addr: ", 5);
  mcMacLineEdit_ = addEdit(facts, 5);
  facts->addWidget(std::make_unique<web::Text>("Power control:"), 6, 0, 1, 2, web::AlignLeft);
  auto* buttons = facts->addWidget(std::make_unique<web::Container>(), 7, 0, 1, 2, web::AlignLeft);
  buttons->setStyleClass("trl-detail-buttons");
  powerOnButton_ = buttons->addNew<web::PushButton>("Power on");
  powerOffButton_ = buttons->addNew<web::PushButton>("Power off");
  shutDownButton_ = buttons->addNew<web::PushButton>("Shutdown");
  resetButton_ = buttons->addNew<web::PushButton>("Reset");

  column->addWidget(std::make_unique<web::Text>("<hr />", web::TextFormat::Markup));

  // Its disks: nothing is read from them yet, so every value is a placeholder.
  auto* disks = addRow(column, "trl-detail-row")->setLayout(std::make_unique<web::HBoxLayout>());
  hardDiskSvg_ = disks->addWidget(std::make_unique<SvgWidget>(), 0, web::AlignTop);
  auto* disk = disks->addLayout(std::make_unique<web::GridLayout>(), 1);
  const char* const diskRows[] = {"Status: ", "Capacity: ", "Available: "};
  for (int row = 0; row < 3; ++row) {
    addLabel(disk, diskRows[row], row);
    addLabel(disk, "Unknown", row, 1);
  }

  column->addWidget(std::make_unique<web::Text>("<hr />", web::TextFormat::Markup));
  saveButton_ = column->addWidget(std::make_unique<web::PushButton>("Save"), 0, web::AlignRight);
  update();
}

void ServerDetailContainer::setNode(const Node* node) {
  if (node)
    node_.emplace(*node);
  else
    node_.reset();
}

void ServerDetailContainer::setDhcpConfError(const std::string& text) {
  dhcpConfError_->setText(text.empty() ? text : "DHCP configuration not applied: " + text);
  dhcpConfError_->setHidden(text.empty());
}

std::string ServerDetailContainer::name() const { return nameLineEdit_->text(); }
std::string ServerDetailContainer::mac() const { return macLineEdit_->text(); }
std::string ServerDetailContainer::mcMac() const { return mcMacLineEdit_->text(); }

std::string ServerDetailContainer::statusPicture(Node::PowerStatus status) {
  switch (status) {
    case Node::Up: return "serveron.svg";
    case Node::Down: return "serveroff.svg";
    case Node::ConnectionError: return "server-no-connection.svg";
    case Node::Unknown: return "server-unknown.svg";
    case Node::NoIPMI: return "server-error.svg";
  }
  return "";
}

std::string ServerDetailContainer::toolTipFor(const Node& node) {
  // The name and addresses come from outside (hosts file, leases, typing).
  return "Name: " + web::escapeHtml(node.eth0.name()) + "<br/>" + "IP: " + web::escapeHtml(node.eth0.ip_str()) +
         "<br/>" + "MAC Addr: " + web::escapeHtml(node.eth0.mac_str()) + "<br/>" + "Status: " +
         web::escapeHtml(node.powerStatusStr()) + "<br/>" + "Double click to control this server";
}

std::string ServerDetailContainer::picture(const std::string& file) const {
  if (file.empty() || docRoot_.empty()) return "";
  // The pictures are files we ship; every session shares one copy.
  static std::mutex cacheLock;
  static std::map<std::string, std::string> cache;  // guarded by cacheLock
  const std::string path = docRoot_ + (docRoot_.back() != '/' ? "/" : "") + "images/" + file;
  const std::lock_guard<std::mutex> guard(cacheLock);
  const auto known = cache.find(path);
  if (known != cache.end()) return known->second;
  try {
    return cache[path] = trl::readWholeFile(path);
  } catch (const std::exception& e) {
    TRL_WARN(std::string("[ServerDetailContainer] ") + e.what());
    return "";
  }
}

void ServerDetailContainer::showEdit(web::LineEdit* edit, std::string& shown, const std::string& value,
                                     bool keepTypedText) {
  if (!keepTypedText || edit->text() == shown) edit->setText(value);
  shown = value;
}

void ServerDetailContainer::update(bool keepTypedText) {
  hardDiskSvg_->setSvgText(picture("drive-harddisk.svg"));
  saveButton_->enable();
  if (!node_) {
    serverStatusSvg_->setSvgText("");
    serverStatusSvg_->setText("unknown node");
    serverStatusSvg_->setToolTip("");
    for (web::LineEdit* edit : {nameLineEdit_, macLineEdit_, mcMacLineEdit_}) edit->setText("");
    shownName_ = shownMac_ = shownMcMac_ = "";
    for (web::Text* text : {statusText_, ipText_, mcIpText_}) text->setText("");
    for (web::PushButton* button : {powerOnButton_, powerOffButton_, shutDownButton_, resetButton_}) button->disable();
    return;
  }
  const Node& node = *node_;
  const Node::PowerStatus status = node.powerStatus();
  serverStatusSvg_->setSvgText(picture(statusPicture(status)));
  serverStatusSvg_->setText(node.eth0.name());
  serverStatusSvg_->setToolTip(toolTipFor(node), web::TextFormat::Markup);
  showEdit(nameLineEdit_, shownName_, node.eth0.name(), keepTypedText);
  showEdit(macLineEdit_, shownMac_, node.eth0.mac_str(), keepTypedText);
  showEdit(mcMacLineEdit_, shownMcMac_, node.mc.mac_str(), keepTypedText);
  statusText_->setText(node.powerStatusStr());
  ipText_->setText(node.eth0.ip_str());
  mcIpText_->setText(node.mc.ip_str());
  // Only what can change the server's state now is offered.
  powerOnButton_->setDisabled(status != Node::Down);
  powerOffButton_->setDisabled(status != Node::Up);
  shutDownButton_->setDisabled(status != Node::Up);
  resetButton_->setDisabled(status != Node::Up && status != Node::Down);
}
