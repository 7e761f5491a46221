// Lease discovery: merging the leases file's (address, MAC) pairs into the
// node table, pairing and clean-ups. Probing a new address is network I/O:
// it happens before the merge, with no table lock held.
#include <algorithm>
#include <set>

#include "modules/error.h"
#include "modules/nodes.h"

// The addresses of the leases that no record takes, probed with no table
// lock held. The pass follows the merge's matching rules in file order, so
// an address is probed only when its lease would become a new record.
std::map<macaddr, Nodes::Node::Probe> Nodes::probeNewcomers(const std::vector<Lease>& leases) {
  std::set<macaddr> hosts, controllers;
  struct Candidate {
    Lease lease;
    std::string user, password;
  };
  std::vector<Candidate> candidates;
  {
    const SharedAccess table(*this);
    for (const Node* node = table.begin(); node != table.end(); ++node) {
      if (node->eth0.mac() != 0) hosts.insert(node->eth0.mac());
      if (node->mc.mac() != 0) controllers.insert(node->mc.mac());
    }
    // The credential override is written under the exclusive lock.
    for (const Lease& lease : leases)
      if (lease.ip != 0 && Node::isServerMacAddr(lease.mac))
        candidates.push_back({lease, Node::ipmiUsername(lease.mac), Node::ipmiPassword(lease.mac)});
  }
  std::map<macaddr, Node::Probe> probes;
  for (const Candidate& c : candidates) {
    const macaddr mac = c.lease.mac;
    const macaddr paired = mac + static_cast<macaddr>(static_cast<int64_t>(Node::ipmiRule(mac).macaddr_offset));
    if (hosts.count(mac) || controllers.count(mac) || controllers.count(paired)) continue;
    const Node::Probe probe = Node::probeAddress(c.lease.ip, c.user, c.password, mac, config_.ipmi);
    probes[mac] = probe;
    if (probe.answers) {
      controllers.insert(mac);
      if (probe.host_mac != 0) hosts.insert(probe.host_mac);
    } else {
      hosts.insert(mac);
    }
  }
  return probes;
}

void Nodes::update() {
  const std::vector<Lease> leases = leases_->read();
  const std::map<macaddr, Node::Probe> probes = probeNewcomers(leases);
  int count = 0;
  size_t records = 0;
  {
    TRL_LOG("Acquiring exclusive lock...");
    const ExclusiveAccess table(*this);
    for (Node* node = table.begin(); node != table.end(); ++node) {
      node->eth0.setUpdated(false);
      node->mc.setUpdated(false);
    }
    for (const Lease& lease : leases) {
      const auto probe = probes.find(lease.mac);
      if (add(lease.mac, lease.ip, probe == probes.end() ? Node::Probe() : probe->second)) ++count;
    }
    count += removeEmptyNodes();
    count += removeOutdatedNodes();
    std::stable_sort(table.begin(), table.end());
    resetIPMI();
    records = table_->size();
    TRL_LOG("Releasing exclusive lock...");
  }
  TRL_LOG("found " << count << " with " << records << " nodes");
  // Unchanged, the files are still rewritten if they are behind the table
  // (a rewrite that failed or was cut short, here or in an earlier run).
  save(count != 0);
}

bool Nodes::add(macaddr mac, ipaddr ip, const Node::Probe& probe) {
  if (ip == 0) throw TRL_ERROR("invalid IP address");
  Node::Interface iface(mac, ip);
  TRL_LOG("adding node: MAC=" << iface.mac_str() << " IP=" << iface.ip_str());
  if (!Node::isServerMacAddr(mac)) {
    TRL_LOG("MAC addr not in supported range, filtered out");
    return false;
  }
  TRL_LOG(Node::serverBrand(mac) << " node detected");
  const int offset = Node::ipmiRule(mac).macaddr_offset;
  Store<Node>& records = table_->store();
  for (Node* node = records.begin(); node != records.end(); ++node) {
    if (node->eth0.mac() == mac) {
      const bool moved = node->eth0.ip() != ip;
      node->eth0.ip(ip);
      node->eth0.setUpdated(true);
      TRL_LOG("overwriting existing eth0 entry with name " << node->eth0.name());
      return moved;
    }
    if (node->mc.mac() == mac) {
      const bool moved = node->mc.ip() != ip;
      node->mc.ip(ip);
      node->mc.setUpdated(true);
      TRL_LOG("overwriting existing mc entry");
      return moved;
    }
    if (node->mc.mac() == mac + static_cast<macaddr>(static_cast<int64_t>(offset))) {
      node->eth0.mac(mac);
      node->eth0.ip(ip);
      node->eth0.setUpdated(true);
      TRL_LOG("Matched eth0 mac address with existing mc entry");
      return true;
    }
  }
  if (auto_naming_enabled) iface.name(freeName(records.size() + 1));
  Node node(iface, probe);
  if (node.mc.mac() != 0 && node.eth0.mac() != 0) {
    // The controller told its host's MAC: a host record that leased first
    // gets its controller now; a MAC some record already pairs stays there.
    for (Node* host = records.begin(); host != records.end(); ++host) {
      if (host->eth0.mac() != node.eth0.mac()) continue;
      if (host->mc.mac() != 0) {
        node.eth0.mac(static_cast<macaddr>(0));
        break;
      }
      host->mc = node.mc;
      host->mc.name(Node::controllerName(host->eth0.name()));
      host->ipmiProbeFailedCount = 0;
      TRL_LOG("Matched mc with existing eth0 entry " << host->eth0.name());
      return true;
    }
  }
  records.push_back(node);
  TRL_LOG("adding as new node");
  return true;
}

