// Lease discovery: reading the DHCP server's leases file, merging its
// (address, MAC) pairs into the node table, pairing and clean-ups, and the
// watch on the leases directory.
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/nodes.h"
#include "modules/paths.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // the server writes lower case only; anything else is not a lease
}

// Reads a decimal octet at text[at...]; -1 when missing or out of range.
int readOctet(const std::string& text, size_t& at) {
  int value = 0;
  size_t digits = 0;
  while (at < text.size() && isDigit(text[at])) {
    if (++digits > 3) return -1;
    value = value * 10 + (text[at++] - '0');
  }
  return digits == 0 || value > 255 ? -1 : value;
}

// "A.B.C.D {" at text[at...]; 0 when it is not one.
ipaddr readLeaseAddress(const std::string& text, size_t at) {
  ipaddr ip = 0;
  for (int i = 0; i < 4; ++i) {
    const int octet = readOctet(text, at);
    if (octet < 0) return 0;
    ip = (ip << 8) | static_cast<ipaddr>(octet);
    if (i < 3 && (at >= text.size() || text[at++] != '.')) return 0;
  }
  return text.compare(at, 2, " {") == 0 ? ip : 0;
}

// "xx:xx:xx:xx:xx:xx" in lower-case hexadecimal at text[at...]; 0 when not.
macaddr readMac(const std::string& text, size_t at) {
  if (at + 17 > text.size()) return 0;
  macaddr mac = 0;
  for (int i = 0; i < 6; ++i, at += 3) {
    const int hi = hexValue(text[at]), lo = hexValue(text[at + 1]);
    if (hi < 0 || lo < 0 || (i < 5 && text[at + 2] != ':')) return 0;
    mac = (mac << 8) | static_cast<macaddr>(hi * 16 + lo);
  }
  return mac;
}

const char* const inotify_flag_names[] = {"IN_ACCESS ", "IN_ATTRIB ", "IN_CLOSE_NOWRITE ", "IN_CLOSE_WRITE ",
                                          "IN_CREATE ", "IN_DELETE ", "IN_DELETE_SELF ", "IN_IGNORED ",
                                          "IN_ISDIR ", "IN_MODIFY ", "IN_MOVE_SELF ", "IN_MOVED_FROM ",
                                          "IN_MOVED_TO ", "IN_OPEN ", "IN_Q_OVERFLOW ", "IN_UNMOUNT "};
const uint32_t inotify_flags[] = {IN_ACCESS,      IN_ATTRIB,     IN_CLOSE_NOWRITE, IN_CLOSE_WRITE,
                                  IN_CREATE,      IN_DELETE,     IN_DELETE_SELF,   IN_IGNORED,
                                  IN_ISDIR,       IN_MODIFY,     IN_MOVE_SELF,     IN_MOVED_FROM,
                                  IN_MOVED_TO,    IN_OPEN,       IN_Q_OVERFLOW,    IN_UNMOUNT};

std::string firstFlagName(uint32_t mask) {
  for (size_t i = 0; i < sizeof inotify_flags / sizeof inotify_flags[0]; ++i)
    if (mask & inotify_flags[i]) return inotify_flag_names[i];
  return "";
}

}  // namespace

namespace {

// The next occurrence of a pattern at or after a moving position. Positions
// only move forward, so every byte is scanned a bounded number of times.
class ForwardSearch {
 public:
  ForwardSearch(const std::string& text, std::string pattern) : text_(text), pattern_(std::move(pattern)) {}
  size_t from(size_t at) {
    if (!valid_ || (found_ != std::string::npos && found_ < at)) {
      found_ = text_.find(pattern_, at);
      valid_ = true;
    }
    return found_;
  }

 private:
  const std::string& text_;
  const std::string pattern_;
  size_t found_ = std::string::npos;
  bool valid_ = false;
};

// The leases file is a log: a MAC that moved keeps its old blocks. Only its
// latest lease counts, so a rescan changes the table only when the table is
// out of date (merging every old block would count the move again on every
// rescan and restart the DHCP server each time).
std::vector<Nodes::Lease> latestPerMac(const std::vector<Nodes::Lease>& leases) {
  std::vector<Nodes::Lease> latest;
  std::set<macaddr> seen;
  for (auto lease = leases.rbegin(); lease != leases.rend(); ++lease)
    if (seen.insert(lease->mac).second) latest.push_back(*lease);
  std::reverse(latest.begin(), latest.end());
  return latest;
}

}  // namespace

// A lease block runs from "lease A.B.C.D {" to a line that starts with "}"
// (or the next lease line). Within it the first "hardware ethernet " with a
// well-formed MAC counts. Linear in the text, whatever the text holds.
std::vector<Nodes::Lease> Nodes::parseLeases(const std::string& text) {
  static const std::string header = "lease ";
  static const std::string hardware = "hardware ethernet ";
  ForwardSearch headers(text, header), closes(text, "\n}"), next_headers(text, "\n" + header),
      hardwares(text, hardware);
  std::vector<Lease> leases;
  size_t at = 0;
  while ((at = headers.from(at)) != std::string::npos) {
    at += header.size();
    const ipaddr ip = readLeaseAddress(text, at);
    if (ip == 0) continue;  // not a lease header, or an address we cannot use
    const size_t block_end = std::min({closes.from(at), next_headers.from(at), text.size()});
    for (size_t hw = hardwares.from(at); hw < block_end; hw = hardwares.from(hw + 1)) {
      const macaddr mac = readMac(text, hw + hardware.size());
      if (mac != 0) {
        leases.push_back({ip, mac});
        break;
      }
    }
    at = block_end;
  }
  return leases;
}

