// Node records, their interfaces, the vendor rule table and the session
// handles that tie records to IPMI objects.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

#include "modules/node.h"

#include "modules/error.h"
#include "modules/files.h"
#include "modules/host_files.h"
#include "modules/paths.h"

// The node table is a file format: 336-byte records with fixed offsets.
static_assert(sizeof(NodeRecord::Interface) == 32, "interface layout");
static_assert(offsetof(NodeRecord::Interface, ip_val) == 8 && offsetof(NodeRecord::Interface, name_val) == 12 &&
                  offsetof(NodeRecord::Interface, updated) == 28,
              "interface layout");
static_assert(sizeof(NodeRecord) == 336, "node record size");
static_assert(offsetof(NodeRecord, mc) == 32 && offsetof(NodeRecord, ipmi_val) == 64 &&
                  offsetof(NodeRecord, powerStatus_val) == 68 && offsetof(NodeRecord, partition) == 72 &&
                  offsetof(NodeRecord, error_str) == 76 && offsetof(NodeRecord, ipmiProbeFailedCount) == 332,
              "node record layout");
static_assert(sizeof(NodeRecord::PowerStatus) == 4, "power status is 32 bits on disk");

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

// Never destroyed: polling jobs may still hold sessions while exit() runs
// the destructors of static objects.
SessionTable& sessionTable() {
  static auto& table = *new SessionTable;
  return table;
}

}  // namespace

// The host MAC a controller reports, when it is plausible: not 0, not the
// controller's own, and from the same manufacturer. 0 otherwise.
macaddr NodeRecord::hostMacOf(IPMI& controller, macaddr controller_mac) {
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

uint32_t IpmiSessions::add(std::shared_ptr<IPMI> session) {
  SessionTable& table = sessionTable();
  const std::lock_guard<std::mutex> guard(table.lock);
  while (table.next == 0 || table.sessions.count(table.next)) ++table.next;
  const uint32_t handle = table.next++;
  table.sessions[handle] = std::move(session);
  return handle;
}

std::shared_ptr<IPMI> IpmiSessions::get(uint32_t handle) {
  if (handle == 0) return nullptr;
  SessionTable& table = sessionTable();
  const std::lock_guard<std::mutex> guard(table.lock);
  const auto found = table.sessions.find(handle);
  return found == table.sessions.end() ? nullptr : found->second;
}

// The object itself lives on while another thread still holds it.
void IpmiSessions::release(uint32_t handle) {
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

NodeRecord::Interface::Interface() : Interface(0, 0) {}

NodeRecord::Interface::Interface(macaddr mac, ipaddr ip) : mac_val(mac), ip_val(ip), name_val(), updated(true) {
  std::strcpy(name_val, "unset");
}

void NodeRecord::Interface::reset() {
  mac_val = 0;
  ip_val = 0;
  std::memset(name_val, 0, sizeof name_val);
  std::strcpy(name_val, "unset");
}

std::string NodeRecord::Interface::name() const { return std::string(name_val, strnlen(name_val, sizeof name_val)); }

std::string NodeRecord::hostNameError(const std::string& name) {
  const auto alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); };
  bool valid = !name.empty() && name.size() < static_cast<size_t>(name_max) && alnum(name[0]);
  for (const char c : name) valid = valid && (alnum(c) || c == '-' || c == '_');
  if (valid) return "";
  return "invalid host name '" + name + "': use 1 to " + std::to_string(name_max - 1) +
         " letters, digits, '-' or '_', starting with a letter or a digit";
}

std::string NodeRecord::controllerName(const std::string& host) {
  return (host + mc_extension).substr(0, name_max - 1);
}

void NodeRecord::Interface::name(const std::string& n) {
  const std::string value = n.empty() ? "unset" : n;
  const std::string error = hostNameError(value);
  if (!error.empty()) throw TRL_ERROR(error);
  std::memset(name_val, 0, sizeof name_val);
  std::memcpy(name_val, value.data(), value.size());
  updated = true;
}

void NodeRecord::Interface::mac(const std::string& text) {
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

std::string NodeRecord::Interface::mac_str() const { return mac_val == 0 ? "unset" : macText(mac_val); }

std::string NodeRecord::Interface::ip_str() const {
  char text[16];
  snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>((ip_val >> 24) & 0xff),
           static_cast<int>((ip_val >> 16) & 0xff), static_cast<int>((ip_val >> 8) & 0xff),
           static_cast<int>(ip_val & 0xff));
  return text;
}

std::string NodeRecord::Interface::toString() const {
  return "mac=" + mac_str() + " ip=" + ip_str() + " name=" + name();
}

void NodeRecord::Interface::print() const { TRL_LOG(toString()); }

// Looks the address up in the hosts file under the system root. Reading
// the file itself (rather than asking the resolver) keeps a scratch root
// self-contained and sends no name query off the host.
void NodeRecord::Interface::resolve() {
  const std::string current = name();
  if (!current.empty() && current != "unset") return;
  name_ensure();
  std::istringstream hosts(trl::readWholeFile(trl::sysPath(HostFiles::hosts_path)));
  const std::string address = ip_str();
  for (std::string line; std::getline(hosts, line);) {
    if (hostsField(line, 0) != address) continue;
    std::string host = hostsField(line, 1);
    host = host.substr(0, host.find('.'));  // the short name, as NI_NOFQDN gives
    // Whatever else stands in the hosts file never reaches the DHCP files.
    if (hostNameError(host).empty()) name(host);
    return;
  }
  throw TRL_ERROR("getnameinfo failed: " + address + " not in " + trl::sysPath(HostFiles::hosts_path));
}

