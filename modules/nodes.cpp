// The node registry as a module: its event sources, the table's lock, the
// IPMI polling thread, group power commands, naming and the report section.
#include "modules/nodes.h"

#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <boost/regex.hpp>
#include <sstream>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/paths.h"
#include "modules/session_presence.h"

namespace {

const char* const separator = "----------------------------\n";

std::string& serviceControlPath() {
  static std::string path = Nodes::service_control_default;
  return path;
}

// Everything a regular expression gives meaning to, escaped.
std::string regexEscape(const std::string& text) {
  static const std::string special = "\\^$.|?*+()[]{}";
  std::string out;
  for (const char c : text) {
    if (special.find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

void Nodes::setServiceControl(const std::string& path) { serviceControlPath() = path; }
std::string Nodes::serviceControl() { return serviceControlPath(); }

Nodes::Nodes() : history_data(*this, History::default_size) {
  TRL_LOG("creating nodes module");
  try {
    notifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notifyFd < 0) throw TRL_SYSERROR("inotify_init1 failed");
    TRL_LOG("notifyFd created = " << notifyFd);
    if (inotify_add_watch(notifyFd, trl::sysPath(dhcp_leases_dir).c_str(), IN_MODIFY | IN_MOVED_TO | IN_IGNORED) < 0)
      throw TRL_SYSERROR("inotify_add_watch failed");
    eventFd = eventfd(0, EFD_SEMAPHORE | EFD_CLOEXEC);
    if (eventFd < 0) throw TRL_SYSERROR("create eventFd failed");
    TRL_LOG("eventFd created = " << eventFd);
    ipmiFd = eventfd(0, EFD_SEMAPHORE | EFD_CLOEXEC);
    if (ipmiFd < 0) throw TRL_SYSERROR("create ipmiFd failed");
    TRL_LOG("ipmiFd created = " << ipmiFd);

    nodes = std::make_unique<Store<Node>>("nodes", true, false);
    for (Node* node = nodes->begin(); node != nodes->end(); ++node) {
      node->ipmi_val = 0;  // a handle from an earlier run means nothing now
      node->resetIPMI();
    }
    update();
    try {
      ipmi_thread = std::thread([this] { pollingThread(); });
    } catch (const std::system_error& e) {
      errno = e.code().value();
      throw TRL_SYSERROR("Failed to create ipmi thread");
    }
    history_data.startThread();
  } catch (...) {
    shutdown();
    throw;
  }
}

Nodes::~Nodes() { shutdown(); }

// Stops the threads, closes the descriptors, lets go of the sessions and
// closes the table; every step runs whatever the previous ones did.
void Nodes::shutdown() {
  TRL_LOG("Stopping ipmi thread");
  {
    const std::lock_guard<std::mutex> guard(stop_lock);
    shutdownPending = true;
  }
  stop_signal.notify_all();
  if (ipmi_thread.joinable()) {
    try {
      ipmi_thread.join();
    } catch (const std::system_error&) {
      TRL_WARN("failed to join ipmi thread");
    }
  }
  for (int* fd : {&notifyFd, &eventFd, &ipmiFd}) {
    if (*fd >= 0 && ::close(*fd) != 0)
      TRL_SYSWARN(fd == &notifyFd ? "close notifyFd failed" : fd == &eventFd ? "close eventFd failed" : "close ipmiFd failed");
    *fd = -1;
  }
  try {
    history_data.stopThread();
  } catch (const std::exception& e) {
    TRL_WARN(e.what());
  }
  if (!nodes) return;
  TRL_LOG("Destroying ipmi objects");
  for (Node* node = nodes->begin(); node != nodes->end(); ++node) {
    if (const std::shared_ptr<IPMI> session = node->ipmiShared()) session->forceUnlock();
    Sessions::release(node->ipmi_val);
    node->ipmi_val = 0;
  }
  TRL_LOG("Destroying nodes");
  nodes.reset();
  TRL_LOG("Nodes module successfully destroyed");
}

std::vector<Eventfd> Nodes::eventfds() const {
  return {Eventfd(notifyFd, "Inotify fd"), Eventfd(eventFd, "Event fd"), Eventfd(ipmiFd, "IPMI fd"),
          Eventfd(history_data.historyUpdateFd(), "History fd")};
}

void Nodes::writeTrigger(int fd, const char* write_error) {
  const uint64_t value = Module::triggered;
  ssize_t n;
  do {
    n = ::write(fd, &value, sizeof value);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof value)) throw TRL_SYSERROR(write_error);
}

void Nodes::triggerEvent() { writeTrigger(eventFd, "write to event file failed"); }
void Nodes::triggerIpmiEvent() { writeTrigger(ipmiFd, "write to ipmi event file failed"); }

void Nodes::readTrigger(int fd, const char* read_error) {
  uint64_t value = 0;
  ssize_t n;
  do {
    n = ::read(fd, &value, sizeof value);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof value)) throw TRL_SYSERROR(read_error);
  if (value != Module::triggered) throw TRL_ERROR("incorrect trigger detected");
  TRL_LOG("event file modified; token=" << value);
}

bool Nodes::changed(int fd) {
  if (fd == notifyFd) {
    changed_state = readLeasesEvents();
  } else if (fd == eventFd) {
    readTrigger(eventFd, "read from event file failed");
    changed_state = true;
  } else if (fd == ipmiFd) {
    TRL_LOG("Reading ipmi event");
    readTrigger(ipmiFd, "read from ipmi event file failed");
    changed_state = true;
  } else if (fd == history_data.historyUpdateFd()) {
    changed_state = history_data.changed(fd);
  } else {
    throw TRL_ERROR("unexpected fd");
  }
  if (!changed_state) {
    TRL_LOG("changed=false");
    return false;
  }
  if (fd == notifyFd || fd == eventFd) {
    TRL_LOG("changed=true");
    update();
  }
  return true;
}

// --- the table's lock ------------------------------------------------------

Nodes::Node* Nodes::shared_begin() {
  rwlock.lock_shared();
  return nodes->begin();
}

Nodes::Node* Nodes::exclusive_begin() {
  rwlock.lock();
  return nodes->begin();
}

Nodes::Node* Nodes::end() { return nodes->end(); }

size_t Nodes::size() const { return nodes->size(); }

void Nodes::shared_finished() {
  if (rwlock.try_lock()) {
    rwlock.unlock();
    throw TRL_ERROR("lock should be unlocked");
  }
  rwlock.unlock_shared();
  changed_state = false;
}

void Nodes::exclusive_finished() {
  if (rwlock.try_lock()) {
    rwlock.unlock();
    throw TRL_ERROR("lock should be unlocked");
  }
  rwlock.unlock();
  changed_state = false;
}

template <bool exclusive>
Nodes::Access<exclusive>::~Access() {
  try {
    if (exclusive)
      nodes_.exclusive_finished();
    else
      nodes_.shared_finished();
  } catch (const std::exception& e) {
    TRL_WARN(e.what());
  }
}
template class Nodes::Access<false>;
template class Nodes::Access<true>;

// --- IPMI polling ----------------------------------------------------------

bool Nodes::sleepFor(std::chrono::milliseconds how_long) {
  std::unique_lock<std::mutex> guard(stop_lock);
  return !stop_signal.wait_for(guard, how_long, [this] { return shutdownPending; });
}

void Nodes::pollingThread() {
  TRL_LOG("ipmi thread started");
  while (sleepFor(std::chrono::milliseconds(400))) {
    if (!SessionPresence::anyOpen()) continue;
    try {
      if (pollOnce() && !sleepFor(std::chrono::seconds(IPMI::power_status_polling_interval))) break;
    } catch (const std::exception& e) {
      // The thread must outlive whatever one cycle runs into.
      TRL_LOG("IPMI polling cycle failed: " << e.what());
    }
  }
}

// One walk over the table. True when the thread should rest before the next.
bool Nodes::pollOnce() {
  bool status_changed = false, probe_succeeded = false, pairing_candidate = false, error = false;
  {
    const SharedAccess table(*this);
    const int count = static_cast<int>(table.end() - table.begin());
    for (Node* node = table.begin(); node != table.end() && !error; ++node) {
      const std::shared_ptr<IPMI> session = node->ipmiShared();
      if (!session) {
        if (node->powerStatus() != Node::NoIPMI) {
          node->powerStatus(Node::NoIPMI);
          status_changed = true;
        }
        if (node->probeIPMI()) probe_succeeded = true;
        if (node->ipmiProbeFailedCount == ipmi_probe_failed_threshold) pairing_candidate = true;
        continue;
      }
      const std::string name = node->eth0.name();
      if (!session->skip(count, IPMI::skip_power, IPMI::power_status_polling_interval)) {
        Node::PowerStatus status;
        try {
          status = session->power() ? Node::Up : Node::Down;
        } catch (const IPMI::IpmiConnectError& e) {
          TRL_LOG("IPMI connection error getting power status for " << name << ": " << e.what());
          status = Node::ConnectionError;
          session->skip(IPMI::skip_power);
          session->skip(IPMI::skip_sensor);
          node->setError(e.what());
          error = true;
        } catch (const _Error& e) {
          TRL_LOG("IPMI error for " << name << ": " << e.what());
          status = Node::Unknown;
          error = true;
        }
        if (status != node->powerStatus()) {
          TRL_LOG("Power status of " << name << " changed to " << Node::toPowerStatusStr(status) << " from "
                                     << node->powerStatusStr());
          node->powerStatus(status);
          status_changed = true;
        }
        if (error) break;
      }
      if (session->skip(count, IPMI::skip_sensor, IPMI::power_status_polling_interval)) continue;
      try {
        session->sensors("");
      } catch (const IPMI::IpmiConnectError& e) {
        TRL_LOG("IPMI connection error while getting sensors data for " << name << ": " << e.what());
        session->skip(IPMI::skip_sensor);
        node->setError(e.what());
      } catch (const _Error& e) {
        TRL_LOG("IPMI error for " << name << ": " << e.what());
        session->skip(IPMI::skip_sensor);
        node->setError(e.what());
      }
    }
  }
  if (pairing_candidate && autoSetEth0()) return false;
  if (probe_succeeded) {
    TRL_LOG("Probe succeeded. Trigger event...");
    triggerEvent();
    return false;
  }
  if (status_changed) {
    TRL_LOG("power status change detected. Trigger event...");
    triggerIpmiEvent();
  }
  return !error;
}

// --- group power -----------------------------------------------------------

// The sessions are collected under the shared lock and driven without it:
// a progress callback may run other requests of the same browser session,
// which may need the table's lock themselves.
Nodes::PowerFailures Nodes::powerAll(IPMI::power_t kind, const boost::function<bool()>& progress) {
  struct Target {
    std::string name;
    std::shared_ptr<IPMI> session;
  };
  std::vector<Target> targets;
  {
    const SharedAccess table(*this);
    for (const Node* node = table.begin(); node != table.end(); ++node)
      targets.push_back({node->eth0.name(), node->ipmiShared()});
  }
  PowerFailures failures;
  for (const Target& target : targets) {
    if (progress && !progress()) break;
    if (!target.session) {
      // Nothing can be sent: the caller must not take the node as handled.
      failures.push_back({target.name, "no IPMI session"});
      continue;
    }
    try {
      target.session->power(kind, false);
    } catch (const IPMI::IpmiConnectError& e) {
      TRL_LOG("IPMI Connection Error: " << e.what());
      failures.push_back({target.name, "connection error (" + std::string(e.what()) + ")"});
    } catch (const _Error& e) {
      TRL_LOG("Exception: " << e.what());
      failures.push_back({target.name, e.what()});
    }
  }
  return failures;
}

Nodes::PowerFailures Nodes::powerOn(boost::function<bool()> progress) { return powerAll(IPMI::power_on, progress); }
Nodes::PowerFailures Nodes::powerOff(boost::function<bool()> progress) {
  return powerAll(IPMI::power_off, progress);
}
Nodes::PowerFailures Nodes::powerShutdown(boost::function<bool()> progress) {
  return powerAll(IPMI::power_shutdown, progress);
}
Nodes::PowerFailures Nodes::powerReset(boost::function<bool()> progress) {
  return powerAll(IPMI::power_reset, progress);
}

// Kept by the DHCP output once it checks each configuration before it goes
// live; until then no configuration is ever refused.
std::string Nodes::dhcpConfError() const { return std::string(); }

// --- naming and credentials ------------------------------------------------

std::string Nodes::nodeNamePrefix() const {
  const std::lock_guard<std::mutex> guard(prefix_lock);
  return node_name_prefix;
}

void Nodes::nodeNamePrefix(const std::string& prefix) {
  TRL_LOG("Changing node name prefix to " << prefix);
  {
    const ExclusiveAccess table(*this);
    const boost::regex numbered(regexEscape(nodeNamePrefix()) + "(\\d+)");
    for (Node* node = table.begin(); node != table.end(); ++node) {
      boost::smatch match;
      const std::string name = node->eth0.name();
      if (boost::regex_match(name, match, numbered)) node->eth0.name(prefix + match[1].str());
    }
    const std::lock_guard<std::mutex> guard(prefix_lock);
    node_name_prefix = prefix;
  }
  saveToDisk();
  triggerEvent();
}

void Nodes::updateIpmiCredentials(const std::string& user, const std::string& password) {
  // The password never reaches the log.
  TRL_LOG("Reset IPMI username/password to " << user << "/" << (password.empty() ? "" : "********"));
  TRL_LOG("Acquiring exclusive lock...");
  const ExclusiveAccess table(*this);
  // Other threads read the override while they hold the table's lock.
  IpmiCredentials::getInstance().username = user;
  IpmiCredentials::getInstance().password = password;
  resetIPMI();
  TRL_LOG("Releasing exclusive lock...");
}

void Nodes::resetIPMI() {
  for (Node* node = nodes->begin(); node != nodes->end(); ++node) node->resetIPMI();
}

// --- status report ---------------------------------------------------------

std::string Nodes::toString() {
  std::ostringstream out;
  out << separator << "List of nodes\n" << "Node name prefix: " << nodeNamePrefix() << "\n" << separator;
  std::ostringstream hosts, dhcp;
  {
    const SharedAccess table(*this);
    for (const Node* node = table.begin(); node != table.end(); ++node) {
      const macaddr brand_mac = node->mc.mac() != 0 ? node->mc.mac() : node->eth0.mac();
      out << node->toString() << "; Power status: " << Node::toPowerStatusStr(node->powerStatus())
          << "; Server type: " << Node::serverBrand(brand_mac) << "\n";
    }
    saveHostsToStream(hosts);
    dhcp << trl::readWholeFile(trl::sysPath(dhcpd_conf_in));
    saveDhcpConfToStream(dhcp);
  }
  out << "\n";
  out << separator << "Hosts file\n" << separator << hosts.str();
  out << separator << "dhcp.conf file\n" << separator << dhcp.str();
  out << separator << "IPMI rules\n" << separator
      << "Rule name\tMAC address prefix\tUsername\tPassword\tMAC address offset\tSerial console\n";
  for (const IPMIRule* rule = rule_list; rule->rulename[0] != '\0'; ++rule) out << rule->toString();
  return out.str();
}