// prefix + number where no record has that name; otherwise the lowest
// number above it that none has (a name in use twice makes dhcpd refuse the
// whole configuration). "unset" when the prefix leaves no room for it.
std::string Nodes::freeName(size_t number) const {
  const Store<Node>& records = table_->store();
  std::set<std::string> used;
  for (const Node* node = records.begin(); node != records.end(); ++node) used.insert(node->eth0.name());
  const std::string prefix = nodeNamePrefix();
  std::string name;
  do name = prefix + std::to_string(number++);
  while (used.count(name));
  return Node::hostNameError(name).empty() ? name : "unset";
}

// Erases the records the predicate picks, with their sessions; the count erased.
template <typename Pick>
int Nodes::removeNodesIf(Pick pick) {
  int removed = 0;
  Store<Node>& records = table_->store();
  for (Node* node = records.begin(); node != records.end();) {
    if (pick(*node)) {
      Sessions::release(node->ipmi_val);
      node = records.erase(node);
      ++removed;
    } else {
      ++node;
    }
  }
  return removed;
}

int Nodes::removeEmptyNodes() {
  return removeNodesIf([](const Node& n) { return n.eth0.mac() == 0 && n.mc.mac() == 0; });
}

int Nodes::removeOutdatedNodes() {
  return removeNodesIf([](const Node& n) { return !n.eth0.isUpdated() && !n.mc.isUpdated(); });
}

void Nodes::removeDuplicates(Node::Interface& iface) {
  TRL_LOG("removing duplicates");
  {
    TRL_LOG("Acquiring exclusive lock...");
    const ExclusiveAccess table(*this);
    if (iface.mac() != 0) {
      for (Node* node = table.begin(); node != table.end(); ++node) {
        for (Node::Interface* other : {&node->eth0, &node->mc}) {
          if (other == &iface || other->mac() != iface.mac()) continue;
          TRL_LOG((other == &node->eth0 ? "removing duplicated mac from eth0 interface: "
                                        : "removing duplicated mac from mc interface: ")
                  << other->mac_str());
          iface.ip(other->ip());
          other->mac(static_cast<macaddr>(0));
          other->ip(static_cast<ipaddr>(0));
          other->name("unset");
        }
      }
      removeEmptyNodes();
    }
    TRL_LOG("Releasing exclusive lock...");
  }
  triggerEvent();
}

bool Nodes::autoSetEth0() {
  TRL_LOG("Checking if possible to automatically set eth0 interface...");
  {
    const ExclusiveAccess table(*this);
    Node* host = std::find_if(table.begin(), table.end(), [](const Node& n) {
      return n.ipmiProbeFailedCount == ipmi_probe_failed_threshold;
    });
    if (host == table.end()) return false;
    Node* controller = nullptr;
    int controllers = 0;
    for (Node* node = table.begin(); node != table.end(); ++node) {
      if (node == host || node->eth0.mac() != 0) continue;
      ++controllers;
      controller = node;
    }
    if (controllers != 1) return false;
    TRL_LOG("Suitable eth0 MAC " << host->eth0.mac_str() << " found. Matching with node: " << controller->toString());
    host->eth0.name(controller->eth0.name());
    controller->eth0 = host->eth0;
    host->eth0.reset();
    removeEmptyNodes();
  }
  saveToDisk();
  triggerEvent();
  return true;
}

void Nodes::updateMCNames() {
  Store<Node>& records = table_->store();
  for (Node* node = records.begin(); node != records.end(); ++node) {
    if (node->mc.mac() == 0) continue;
    node->mc.name(Node::controllerName(node->eth0.name()));
    node->resetIPMI(config_.ipmi);
  }
}

bool Nodes::hostNameDuplicated() {
  const SharedAccess table(*this);
  for (const Node* a = table.begin(); a != table.end(); ++a) {
    for (const Node* b = table.begin(); b != table.end(); ++b) {
      if (a != b && a->eth0.name() == b->eth0.name()) {
        TRL_LOG(a->eth0.name() << " duplicated");
        return true;
      }
    }
  }
  return false;
}

int Nodes::emptyPartitionExists() {
  const SharedAccess table(*this);
  if (table.begin() == table.end()) return 0;
  std::set<int> used;
  int highest = -1;
  for (const Node* node = table.begin(); node != table.end(); ++node) {
    used.insert(node->partition);
    highest = std::max<int>(highest, node->partition);
  }
  for (int p = 0; p <= highest; ++p)
    if (!used.count(p)) return p;
  return -1;
}

