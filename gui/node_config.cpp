#include "gui/node_config.h"

#include <cstring>
#include <stdexcept>

#include "gui/audit.h"
#include "gui/comboitemdelegate.h"
#include "gui/node_config_delegates.h"
#include "gui/scoped_flag.h"
#include "gui/trellium.h"
#include "gui/util.h"
#include "modules/error.h"
#include "modules/nodes.h"
#include "web/any_text.h"
#include "web/message_box.h"
#include "web/panel.h"
#include "web/standard_item_model.h"
#include "web/string_list_model.h"
#include "web/table_view.h"
#include "web/text.h"
#include "web/text_format.h"

namespace {

const char* const hostname_header = "Hostname";
const char* const mc_ip_header = "MC IP";
const char* const mc_mac_header = "MC MAC address";
const char* const eth0_ip_header = "eth0 IP";
const char* const eth0_mac_header = "eth0 MAC address";
const char* const power_header = "Power status";
const char* const partition_header = "Partition";
const char* const type_header = "Server type";

constexpr int table_height = 500;
constexpr int row_height = 25;

const char* const cell_error_class = "trl-cell-error";

using Node = Nodes::Node;

// A partition typed into the record: a whole number, -1 (in no partition) or more.
int parsePartition(const std::string& text) {
  std::size_t used = 0;
  long value = 0;
  try {
    value = std::stol(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size() || value < -1 || value > 1 << 20)
    throw std::invalid_argument("a partition is a whole number from -1 up");
  return static_cast<int>(value);
}

std::pair<std::uint64_t, std::uint64_t> keyOf(const Node& node) { return {node.eth0.mac(), node.mc.mac()}; }

// The index of the record a row shows: the row's own index while the record
// there is still the one the row was filled from, else wherever that record
// went; -1 when it is gone.
int recordOf(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& keys, int row, const Node* first,
             const Node* last) {
  if (row < 0 || row >= static_cast<int>(keys.size())) return -1;
  const auto& key = keys[static_cast<std::size_t>(row)];
  const long count = last - first;
  if (row < count && keyOf(first[row]) == key) return row;
  for (long i = 0; i < count; ++i)
    if (keyOf(first[i]) == key) return static_cast<int>(i);
  return -1;
}

NodeConfig::Server serverOf(const Node& node) {
  NodeConfig::Server s;
  s.eth0Mac = node.eth0.mac();
  s.mcMac = node.mc.mac();
  s.name = node.eth0.name();
  s.mcIp = node.mc.ip_str();
  s.mcMacText = node.mc.mac_str();
  s.eth0Ip = node.eth0.ip_str();
  s.eth0MacText = node.eth0.mac_str();
  s.brand = Node::serverBrand(node.mc.mac() != 0 ? node.mc.mac() : node.eth0.mac());
  s.error.assign(node.error_str, strnlen(node.error_str, sizeof node.error_str));
  s.power = node.powerStatus();
  s.partition = node.partition;
  return s;
}

std::string warning(const std::string& escapedText) { return "<span class=\"trl-warning\">" + escapedText + "</span>"; }

}  // namespace

struct NodeConfig::Columns {
  int hostname, mcIp, mcMac, eth0Ip, eth0Mac, power, partition, type;

