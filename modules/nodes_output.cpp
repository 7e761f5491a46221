// Keeping the cluster's files true to the node table: the hosts file and the
// DHCP server's configuration rebuilt from the table, the DHCP server
// restarted, and a removed server's traces taken out of them and of the
// leases file. The text is made under the table's lock; the files, the
// restart and the disk sync happen with no table lock held.
#include <sstream>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/nodes.h"
#include "modules/paths.h"

void Nodes::saveHostsToStream(std::ostream& out) const {
  HostFiles::saveHostsToStream(out, table_->store().begin(), table_->store().end());
}

void Nodes::saveDhcpConfToStream(std::ostream& out) const {
  HostFiles::saveDhcpConfToStream(out, table_->store().begin(), table_->store().end());
}

void Nodes::saveToDisk() {
  // One rewrite at a time: the event loop and the polling thread both save.
  const std::lock_guard<std::mutex> output_guard(output_lock);
  TRL_LOG("Saving to disk");
  TRL_LOG("Resolving hostnames");
  // Names come from the hosts file, which resolving may rewrite: looked up
  // on copies of the interfaces that need one, with no table lock held.
  std::vector<Node::Interface> unnamed;
  {
    const SharedAccess table(*this);
    for (const Node* node = table.begin(); node != table.end(); ++node) {
      const std::string name = node->eth0.name();
      // No address, nothing to look up.
      if (node->eth0.ip() != 0 && (name.empty() || name == "unset")) unnamed.push_back(node->eth0);
    }
  }
  for (Node::Interface& iface : unnamed) iface.resolve();
  const std::string hosts_template = trl::readWholeFile(trl::sysPath(hosts_path_in));
  const std::string dhcp_template = trl::readWholeFile(trl::sysPath(dhcpd_conf_in));
  std::ostringstream hosts, dhcp;
  {
    const ExclusiveAccess table(*this);
    for (Node* node = table.begin(); node != table.end(); ++node) {
      const std::string name = node->eth0.name();
      if (!name.empty() && name != "unset") continue;  // named meanwhile
      for (const Node::Interface& resolved : unnamed)
        if (resolved.mac() == node->eth0.mac() && resolved.ip() == node->eth0.ip()) node->eth0.name(resolved.name());
    }
    // Renaming the controllers writes records: do it while writers are kept out.
    updateMCNames();
    hosts << hosts_template;
    saveHostsToStream(hosts);
    dhcp << dhcp_template;
    saveDhcpConfToStream(dhcp);
  }
  TRL_LOG("Rebuilding hosts entries");
  HostFiles::writeHosts(hosts.str());
  TRL_LOG("rebuilding DHCP entries");
  HostFiles::writeDhcpConf(dhcp.str());
  stopDhcpServer();
  leases_->ignoreNextReplacement();
  startDhcpServer();
  TRL_LOG("committing to store");
  table_->commit();
}

void Nodes::commit() {
  saveToDisk();
  triggerEvent();
}

void Nodes::reset() {
  const std::lock_guard<std::mutex> output_guard(output_lock);
  std::vector<std::string> ips;
  {
    TRL_LOG("Acquiring exclusive lock...");
    const ExclusiveAccess table(*this);
    for (Node* node = table.begin(); node != table.end(); ++node) {
      ips.push_back(node->eth0.ip_str());
      ips.push_back(node->mc.ip_str());
      Sessions::release(node->ipmi_val);
      node->ipmi_val = 0;
    }
    table_->store().clear();
    table_->store().compact();
  }
  TRL_LOG("Releasing exclusive lock...");
  stopDhcpServer();
  TRL_LOG("removing hosts entries");
  HostFiles::writeHosts(trl::readWholeFile(trl::sysPath(hosts_path_in)));
  TRL_LOG("removing DHCP entries");
  HostFiles::writeDhcpConf(trl::readWholeFile(trl::sysPath(dhcpd_conf_in)) + "\n}\n");
  TRL_LOG("removing DHCP leases");
  deleteIPsFromLeasesFile(ips);
  leases_->ignoreNextReplacement();
  startDhcpServer();
  triggerEvent();
}

void Nodes::removeNode(int index) {
  const std::lock_guard<std::mutex> output_guard(output_lock);
  std::vector<std::string> ips, macs;
  {
    TRL_LOG("Acquiring exclusive lock...");
    const ExclusiveAccess table(*this);
    if (index >= 0 && static_cast<size_t>(index) < table_->size()) {
      Node* node = table.begin() + index;
      // Only real values: "unset" or 0.0.0.0 would match other entries.
      if (node->mc.ip() != 0) ips.push_back(node->mc.ip_str());
      if (node->eth0.ip() != 0) ips.push_back(node->eth0.ip_str());
      if (node->mc.mac() != 0) macs.push_back(node->mc.mac_str());
      if (node->eth0.mac() != 0) macs.push_back(node->eth0.mac_str());
      Sessions::release(node->ipmi_val);
      table_->store().erase(node);
    }
  }
  TRL_LOG("Releasing exclusive lock...");
  if (ips.empty() && macs.empty()) return;
  stopDhcpServer();
  deleteIPsFromHostsFile(ips);
  deleteIPsFromLeasesFile(ips);
  deleteMACsFromDHCPConfFile(macs);
  leases_->ignoreNextReplacement();
  startDhcpServer();
  triggerEvent();
}

void Nodes::deleteIPsFromHostsFile(const std::vector<std::string>& ips) { HostFiles::deleteIPsFromHostsFile(ips); }

void Nodes::deleteMACsFromDHCPConfFile(const std::vector<std::string>& macs) {
  HostFiles::deleteMACsFromDHCPConfFile(macs);
}

void Nodes::deleteIPsFromLeasesFile(const std::vector<std::string>& ips) {
  HostFiles::deleteIPsFromLeasesFile(ips, [this] { leases_->ignoreNextReplacement(); });
}

void Nodes::startDhcpServer() { service_.startDhcpServer(); }

void Nodes::stopDhcpServer() { service_.stopDhcpServer(); }