void Nodes::update() {
  const std::string path = trl::sysPath(dhcp_leases);
  TRL_LOG("parsing " << path);
  const std::vector<Lease> leases = latestPerMac(parseLeases(trl::readWholeFile(path)));
  int count = 0;
  size_t records = 0;
  {
    TRL_LOG("Acquiring exclusive lock...");
    const ExclusiveAccess table(*this);
    for (Node* node = table.begin(); node != table.end(); ++node) {
      node->eth0.setUpdated(false);
      node->mc.setUpdated(false);
    }
    for (const Lease& lease : leases)
      if (add(lease.mac, lease.ip)) ++count;
    count += removeEmptyNodes();
    count += removeOutdatedNodes();
    std::stable_sort(nodes->begin(), nodes->end());
    resetIPMI();
    records = nodes->size();
    TRL_LOG("Releasing exclusive lock...");
  }
  TRL_LOG("found " << count << " with " << records << " nodes");
  if (count != 0) saveToDisk();
}

bool Nodes::add(macaddr mac, ipaddr ip) {
  if (ip == 0) throw TRL_ERROR("invalid IP address");
  Node::Interface iface(mac, ip);
  TRL_LOG("adding node: MAC=" << iface.mac_str() << " IP=" << iface.ip_str());
  if (!Node::isServerMacAddr(mac)) {
    TRL_LOG("MAC addr not in supported range, filtered out");
    return false;
  }
  TRL_LOG(Node::serverBrand(mac) << " node detected");
  const int offset = Node::ipmiRule(mac).macaddr_offset;
  for (Node* node = nodes->begin(); node != nodes->end(); ++node) {
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
  if (auto_naming_enabled) iface.name(nodeNamePrefix() + std::to_string(nodes->size() + 1));
  Node node(iface);
  if (node.mc.mac() != 0 && node.eth0.mac() != 0) {
    // The controller told its host's MAC: a host record that leased first
    // gets its controller now; a MAC some record already pairs stays there.
    for (Node* host = nodes->begin(); host != nodes->end(); ++host) {
      if (host->eth0.mac() != node.eth0.mac()) continue;
      if (host->mc.mac() != 0) {
        node.eth0.mac(static_cast<macaddr>(0));
        break;
      }
      host->mc = node.mc;
      host->mc.name(host->eth0.name() + mc_extension);
      host->ipmiProbeFailedCount = 0;
      TRL_LOG("Matched mc with existing eth0 entry " << host->eth0.name());
      return true;
    }
  }
  nodes->push_back(node);
  TRL_LOG("adding as new node");
  return true;
}

// Erases the records the predicate picks, with their sessions; the count erased.
template <typename Pick>
int Nodes::removeNodesIf(Pick pick) {
  int removed = 0;
  for (Node* node = nodes->begin(); node != nodes->end();) {
    if (pick(*node)) {
      Sessions::release(node->ipmi_val);
      node = nodes->erase(node);
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
  for (Node* node = nodes->begin(); node != nodes->end(); ++node) {
    if (node->mc.mac() == 0) continue;
    node->mc.name(node->eth0.name() + mc_extension);
    node->resetIPMI();
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

// Returns whether the read calls for a rescan of the leases file.
bool Nodes::readLeasesEvents() {
  alignas(struct inotify_event) char buffer[272];
  ssize_t length;
  do {
    length = ::read(notifyFd, buffer, sizeof buffer);
  } while (length < 0 && errno == EINTR);
  if (length < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      TRL_LOG("Nothing to read or read blocked");
      return false;
    }
    throw TRL_SYSERROR("read failed");
  }
  if (length <= static_cast<ssize_t>(sizeof(struct inotify_event))) {
    TRL_LOG("Read length too short");
    return false;
  }
  uint32_t last_mask = 0;
  for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= length;) {
    struct inotify_event event;
    std::memcpy(&event, buffer + at, sizeof event);
    const char* name = buffer + at + sizeof event;
    const ssize_t name_room = length - at - static_cast<ssize_t>(sizeof event);
    at += static_cast<ssize_t>(sizeof event + event.len);
    last_mask = event.mask;
    // A record cut off by the end of the buffer names nothing we can trust.
    if (event.len == 0 || static_cast<ssize_t>(event.len) > name_room) continue;
    const std::string file(name, strnlen(name, event.len));
    TRL_LOG("File changed: " << file);
    if (file != dhcp_leases_filename) continue;
    if ((event.mask & IN_MOVED_TO) && !monitor_moved_to) {
      TRL_LOG("Change initiated by DHCP server restarting. Ignore leases file replacement");
      monitor_moved_to = true;
      return false;
    }
    TRL_LOG("leases file modified or replaced; event.mask=" << event.mask << " or " << firstFlagName(event.mask));
    return true;
  }
  if (last_mask & (IN_ISDIR | IN_IGNORED)) {
    if (inotify_add_watch(notifyFd, trl::sysPath(dhcp_leases_dir).c_str(), IN_MODIFY | IN_MOVED_TO | IN_IGNORED) <
        0)
      throw TRL_SYSERROR("inotify_add_watch failed");
    return true;
  }
  return false;
}
