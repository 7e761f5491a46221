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
      out.silent = !out.probe.answers;
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
      out.silent = true;
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

std::string Poller::controllerOf(const Item& item) {
  if (item.session) return item.session->hostname();
  if (item.wants_probe && item.eth0_ip != 0) return NodeRecord::Interface(item.eth0_mac, item.eth0_ip).ip_str();
  return std::string();
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

// Records that reach the same controller (two records may name one
// address) are polled one after the other by one job, and a controller
// whose job from an earlier cycle is still under way is left out, so a
// controller never has two of our requests in flight.
bool Poller::pollOnce() {
  const std::vector<Item> items = snapshot();
  const int count = static_cast<int>(items.size());
  std::vector<std::string> controllers;
  controllers.reserve(items.size());
  for (const Item& item : items) controllers.push_back(controllerOf(item));
  const IPMI::Options options = nodes_.config().ipmi;
  std::set<std::string> awaited;
  for (const std::vector<size_t>& job : trl::jobsByKey(controllers)) {
    const std::string& controller = controllers[job.front()];
    {
      const std::lock_guard<std::mutex> guard(jobs_->mutex);
      if (!jobs_->running.insert(controller).second) continue;
      if (!jobs_->silent.count(controller)) awaited.insert(controller);
    }
    std::vector<Item> work;
    for (const size_t i : job) work.push_back(items[i]);
    try {
      nodes_.workers().post([jobs = jobs_, work = std::move(work), controller, count, options] {
        std::vector<Outcome> outcomes;
        try {
          for (const Item& item : work) outcomes.push_back(pollRecord(item, count, options));
        } catch (const std::exception& e) {
          TRL_LOG("IPMI polling of " << controller << " failed: " << e.what());
        }
        bool answered = false, silent = false;
        for (const Outcome& out : outcomes) {
          answered = answered || (!out.silent && (out.power_read || out.probed));
          silent = silent || out.silent;
        }
        const std::lock_guard<std::mutex> guard(jobs->mutex);
        jobs->running.erase(controller);
        if (answered)
          jobs->silent.erase(controller);
        else if (silent)
          jobs->silent.insert(controller);
        jobs->items.insert(jobs->items.end(), work.begin(), work.begin() + static_cast<ptrdiff_t>(outcomes.size()));
        jobs->outcomes.insert(jobs->outcomes.end(), outcomes.begin(), outcomes.end());
        jobs->ended.notify_all();
      });
    } catch (...) {
      const std::lock_guard<std::mutex> guard(jobs_->mutex);
      jobs_->running.erase(controller);
      throw;
    }
  }
  std::vector<Item> learnt;
  std::vector<Outcome> outcomes;
  {
    std::unique_lock<std::mutex> lock(jobs_->mutex);
    jobs_->ended.wait(lock, [&] {
      for (const std::string& controller : awaited)
        if (jobs_->running.count(controller)) return false;
      return true;
    });
    learnt.swap(jobs_->items);
    outcomes.swap(jobs_->outcomes);
  }
  bool error = false;
  for (const Outcome& out : outcomes) error = error || out.power_failed;
  const Signals signals = apply(learnt, outcomes);
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
