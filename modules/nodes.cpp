// The node registry as a module: its event sources, the table's lock, the
// group power commands, naming and the report section.
#include "modules/nodes.h"

#include <boost/regex.hpp>
#include <optional>
#include <sstream>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/paths.h"

namespace {

const char* const separator = "----------------------------\n";

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

Nodes::Nodes(Config config)
    : config_(std::move(config)), workers_(config_.ipmi_workers), service_(config_.service_control),
      dhcpd_check_(config_.dhcpd), history_data(*this, History::default_size),
      poller_(*this) {
  TRL_LOG("creating nodes module");
  try {
    leases_ = std::make_unique<LeasesReader>();
    eventFd_ = std::make_unique<trl::EventFd>(trl::EventFd::Texts{
        "create eventFd failed", "write to event file failed", "read from event file failed", "close eventFd failed"});
    TRL_LOG("eventFd created = " << eventFd_->fd());
    ipmiFd_ = std::make_unique<trl::EventFd>(trl::EventFd::Texts{"create ipmiFd failed",
                                                                 "write to ipmi event file failed",
                                                                 "read from ipmi event file failed",
                                                                 "close ipmiFd failed"});
    TRL_LOG("ipmiFd created = " << ipmiFd_->fd());
    table_ = std::make_unique<NodeTable>(config_.ipmi);
    // A kill during a rewrite leaves its staging file behind.
    for (const char* target : {hosts_path, dhcpd_conf, dhcp_leases})
      trl::removeStagingLeftovers(trl::sysPath(target));
    update();
    poller_.start();
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
  poller_.stop();
  if (leases_) leases_->close();
  if (eventFd_) eventFd_->close();
  if (ipmiFd_) ipmiFd_->close();
  try {
    history_data.stopThread();
  } catch (const std::exception& e) {
    TRL_WARN(e.what());
  }
  if (!table_) return;
  table_->close();
  table_.reset();
  TRL_LOG("Nodes module successfully destroyed");
}

std::vector<Eventfd> Nodes::eventfds() const {
  return {Eventfd(leasesModifiedFd(), "Inotify fd"), Eventfd(nodeChangedFd(), "Event fd"),
          Eventfd(powerStatusChangedFd(), "IPMI fd"), Eventfd(history_data.historyUpdateFd(), "History fd")};
}

void Nodes::triggerEvent() { eventFd_->signal(); }
void Nodes::triggerIpmiEvent() { ipmiFd_->signal(); }

bool Nodes::changed(int fd) {
  const auto consume = [](trl::EventFd& event) {
    const uint64_t value = event.consume();
    if (value != Module::triggered) throw TRL_ERROR("incorrect trigger detected");
    TRL_LOG("event file modified; token=" << value);
  };
  if (fd == leases_->fd()) {
    changed_state = leases_->readEvents();
  } else if (fd == eventFd_->fd()) {
    consume(*eventFd_);
    changed_state = true;
  } else if (fd == ipmiFd_->fd()) {
    TRL_LOG("Reading ipmi event");
    consume(*ipmiFd_);
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
  if (fd == leases_->fd() || fd == eventFd_->fd()) {
    TRL_LOG("changed=true");
    update();
  }
  return true;
}

// --- the table's lock ------------------------------------------------------

Nodes::Node* Nodes::shared_begin() { return table_->shared_begin(); }
Nodes::Node* Nodes::exclusive_begin() { return table_->exclusive_begin(); }
Nodes::Node* Nodes::end() { return table_->end(); }
size_t Nodes::size() const { return table_->size(); }

void Nodes::shared_finished() {
  table_->shared_finished();
  changed_state = false;
}

void Nodes::exclusive_finished() {
  table_->exclusive_finished();
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

// --- group power -----------------------------------------------------------

namespace {

struct PowerTarget {
  std::string name;
  std::shared_ptr<IPMI> session;
};

// Sends one command; the failure, if any, in the words the page shows.
std::optional<Nodes::PowerFailure> sendPower(const PowerTarget& target, IPMI::power_t kind) {
  if (!target.session) return Nodes::PowerFailure{target.name, "no IPMI session"};
  try {
    target.session->power(kind, false);
  } catch (const IPMI::IpmiConnectError& e) {
    TRL_LOG("IPMI Connection Error: " << e.what());
    return Nodes::PowerFailure{target.name, "connection error (" + std::string(e.what()) + ")"};
  } catch (const _Error& e) {
    TRL_LOG("Exception: " << e.what());
    return Nodes::PowerFailure{target.name, e.what()};
  }
  return std::nullopt;
}

// The sessions are collected under the shared lock and driven without it:
// a progress callback may run other requests of the same browser session,
// which may need the table's lock themselves.
std::vector<PowerTarget> powerTargets(Nodes& nodes, const std::function<bool(const Nodes::Node&)>& pick) {
  std::vector<PowerTarget> targets;
  const Nodes::SharedAccess table(nodes);
  for (const Nodes::Node* node = table.begin(); node != table.end(); ++node)
    if (pick(*node)) targets.push_back({node->eth0.name(), node->ipmiShared()});
  return targets;
}

}  // namespace

Nodes::PowerFailures Nodes::powerAll(IPMI::power_t kind, const boost::function<bool()>& progress) {
  const auto every = [](const Node&) { return true; };
  if (!progress) return power(kind, every);
  PowerFailures failures;
  for (const PowerTarget& target : powerTargets(*this, every)) {
    if (!progress()) break;
    if (auto failure = sendPower(target, kind)) failures.push_back(std::move(*failure));
  }
  return failures;
}

// One job per controller address, as in the polling cycle: a controller
// never has two of our requests in flight.
Nodes::PowerFailures Nodes::power(IPMI::power_t kind, const std::function<bool(const Node&)>& pick) {
  const std::vector<PowerTarget> targets = powerTargets(*this, pick);
  std::vector<std::string> controllers;
  for (size_t i = 0; i < targets.size(); ++i)  // a node without a session fails in a job of its own
    controllers.push_back(targets[i].session ? targets[i].session->hostname() : "#" + std::to_string(i));
  const std::vector<std::vector<size_t>> jobs = trl::jobsByKey(controllers);
  std::vector<std::optional<PowerFailure>> outcome(targets.size());
  workers_.run(jobs.size(), [&](size_t job) {
    for (const size_t i : jobs[job]) outcome[i] = sendPower(targets[i], kind);
  });
  PowerFailures failures;
  for (std::optional<PowerFailure>& failure : outcome)
    if (failure) failures.push_back(std::move(*failure));
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

// --- naming and credentials ------------------------------------------------

std::string Nodes::nodeNamePrefix() const {
  const std::lock_guard<std::mutex> guard(prefix_lock);
  return node_name_prefix;
}

void Nodes::nodeNamePrefix(const std::string& prefix) {
  TRL_LOG("Changing node name prefix to " << prefix);
  {
    const ExclusiveAccess table(*this);
    // A new server's number may reach three digits.
    const std::string error = Node::hostNameError(prefix + "100");
    if (!error.empty()) throw TRL_ERROR("invalid name prefix '" + prefix + "': " + error);
    const boost::regex numbered(regexEscape(nodeNamePrefix()) + "(\\d+)");
    std::vector<std::pair<Node*, std::string>> renames;
    for (Node* node = table.begin(); node != table.end(); ++node) {
      boost::smatch match;
      const std::string name = node->eth0.name();
      if (boost::regex_match(name, match, numbered)) renames.emplace_back(node, prefix + match[1].str());
    }
    // Every new name is checked before any is stored.
    for (const auto& rename : renames)
      if (!Node::hostNameError(rename.second).empty()) throw TRL_ERROR(Node::hostNameError(rename.second));
    for (const auto& rename : renames) rename.first->eth0.name(rename.second);
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
  Store<Node>& records = table_->store();
  for (Node* node = records.begin(); node != records.end(); ++node) node->resetIPMI(config_.ipmi);
}

// --- status report ---------------------------------------------------------

std::string Nodes::toString() {
  const std::string dhcp_template = trl::readWholeFile(trl::sysPath(dhcpd_conf_in));
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
    dhcp << dhcp_template;
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
