#include "modules/poller.h"

#include <system_error>

#include "modules/error.h"
#include "modules/nodes.h"

void Poller::start() {
  thread_.start([this] { run(); }, "Failed to create ipmi thread");
}

void Poller::stop() {
  try {
    thread_.stop();
  } catch (const std::system_error&) {
    TRL_WARN("failed to join ipmi thread");
  }
}

void Poller::run() {
  TRL_LOG("ipmi thread started");
  while (thread_.sleepFor(std::chrono::milliseconds(400))) {
    if (!nodes_.anyoneWatching()) continue;
    try {
      if (pollOnce() && !thread_.sleepFor(std::chrono::seconds(IPMI::power_status_polling_interval))) break;
    } catch (const std::exception& e) {
      // The thread must outlive whatever one cycle runs into.
      TRL_LOG("IPMI polling cycle failed: " << e.what());
    }
  }
}

std::vector<Poller::Item> Poller::snapshot() {
  std::vector<Item> items;
  const Nodes::SharedAccess table(nodes_);
  items.reserve(static_cast<size_t>(table.end() - table.begin()));
  for (const NodeRecord* node = table.begin(); node != table.end(); ++node) {
    Item item;
    item.handle = node->ipmi_val;
    item.session = node->ipmiShared();
    item.name = node->eth0.name();
    if (!item.session) {
      item.handle = 0;
      item.wants_probe = node->wantsProbe();
      item.eth0_mac = node->eth0.mac();
      item.eth0_ip = node->eth0.ip();
      // The credential override is written under the exclusive lock.
      item.user = NodeRecord::ipmiUsername(item.eth0_mac);
      item.password = NodeRecord::ipmiPassword(item.eth0_mac);
    }
    items.push_back(std::move(item));
  }
  return items;
}

// One session for both reads: the power state, then the sensors.
Poller::Outcome Poller::pollRecord(const Item& item, int count, const IPMI::Options& options) {
  Outcome out;
  if (!item.session) {
    if (item.wants_probe && item.eth0_ip != 0) {
      out.probed = true;
      out.probe = NodeRecord::probeAddress(item.eth0_ip, item.user, item.password, item.eth0_mac, options);
    }
    return out;
  }
  IPMI& session = *item.session;
  const bool read_power = !session.skip(count, IPMI::skip_power, IPMI::power_status_polling_interval);
  const bool read_sensors = !session.skip(count, IPMI::skip_sensor, IPMI::power_status_polling_interval);
  if (!read_power && !read_sensors) return out;
  IPMI::Conversation conversation(session);
  if (read_power) {
    out.power_read = true;
    try {
      out.status = conversation.power() ? NodeRecord::Up : NodeRecord::Down;
    } catch (const IPMI::IpmiConnectError& e) {
      TRL_LOG("IPMI connection error getting power status for " << item.name << ": " << e.what());
      out.status = NodeRecord::ConnectionError;
      session.skip(IPMI::skip_power);
      session.skip(IPMI::skip_sensor);
      out.error = e.what();
      out.power_failed = true;
    } catch (const _Error& e) {
      TRL_LOG("IPMI error for " << item.name << ": " << e.what());
      out.status = NodeRecord::Unknown;
      out.power_failed = true;
    }
    // The controller's failure ends only its own work in this cycle.
    if (out.power_failed) return out;
  }
  if (!read_sensors) return out;
  try {
    conversation.sensors("");
  } catch (const IPMI::IpmiConnectError& e) {
    TRL_LOG("IPMI connection error while getting sensors data for " << item.name << ": " << e.what());
    session.skip(IPMI::skip_sensor);
    out.error = e.what();
  } catch (const _Error& e) {
    TRL_LOG("IPMI error for " << item.name << ": " << e.what());
    session.skip(IPMI::skip_sensor);
    out.error = e.what();
  }
  return out;
}

// Records that reach the same controller (two records may name one
// address) are polled one after the other by one job, so a controller
// never has two of our requests in flight.
std::vector<std::vector<size_t>> Poller::jobsByController(const std::vector<Item>& items) {
  std::vector<std::string> controllers;  // empty: nothing to ask
  controllers.reserve(items.size());
  for (const Item& item : items) {
    if (item.session)
      controllers.push_back(item.session->hostname());
    else if (item.wants_probe && item.eth0_ip != 0)
      controllers.push_back(NodeRecord::Interface(item.eth0_mac, item.eth0_ip).ip_str());
    else
      controllers.emplace_back();
  }
  return trl::jobsByKey(controllers);
}

// Results go to the records they were learnt for: a session's record is the
// one that still holds its handle; a probe counts only for a record that is
// still the one probed. Whatever changed meanwhile waits for the next walk.
Poller::Signals Poller::apply(const std::vector<Item>& items, const std::vector<Outcome>& outcomes) {
  Signals signals;
  const Nodes::ExclusiveAccess table(nodes_);
  const IPMI::Options& options = nodes_.config().ipmi;
  for (size_t i = 0; i < outcomes.size(); ++i) {
    const Item& item = items[i];
    const Outcome& out = outcomes[i];
    NodeRecord* node = table.begin();
    if (item.handle != 0) {
      while (node != table.end() && node->ipmi_val != item.handle) ++node;
    } else {
      while (node != table.end() && !(node->ipmi_val == 0 && node->eth0.mac() == item.eth0_mac &&
                                      node->eth0.ip() == item.eth0_ip))
        ++node;
    }
    if (node == table.end()) continue;
    if (item.handle == 0) {
      if (node->powerStatus() != NodeRecord::NoIPMI) {
        node->powerStatus(NodeRecord::NoIPMI);
        signals.status_changed = true;
      }
      if (item.wants_probe && node->probeIPMI(out.probe, options)) signals.probe_succeeded = true;
      if (node->ipmiProbeFailedCount == NodeRecord::ipmi_probe_failed_threshold) signals.pairing_candidate = true;
      continue;
    }
    if (!out.error.empty()) node->setError(out.error);
    if (out.power_read && out.status != node->powerStatus()) {
      TRL_LOG("Power status of " << item.name << " changed to " << NodeRecord::toPowerStatusStr(out.status)
                                 << " from " << node->powerStatusStr());
      node->powerStatus(out.status);
      signals.status_changed = true;
    }
  }
  return signals;
}

bool Poller::pollOnce() {
  const std::vector<Item> items = snapshot();
  const int count = static_cast<int>(items.size());
  std::vector<Outcome> outcomes(items.size());
  const std::vector<std::vector<size_t>> jobs = jobsByController(items);
  const IPMI::Options& options = nodes_.config().ipmi;
  nodes_.workers().run(jobs.size(), [&](size_t job) {
    for (const size_t i : jobs[job]) outcomes[i] = pollRecord(items[i], count, options);
  });
  bool error = false;
  for (const Outcome& out : outcomes) error = error || out.power_failed;
  const Signals signals = apply(items, outcomes);
  if (signals.pairing_candidate && nodes_.autoSetEth0()) return false;
  if (signals.probe_succeeded) {
    TRL_LOG("Probe succeeded. Trigger event...");
    nodes_.triggerEvent();
    return false;
  }
  if (signals.status_changed) {
    TRL_LOG("power status change detected. Trigger event...");
    nodes_.triggerIpmiEvent();
  }
  return !error;
}
