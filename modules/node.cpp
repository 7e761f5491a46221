// Node records, their interfaces, the vendor rule table and the session
// handles that tie records to IPMI objects.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/nodes.h"
#include "modules/paths.h"

// The node table is a file format: 336-byte records with fixed offsets.
static_assert(sizeof(Nodes::Node::Interface) == 32, "interface layout");
static_assert(offsetof(Nodes::Node::Interface, ip_val) == 8 && offsetof(Nodes::Node::Interface, name_val) == 12 &&
                  offsetof(Nodes::Node::Interface, updated) == 28,
              "interface layout");
static_assert(sizeof(Nodes::Node) == 336, "node record size");
static_assert(offsetof(Nodes::Node, mc) == 32 && offsetof(Nodes::Node, ipmi_val) == 64 &&
                  offsetof(Nodes::Node, powerStatus_val) == 68 && offsetof(Nodes::Node, partition) == 72 &&
                  offsetof(Nodes::Node, error_str) == 76 && offsetof(Nodes::Node, ipmiProbeFailedCount) == 332,
              "node record layout");
static_assert(sizeof(Nodes::Node::PowerStatus) == 4, "power status is 32 bits on disk");

const IPMIRule rule_list[] = {
    {"Supermicro", 0x002590000000ULL, "ADMIN", "QZWRT", 0, 2},
    {"Supermicro", 0x003048000000ULL, "ADMIN", "QZWRT", 0, 2},
    {"HP Proliant", 0x18a905000000ULL, "admin", "kfpla", 0, 0},
    {"IBM xSeries", 0xe41f13000000ULL, "USERID", "MORTA1NE", 4, 2},
    {"AIC Octans", 0x0015b2000000ULL, "root", "lanternox", 2, 1},
    {"", 0, "", "", 0, 0},
};

namespace {

std::string macText(macaddr mac) {
  char text[18];
  snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", static_cast<unsigned>((mac >> 40) & 0xff),
           static_cast<unsigned>((mac >> 32) & 0xff), static_cast<unsigned>((mac >> 24) & 0xff),
           static_cast<unsigned>((mac >> 16) & 0xff), static_cast<unsigned>((mac >> 8) & 0xff),
           static_cast<unsigned>(mac & 0xff));
  return text;
}

const IPMIRule* matchingRule(macaddr mac) {
  for (const IPMIRule* rule = rule_list; rule->rulename[0] != '\0'; ++rule)
    if ((mac & 0xFFFFFF000000ULL) == rule->macaddr_prefix) return rule;
  return nullptr;
}

const IPMIRule& terminatorRule() {
  const IPMIRule* rule = rule_list;
  while (rule->rulename[0] != '\0') ++rule;
  return *rule;
}

// First whitespace-separated field of a hosts line, "" for comments/blank.
std::string hostsField(const std::string& line, size_t index) {
  std::istringstream in(line.substr(0, line.find('#')));
  std::string field;
  for (size_t i = 0; i <= index; ++i)
    if (!(in >> field)) return "";
  return field;
}

struct SessionTable {
  std::mutex lock;
  uint32_t next = 1;
  std::unordered_map<uint32_t, std::shared_ptr<IPMI>> sessions;
};

SessionTable& sessionTable() {
  static SessionTable table;
  return table;
}

}  // namespace

// The host MAC a controller reports, when it is plausible: not 0, not the
// controller's own, and from the same manufacturer. 0 otherwise.
macaddr Nodes::Node::hostMacOf(IPMI& controller, macaddr controller_mac) {
  macaddr host_mac = 0;
  try {
    host_mac = controller.getEth0MacAddr();
  } catch (const std::exception& e) {
    // A controller that will not tell keeps its host MAC unknown.
    TRL_LOG("reading the host MAC of " << controller.hostname() << " failed: " << e.what());
  }
  const bool plausible = host_mac != 0 && host_mac != controller_mac && (host_mac >> 24) == (controller_mac >> 24);
  return plausible ? host_mac : 0;
}

std::string IPMIRule::toString() const {
  return std::string(rulename) + "\t" + macText(macaddr_prefix) + "\t" + username + "\t" + password + "\t" +
         std::to_string(macaddr_offset) + "\t" + std::to_string(serial_console) + "\n";
}

IpmiCredentials& IpmiCredentials::getInstance() {
  static IpmiCredentials instance;
  return instance;
}

// --- session handles -------------------------------------------------------

uint32_t Nodes::Sessions::add(std::shared_ptr<IPMI> session) {
  SessionTable& table = sessionTable();
  const std::lock_guard<std::mutex> guard(table.lock);
  while (table.next == 0 || table.sessions.count(table.next)) ++table.next;
  const uint32_t handle = table.next++;
  table.sessions[handle] = std::move(session);
  return handle;
}