  // The text of a cell other than the power cell.
  std::string text(const Server& s, int column) const {
    if (column == hostname) return s.name;
    if (column == mcIp) return s.mcIp;
    if (column == mcMac) return s.mcMacText;
    if (column == eth0Ip) return s.eth0Ip;
    if (column == eth0Mac) return s.eth0MacText;
    if (column == partition) return std::to_string(s.partition);
    if (column == type) return s.brand;
    return {};
  }
  unsigned flags(int column) const {
    if (column == hostname || column == partition) return web::ItemIsSelectable | web::ItemIsEditable;
    if (column == mcMac || column == eth0Mac)
      return web::ItemIsSelectable | web::ItemIsEditable | web::ItemIsDragEnabled | web::ItemIsDropEnabled;
    return web::ItemIsSelectable;  // the model's default
  }
};

NodeConfig::NodeConfig(Trellium* manager) : HelpableContainer(manager) {
  setMargin(6);
  addNodeTable();
  addHelpMessage();
}

void NodeConfig::addNodeTable() {
  auto* panel = addNew<web::Panel>();
  model_ = std::make_shared<web::StandardItemModel>(0, 8);
  int column = 0;
  for (const char* header : {hostname_header, mc_ip_header, mc_mac_header, eth0_ip_header, eth0_mac_header,
                             power_header, partition_header, type_header})
    model_->setHeaderData(column++, std::string(header));
  const Columns c = columns();

  nodeTable_ = panel->addNew<web::TableView>();
  nodeTable_->setModel(model_);
  nodeTable_->resize(web::Length::Auto(), table_height);
  // Narrower than the classic layout, so the grid fits beside the help panel.
  nodeTable_->setColumnWidth(c.hostname, 96);
  nodeTable_->setColumnWidth(c.mcMac, 130);
  nodeTable_->setColumnWidth(c.eth0Mac, 130);
  nodeTable_->setColumnWidth(c.power, 92);
  nodeTable_->setColumnWidth(c.partition, 56);
  nodeTable_->setColumnWidth(c.type, 84);
  nodeTable_->setColumnHidden(c.mcIp, true);
  nodeTable_->setColumnHidden(c.eth0Ip, true);
  nodeTable_->setAlternatingRowColors(true);
  nodeTable_->setRowHeight(row_height);
  nodeTable_->setSelectionMode(web::SelectionMode::Single);
  nodeTable_->setDragEnabled(true);
  nodeTable_->setDropsEnabled(true);
  nodeTable_->setEditTriggers(web::DoubleClicked);
  nodeTable_->setItemDelegateForColumn(c.hostname, std::make_shared<HostNameItemDelegate>());
  auto macs = std::make_shared<MacAddrItemDelegate>();
  nodeTable_->setItemDelegateForColumn(c.mcMac, macs);
  nodeTable_->setItemDelegateForColumn(c.eth0Mac, macs);
  nodeTable_->setItemDelegateForColumn(c.power, std::make_shared<PowerCellDelegate>());
  comboDelegate_ = std::make_shared<ComboItemDelegate>();
  offerPartitions(noOfPartition_);
  nodeTable_->setItemDelegateForColumn(c.partition, comboDelegate_);

  web::ToolBar* bar = panel->bottomToolBar();
  clearBtn_ = bar->addButton("Clear");
  clearBtn_->setToolTip("Forget every server; they are found again as they lease addresses");
  deleteBtn_ = bar->addButton("Delete node");
  deleteBtn_->setToolTip("Forget the server of the selected cell");
  warningText_ = bar->addNew<web::Text>(std::string(), web::TextFormat::Markup);
  warningText_->setStyleClass("trl-warning-line");

  // The model lives as long as this tab: it is this tab's and its view's.
  model_->itemChanged().connect([this](web::StandardItem* item) { cellChanged(item); });
  nodeTable_->doubleClicked().connect([this](web::ModelIndex index, web::MouseEvent event) {
    handleDoubleClick(index, event);
  });
  clearBtn_->clicked().connect([this] { reset(); });
  deleteBtn_->clicked().connect([this] { deleteNode(); });
}

void NodeConfig::addHelpMessage() {
  nodeTable_->clicked().connect([this] { setHelpMessage("node-config"); });
}

NodeConfig::Columns NodeConfig::columns() const {
  web::AbstractItemModel* const m = model_.get();
  return Columns{Util::getColumnFromHeader(m, hostname_header), Util::getColumnFromHeader(m, mc_ip_header),
                 Util::getColumnFromHeader(m, mc_mac_header),   Util::getColumnFromHeader(m, eth0_ip_header),
                 Util::getColumnFromHeader(m, eth0_mac_header), Util::getColumnFromHeader(m, power_header),
                 Util::getColumnFromHeader(m, partition_header), Util::getColumnFromHeader(m, type_header)};
}

std::vector<std::string> NodeConfig::partitionChoices(int count) {
  if (count < 1) throw TRL_ERROR("length must be positive");
  std::vector<std::string> choices;
  for (int p = -1; p < count; ++p) choices.push_back(std::to_string(p));
  return choices;
}

void NodeConfig::offerPartitions(int count) {
  std::vector<std::string> choices = partitionChoices(count);
  if (choices == offeredPartitions_) return;  // new choices redraw every partition cell
  offeredPartitions_ = choices;
  comboDelegate_->setComboModel(std::make_unique<web::StringListModel>(std::move(choices)));
}

std::vector<NodeConfig::Server> NodeConfig::readServers() {
  std::vector<Server> servers;
  const Nodes::SharedAccess table(*nodeTableData_.nodes);
  for (const Node* node = table.begin(); node != table.end(); ++node) servers.push_back(serverOf(*node));
  return servers;
}

void NodeConfig::update(int event) {
  TRL_LOG("[NodeConfig] Updating");
  Nodes* const nodes = nodeTableData_.nodes;
  if (!nodes) throw TRL_ERROR("nodes is NULl");
  const std::vector<Server> servers = readServers();
  const Columns c = columns();
  const ScopedFlag refreshing(refreshing_);

  bool sameServers = servers.size() == keys_.size() && model_->rowCount() == static_cast<int>(keys_.size());
  for (std::size_t r = 0; sameServers && r < servers.size(); ++r)
    sameServers = keys_[r] == Key(servers[r].eth0Mac, servers[r].mcMac);
  if (event == nodes->powerStatusChangedFd() && sameServers) {
    for (std::size_t r = 0; r < servers.size(); ++r)
      setPowerCell(*model_->item(static_cast<int>(r), c.power), servers[r]);
    return;
  }
  if (model_->rowCount() == static_cast<int>(servers.size()))
    refreshRows(servers, c);
  else
    rebuild(servers, c);

  noOfNodes_ = static_cast<int>(servers.size());
  noOfPartition_ = 1;
  for (const Server& s : servers)
    if (noOfPartition_ <= s.partition) noOfPartition_ = s.partition + 1;
  noOfPartition_ += 1;
  if (manager_) manager_->setNoOfNodes(noOfNodes_);
  offerPartitions(noOfPartition_);
  updateWarning(servers.empty());
}

void NodeConfig::rebuild(const std::vector<Server>& servers, const Columns& c) {
  model_->clearRows();
  keys_.clear();
  for (const Server& s : servers) {
    std::vector<std::unique_ptr<web::StandardItem>> items;
    for (int column = 0; column < model_->columnCount(); ++column) {
      items.push_back(std::make_unique<web::StandardItem>(c.text(s, column)));
      items.back()->setFlags(c.flags(column));
    }
    setPowerCell(*items[c.power], s);
    model_->appendRow(std::move(items));
    keys_.emplace_back(s.eth0Mac, s.mcMac);
  }
}

// Every cell set to what it shows now; only cells whose text changed reach
// the page, in their rows. A row now showing another server (the table was
// re-sorted after a rename) loses its open editor, and the selection follows
// its server.
void NodeConfig::refreshRows(const std::vector<Server>& servers, const Columns& c) {
  const std::vector<web::ModelIndex> selected = nodeTable_->selectedIndexes();
  const int selectedColumn = selected.empty() ? -1 : selected.front().column();
  const Key selectedKey = selected.empty() ? Key() : keys_[static_cast<std::size_t>(selected.front().row())];
  int selectedRow = -1;
  for (std::size_t r = 0; r < servers.size(); ++r) {
    const int row = static_cast<int>(r);
    const Key key(servers[r].eth0Mac, servers[r].mcMac);
    if (key != keys_[r])
      for (int column = 0; column < model_->columnCount(); ++column)
        nodeTable_->closeEditor(model_->index(row, column), false);
    keys_[r] = key;
    if (!selected.empty() && key == selectedKey) selectedRow = row;
    for (int column = 0; column < model_->columnCount(); ++column) {
      web::StandardItem& item = *model_->item(row, column);
      if (column == c.power) {
        setPowerCell(item, servers[r]);
        continue;
      }
      item.setText(c.text(servers[r], column));
      if (!web::asString(item.data(web::StyleClassRole)).empty()) {  // a refusal shown earlier
        item.setStyleClass(std::string());
        item.setToolTip(std::string());
      }
    }
  }
  if (selected.empty() || selectedRow == selected.front().row()) return;
  if (selectedRow < 0)
    nodeTable_->clearSelection();
  else
    nodeTable_->select(model_->index(selectedRow, selectedColumn));
}

void NodeConfig::setPowerCell(web::StandardItem& item, const Server& server) const {
  const char* icon = "icons/error.png";
  std::string tip = "Unknown error; power control not available";
  switch (server.power) {
    case Node::Up:
      icon = "icons/poweron.png";
      tip = "Double click to power down";
      break;
    case Node::Down:
      icon = "icons/poweroff.png";
      tip = "Double click to power up";
      break;
    case Node::ConnectionError:
      tip = server.error;
      break;
    case Node::Unknown:
      icon = "icons/unknown.png";
      break;
    default:
      break;
  }
  item.setIcon(icon);
  item.setText(Node::toPowerStatusStr(static_cast<Node::PowerStatus>(server.power)));
  item.setToolTip(tip);
}

void NodeConfig::updateWarning(bool empty) {
  Nodes& nodes = *nodeTableData_.nodes;
  std::string line;
  const std::string dhcp = nodes.dhcpConfError();
  if (!dhcp.empty())
    line += warning("Error: the DHCP server refused the configuration written for it: " + web::escapeHtml(dhcp));
  std::string table;
  if (empty) {
    table = "No servers are known yet: they appear here as they lease addresses from the DHCP server.";
  } else if (nodes.hostNameDuplicated()) {
    table = warning("Error: Duplicated hostname") + ". Give every server a name of its own.";
  } else {
    const int partition = nodes.emptyPartitionExists();
    if (partition >= 0)
      table = warning("Error: Partition " + web::escapeHtml(std::to_string(partition)) + " is empty") +
              ". Put a server in it, or move the servers of higher partitions down.";
  }
  if (!line.empty() && !table.empty()) line += "<br />";
  warningText_->setText(line + table);
}

std::string NodeConfig::serverName(int row) const {
  {
    // The record's name: the cell may already hold what was typed into it.
    const Nodes::SharedAccess table(*nodeTableData_.nodes);
    const int index = recordOf(keys_, row, table.begin(), table.end());
    if (index >= 0) return table.begin()[index].eth0.name();
  }
  const web::StandardItem* item = model_->item(row, columns().hostname);
  return item ? item->text() : std::string();
}

void NodeConfig::cellChanged(web::StandardItem* item) {
  if (!item) throw TRL_ERROR("item is NULL");
  if (refreshing_) return;
  const Columns c = columns();
  const int row = item->row(), column = item->column();
  if (column == c.power) return;
  const std::string text = item->text();
  TRL_LOG("[NodeConfig] cell " << row << " " << column << " changed to: " << text);
  Nodes* const nodes = nodeTableData_.nodes;
  if (!nodes) throw TRL_ERROR("nodes is NULL");

  // The edit asked for goes to the audit log first, with no lock held.
  if (!auditAction(trl::AuditAction::TableEdit,
                   serverName(row) + ": " + web::asString(model_->headerData(column)) + " -> " + text)) {
    refuse(*item, text, "the audit log cannot be written", false);
    return;
  }
  std::string refused;
  bool changed = false;
  Node::Interface* typed = nullptr;  // a MAC typed into it is taken from every other interface
  {
    const Nodes::ExclusiveAccess table(*nodes);
    TRL_LOG("[NodeConfig] exclusive lock acquired");
    const int index = recordOf(keys_, row, table.begin(), table.end());
    Node* const node = index < 0 ? nullptr : table.begin() + index;
    try {
      if (!node) {
        refused = "the server is no longer in the node table";
      } else if (column == c.hostname) {
        // Both names are made before either is stored, so a refused name changes nothing.
        Node::Interface eth0 = node->eth0, mc = node->mc;
        eth0.name(text);
        if (mc.mac() != 0) mc.name(Node::controllerName(eth0.name()));
        node->eth0 = eth0;
        node->mc = mc;
        if (mc.mac() != 0) nodes->resetIPMI(*node);
        changed = true;
      } else if (column == c.eth0Mac || column == c.mcMac) {
        typed = column == c.eth0Mac ? &node->eth0 : &node->mc;
        typed->mac(text);
        keys_[static_cast<std::size_t>(row)] = keyOf(*node);
        changed = true;
      } else if (column == c.partition) {
        node->partition = parsePartition(text);
        changed = true;
      }
    } catch (const std::exception& e) {
      TRL_LOG("Invalid argument");
      refused = e.what();
      typed = nullptr;
    }
  }
  if (!refused.empty()) {
    refuse(*item, text, refused);
    return;
  }
  if (!changed) return;
  if (typed) nodes->removeDuplicates(*typed);
  commit();
}

void NodeConfig::refuse(web::StandardItem& item, const std::string& typed, const std::string& reason, bool say) {
  const Columns c = columns();
  const int row = item.row(), column = item.column();
  std::string name = serverName(row), value = typed;  // the cell holds what was typed
  {
    const Nodes::SharedAccess table(*nodeTableData_.nodes);
    const int index = recordOf(keys_, row, table.begin(), table.end());
    if (index >= 0) {
      const Server kept = serverOf(table.begin()[index]);
      name = kept.name;
      value = c.text(kept, column);
    }
  }
  {
    const ScopedFlag refreshing(refreshing_);
    item.setText(value);
    item.setStyleClass(cell_error_class);
    item.setToolTip("Not changed: " + reason);
  }
  if (!say) return;
  const std::string header = web::asString(model_->headerData(column));
  web::MessageBox::open("Error", "The " + header + " of " + name + " was not changed to \"" + typed + "\": " + reason +
                                     ".");
}

void NodeConfig::handleDoubleClick(const web::ModelIndex& index, const web::MouseEvent&) {
  if (!index.isValid() || index.column() != columns().power) return;
  Nodes* const nodes = nodeTableData_.nodes;
  if (!nodes) throw TRL_ERROR("nodes is NULL");
  const int row = index.row();
  if (row >= static_cast<int>(keys_.size())) return;
  const Key key = keys_[static_cast<std::size_t>(row)];
  int status = -1;
  {
    const Nodes::SharedAccess table(*nodes);
    const int i = recordOf(keys_, row, table.begin(), table.end());
    if (i >= 0) status = table.begin()[i].powerStatus();
  }
  if (status != Node::Up && status != Node::Down) {
    web::MessageBox::show("Info", "Power control is not available!", web::Ok);
    return;
  }
  const std::string name = serverName(row);
  // The page stays live while the person answers: the rows may be other
  // servers by then, so the server is found again by its addresses.
  if (web::MessageBox::show("Confirm",
                            status == Node::Up ? "Are you sure you want to power down?"
                                               : "Are you sure you want to power up?",
                            web::Yes | web::No) != web::Yes)
    return;
  std::shared_ptr<IPMI> session;
  status = -1;
  {
    const Nodes::SharedAccess table(*nodes);
    const std::vector<Key> one = {key};
    const int i = recordOf(one, 0, table.begin(), table.end());
    if (i >= 0) {
      status = table.begin()[i].powerStatus();
      session = table.begin()[i].ipmiShared();
    }
  }
  if (!session || (status != Node::Up && status != Node::Down)) {
    web::MessageBox::show("Info", "Power control of " + name + " is no longer available.", web::Ok);
    return;
  }
  if (!auditAction(status == Node::Up ? trl::AuditAction::PowerOff : trl::AuditAction::PowerOn, name)) return;
  // The command goes out without the table's lock: a controller may take
  // seconds to answer, and every reader and writer would wait for it.
  try {
    session->power(status == Node::Up ? IPMI::power_off : IPMI::power_on, false);
  } catch (const std::exception& e) {
    TRL_LOG("[NodeConfig] power command to " << name << " failed: " << e.what());
    web::MessageBox::show("Error", "The power command to " + name + " failed: " + e.what(), web::Ok);
    return;
  }
  for (std::size_t r = 0; r < keys_.size(); ++r) {
    if (keys_[r] != key) continue;
    const ScopedFlag refreshing(refreshing_);
    web::StandardItem& cell = *model_->item(static_cast<int>(r), columns().power);
    cell.setText(status == Node::Up ? "powering down" : "powering up");
    cell.setToolTip("Power command sent; the state shows here within a few seconds");
  }
}

void NodeConfig::commit() {
  TRL_LOG("[NodeConfig] Commiting to disk");
  if (!nodeTableData_.nodes) throw TRL_ERROR("nodes is NULL");
  nodeTableData_.nodes->commit();
}

void NodeConfig::reset() {
  Nodes* const nodes = nodeTableData_.nodes;
  if (!nodes) throw TRL_ERROR("nodes is NULL");
  long count = 0;
  {
    const Nodes::SharedAccess table(*nodes);
    count = table.end() - table.begin();
  }
  if (web::MessageBox::show("Confirm",
                            "Clear the node table? All " + std::to_string(count) +
                                " servers will be forgotten and rediscovered from the DHCP leases.",
                            web::Yes | web::No) != web::Yes)
    return;
  if (!auditAction(trl::AuditAction::TableClear, std::to_string(count) + " servers")) return;
  TRL_LOG("[NodeConfig] Resetting configuration");
  nodes->reset();
}

void NodeConfig::deleteNode() {
  Nodes* const nodes = nodeTableData_.nodes;
  if (!nodes) throw TRL_ERROR("nodes is NULL");
  const std::vector<web::ModelIndex> selected = nodeTable_->selectedIndexes();
  if (selected.empty() || selected.front().row() >= static_cast<int>(keys_.size())) {
    web::MessageBox::show("Error", "Please select a server", web::Ok);
    return;
  }
  const int row = selected.front().row();
  const Key key = keys_[static_cast<std::size_t>(row)];
  const std::string name = serverName(row);
  if (web::MessageBox::show("Confirm",
                            "Delete " + name +
                                " from the node table? Its name, partition and MAC corrections will be lost; it "
                                "comes back as a new server when it next leases an address.",
                            web::Yes | web::No) != web::Yes)
    return;
  int index = -1;
  {
    const Nodes::SharedAccess table(*nodes);
    const std::vector<Key> one = {key};
    index = recordOf(one, 0, table.begin(), table.end());
  }
  if (index < 0) {
    web::MessageBox::show("Info", name + " is no longer in the node table.", web::Ok);
    return;
  }
  if (!auditAction(trl::AuditAction::TableDelete, name)) return;
  TRL_LOG("[NodeConfig] Deleting " << name);
  nodes->removeNode(index);
}