void NodeRecord::Interface::name_ensure() const {
  const std::string path = trl::sysPath(HostFiles::hosts_path);
  const std::string text = trl::readWholeFile(path);
  const std::string address = ip_str();
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (hostsField(line, 0) == address) return;  // whole field: 10.0.0.1 is not 10.0.0.10
  std::string updated_text = text;
  if (!updated_text.empty() && updated_text.back() != '\n') updated_text += '\n';
  updated_text += address + "\tunset\n";
  HostFiles::writeHosts(updated_text);
}

// --- nodes -----------------------------------------------------------------

NodeRecord::NodeRecord(const Interface& iface, const Probe& probe)
    : ipmi_val(0), powerStatus_val(Unknown), partition(0), error_str(), ipmiProbeFailedCount(0) {
  if (!probe.answers) {
    eth0 = iface;
    return;
  }
  if (probe.host_mac != 0) eth0.mac(probe.host_mac);
  // The record is named after the server: the controller's name is derived
  // from it whenever the table is saved, so a nameless eth0 would turn every
  // lone controller into "unset-mc".
  eth0.name(iface.name());
  mc = iface;
  mc.name(controllerName(iface.name()));
}

// A controller that answers at once is asked for its host's MAC here, as a
// late one is by the polling thread: otherwise the host's own lease could
// only be paired by the one-at-a-time rule of autoSetEth0.
NodeRecord::Probe NodeRecord::probeAddress(ipaddr ip, const std::string& user, const std::string& password,
                                           macaddr mac, const IPMI::Options& options) {
  Probe found;
  if (ip == 0) return found;  // 0.0.0.0 would reach this host itself
  IPMI probe(Interface(mac, ip).ip_str(), user, password, options);
  found.answers = probe.probe();
  if (found.answers) found.host_mac = hostMacOf(probe, mac);
  return found;
}

IPMI* NodeRecord::ipmi() const { return IpmiSessions::get(ipmi_val).get(); }

std::shared_ptr<IPMI> NodeRecord::ipmiShared() const { return IpmiSessions::get(ipmi_val); }

std::string NodeRecord::toPowerStatusStr(PowerStatus s) {
  switch (s) {
    case Up: return "up";
    case Down: return "down";
    case ConnectionError: return "connection error";
    case Unknown: return "unknown";
    case NoIPMI: return "no IPMI";
  }
  return "unknown";
}

std::string NodeRecord::toString() const {
  return "Eth0: " + eth0.toString() + "; MC: " + mc.toString() + "; Partition: " + std::to_string(partition);
}

void NodeRecord::setError(const std::string& text) {
  std::memset(error_str, 0, sizeof error_str);
  std::memcpy(error_str, text.data(), std::min(text.size(), sizeof error_str - 1));
}

void NodeRecord::resetIPMI(const IPMI::Options& options) {
  const std::shared_ptr<IPMI> session = IpmiSessions::get(ipmi_val);
  if (!session) ipmi_val = 0;  // a handle from an earlier run or a released session
  const bool has_address = mc.ip() != 0;
  if (session && has_address) {
    session->reset(mc.ip_str(), ipmiUsername(mc.mac()), ipmiPassword(mc.mac()));
  } else if (session) {
    IpmiSessions::release(ipmi_val);
    ipmi_val = 0;
  } else if (has_address) {
    ipmi_val = IpmiSessions::add(
        std::make_shared<IPMI>(mc.ip_str(), ipmiUsername(mc.mac()), ipmiPassword(mc.mac()), options));
  }
}

bool NodeRecord::probeIPMI(const Probe& probe, const IPMI::Options& options) {
  if (!wantsProbe()) return false;
  if (eth0.ip() != 0 && probe.answers) {
    mc = eth0;
    eth0.reset();
    eth0.name(mc.name());
    mc.name(controllerName(eth0.name()));
    resetIPMI(options);
    ipmiProbeFailedCount = 0;
    if (probe.host_mac != 0) eth0.mac(probe.host_mac);
    return true;
  }
  if (ipmiProbeFailedCount < ipmi_probe_failed_threshold) ++ipmiProbeFailedCount;
  return false;
}

bool NodeRecord::isServerMacAddr(macaddr mac) { return matchingRule(mac) != nullptr; }

std::string NodeRecord::serverBrand(macaddr mac) {
  const IPMIRule* rule = matchingRule(mac);
  return rule ? rule->rulename : "Unknown";
}

int NodeRecord::serverSerialport(macaddr mac) {
  const IPMIRule* rule = matchingRule(mac);
  return rule ? rule->serial_console : -1;
}

std::string NodeRecord::ipmiUsername(macaddr mac) {
  const std::string& override_user = IpmiCredentials::getInstance().username;
  if (!override_user.empty()) return override_user;
  const IPMIRule* rule = matchingRule(mac);
  return rule ? rule->username : "";
}

std::string NodeRecord::ipmiPassword(macaddr mac) {
  const std::string& override_password = IpmiCredentials::getInstance().password;
  if (!override_password.empty()) return override_password;
  const IPMIRule* rule = matchingRule(mac);
  return rule ? rule->password : "";
}

IPMIRule NodeRecord::ipmiRule(macaddr mac) {
  const IPMIRule* rule = matchingRule(mac);
  return rule ? *rule : terminatorRule();
}

bool operator<(const NodeRecord& a, const NodeRecord& b) {
  return strverscmp(a.eth0.name().c_str(), b.eth0.name().c_str()) < 0;
}