std::shared_ptr<IPMI> Nodes::Sessions::get(uint32_t handle) {
  if (handle == 0) return nullptr;
  SessionTable& table = sessionTable();
  const std::lock_guard<std::mutex> guard(table.lock);
  const auto found = table.sessions.find(handle);
  return found == table.sessions.end() ? nullptr : found->second;
}

// The object itself lives on while another thread still holds it.
void Nodes::Sessions::release(uint32_t handle) {
  std::shared_ptr<IPMI> last;
  {
    SessionTable& table = sessionTable();
    const std::lock_guard<std::mutex> guard(table.lock);
    const auto found = table.sessions.find(handle);
    if (found == table.sessions.end()) return;
    last = std::move(found->second);
    table.sessions.erase(found);
  }
}

// --- interfaces ------------------------------------------------------------

Nodes::Node::Interface::Interface() : Interface(0, 0) {}

Nodes::Node::Interface::Interface(macaddr mac, ipaddr ip) : mac_val(mac), ip_val(ip), name_val(), updated(true) {
  std::strcpy(name_val, "unset");
}

void Nodes::Node::Interface::reset() {
  mac_val = 0;
  ip_val = 0;
  std::memset(name_val, 0, sizeof name_val);
  std::strcpy(name_val, "unset");
}

std::string Nodes::Node::Interface::name() const { return std::string(name_val, strnlen(name_val, sizeof name_val)); }

void Nodes::Node::Interface::name(const std::string& n) {
  const std::string value = n.empty() ? "unset" : n.substr(0, name_max - 1);
  std::memset(name_val, 0, sizeof name_val);
  std::memcpy(name_val, value.data(), value.size());
  updated = true;
}

void Nodes::Node::Interface::mac(const std::string& text) {
  if (text == "unset") {
    mac_val = 0;
    ip_val = 0;
    return;
  }
  if (text.size() != 17) throw std::invalid_argument("MAC address must be 17 characters long");
  macaddr value = 0;
  int fields = 0;
  std::istringstream in(text);
  std::string field;
  while (std::getline(in, field, ':')) {
    // Each field is two hexadecimal digits; anything else is a format error.
    if (field.size() != 2 || !isxdigit(static_cast<unsigned char>(field[0])) ||
        !isxdigit(static_cast<unsigned char>(field[1])))
      throw std::invalid_argument("MAC address format must be xx:xx:xx:xx:xx:xx");
    value = (value << 8) | std::stoul(field, nullptr, 16);
    ++fields;
  }
  if (fields != 6) throw std::invalid_argument("MAC address format must be xx:xx:xx:xx:xx:xx");
  mac_val = value;
}

std::string Nodes::Node::Interface::mac_str() const { return mac_val == 0 ? "unset" : macText(mac_val); }

std::string Nodes::Node::Interface::ip_str() const {
  char text[16];
  snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>((ip_val >> 24) & 0xff),
           static_cast<int>((ip_val >> 16) & 0xff), static_cast<int>((ip_val >> 8) & 0xff),
           static_cast<int>(ip_val & 0xff));
  return text;
}

std::string Nodes::Node::Interface::toString() const {
  return "mac=" + mac_str() + " ip=" + ip_str() + " name=" + name();
}

void Nodes::Node::Interface::print() const { TRL_LOG(toString()); }

// Looks the address up in the hosts file under the system root. Reading
// the file itself (rather than asking the resolver) keeps a scratch root
// self-contained and sends no name query off the host.
void Nodes::Node::Interface::resolve() {
  const std::string current = name();
  if (!current.empty() && current != "unset") return;
  name_ensure();
  std::istringstream hosts(trl::readWholeFile(trl::sysPath(hosts_path)));
  const std::string address = ip_str();
  for (std::string line; std::getline(hosts, line);) {
    if (hostsField(line, 0) != address) continue;
    std::string host = hostsField(line, 1);
    host = host.substr(0, host.find('.'));  // the short name, as NI_NOFQDN gives
    name(host);
    return;
  }
  throw TRL_ERROR("getnameinfo failed: " + address + " not in " + trl::sysPath(hosts_path));
}

void Nodes::Node::Interface::name_ensure() const {
  const std::string path = trl::sysPath(hosts_path);
  const std::string text = trl::readWholeFile(path);
  const std::string address = ip_str();
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (hostsField(line, 0) == address) return;  // whole field: 10.0.0.1 is not 10.0.0.10
  std::string updated_text = text;
  if (!updated_text.empty() && updated_text.back() != '\n') updated_text += '\n';
  updated_text += address + "\tunset\n";
  trl::replaceFile(path, updated_text, [] { TRL_LOG("Trying to access host temp file: " << 0); });
}

// --- nodes -----------------------------------------------------------------

Nodes::Node::Node(Interface& iface)
    : ipmi_val(0), powerStatus_val(Unknown), partition(0), error_str(), ipmiProbeFailedCount(0) {
  iface.resolve();
  bool answers = false;
  macaddr host_mac = 0;
  if (iface.ip() != 0) {  // 0.0.0.0 would reach this host itself
    IPMI probe(iface.ip_str(), ipmiUsername(iface.mac()), ipmiPassword(iface.mac()));
    answers = probe.probe();
    // A controller that answers at once is asked for its host's MAC here, as
    // a late one is by the polling thread: otherwise the host's own lease
    // could only be paired by the one-at-a-time rule of autoSetEth0.
    if (answers) host_mac = hostMacOf(probe, iface.mac());
  }
  if (answers) {
    if (host_mac != 0) eth0.mac(host_mac);
    // The record is named after the server: the controller's name is derived
    // from it whenever the table is saved, so a nameless eth0 would turn every
    // lone controller into "unset-mc".
    eth0.name(iface.name());
    iface.name(iface.name() + mc_extension);
    mc = iface;
  } else {
    eth0 = iface;
  }
}

IPMI* Nodes::Node::ipmi() const { return Sessions::get(ipmi_val).get(); }

std::shared_ptr<IPMI> Nodes::Node::ipmiShared() const { return Sessions::get(ipmi_val); }

std::string Nodes::Node::toPowerStatusStr(PowerStatus s) {
  switch (s) {
    case Up: return "up";
    case Down: return "down";
    case ConnectionError: return "connection error";
    case Unknown: return "unknown";
    case NoIPMI: return "no IPMI";
  }
  return "unknown";
}

std::string Nodes::Node::toString() const {
  return "Eth0: " + eth0.toString() + "; MC: " + mc.toString() + "; Partition: " + std::to_string(partition);
}

void Nodes::Node::setError(const std::string& text) {
  std::memset(error_str, 0, sizeof error_str);
  std::memcpy(error_str, text.data(), std::min(text.size(), sizeof error_str - 1));
}

void Nodes::Node::resetIPMI() {
  const std::shared_ptr<IPMI> session = Sessions::get(ipmi_val);
  if (!session) ipmi_val = 0;  // a handle from an earlier run or a released session
  const bool has_address = mc.ip() != 0;
  if (session && has_address) {
    session->reset(mc.ip_str(), ipmiUsername(mc.mac()), ipmiPassword(mc.mac()));
  } else if (session) {
    Sessions::release(ipmi_val);
    ipmi_val = 0;
  } else if (has_address) {
    ipmi_val = Sessions::add(std::make_shared<IPMI>(mc.ip_str(), ipmiUsername(mc.mac()), ipmiPassword(mc.mac())));
  }
}

bool Nodes::Node::probeIPMI() {
  if (ipmi_val != 0 || mc.ip() != 0) return false;
  if (eth0.ip() != 0) {
    IPMI probe(eth0.ip_str(), ipmiUsername(eth0.mac()), ipmiPassword(eth0.mac()));
    if (probe.probe()) {
      mc = eth0;
      eth0.reset();
      eth0.name(mc.name());
      mc.name(eth0.name() + mc_extension);
      resetIPMI();
      ipmiProbeFailedCount = 0;
      const macaddr host_mac = hostMacOf(probe, mc.mac());
      if (host_mac != 0) eth0.mac(host_mac);
      return true;
    }
  }
  if (ipmiProbeFailedCount < ipmi_probe_failed_threshold) ++ipmiProbeFailedCount;
  return false;
}

bool Nodes::Node::isServerMacAddr(macaddr mac) { return matchingRule(mac) != nullptr; }

std::string Nodes::Node::serverBrand(macaddr mac) {
  const IPMIRule* rule = matchingRule(mac);
  return rule ? rule->rulename : "Unknown";
}

int Nodes::Node::serverSerialport(macaddr mac) {
  const IPMIRule* rule = matchingRule(mac);
  return rule ? rule->serial_console : -1;
}

std::string Nodes::Node::ipmiUsername(macaddr mac) {
  const std::string& override_user = IpmiCredentials::getInstance().username;
  if (!override_user.empty()) return override_user;
  const IPMIRule* rule = matchingRule(mac);
  return rule ? rule->username : "";
}

std::string Nodes::Node::ipmiPassword(macaddr mac) {
  const std::string& override_password = IpmiCredentials::getInstance().password;
  if (!override_password.empty()) return override_password;
  const IPMIRule* rule = matchingRule(mac);
  return rule ? rule->password : "";
}

IPMIRule Nodes::Node::ipmiRule(macaddr mac) {
  const IPMIRule* rule = matchingRule(mac);
  return rule ? *rule : terminatorRule();
}

bool operator<(const Nodes::Node& a, const Nodes::Node& b) {
  return strverscmp(a.eth0.name().c_str(), b.eth0.name().c_str()) < 0;
}
