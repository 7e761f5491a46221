#include "modules/history.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>

#include "modules/error.h"
#include "modules/nodes.h"

namespace {
const double nan_sample = std::numeric_limits<double>::quiet_NaN();
}

History::History(Nodes& n, unsigned size)
    : nodes(n),
      historyFd(trl::EventFd::Texts{"create history failed", "write to history event file failed",
                                    "read from history event file failed", "close historyFd failed"}),
      interval_ms_(std::chrono::milliseconds(std::chrono::seconds(IPMI::history_polling_interval)).count()),
      buff(size) {
  TRL_LOG("historyFd created = " << historyFd.fd());
}

History::~History() {
  try {
    stopThread();
  } catch (const std::exception& e) {
    TRL_WARN(e.what());
  }
}

void History::startThread() {
  history_thread.start([this] { threadMain(); }, "Failed to create sensor history thread");
}

void History::stopThread() {
  if (!history_thread.running()) return;
  TRL_LOG("Waiting for history thread");
  try {
    history_thread.stop();
  } catch (const std::system_error& e) {
    errno = e.code().value();
    throw TRL_SYSERROR("failed to join history thread");
  }
}

void History::setInterval(std::chrono::milliseconds interval) {
  interval_ms_ = interval.count();
  history_thread.wake();  // the sleep starts again with the new spacing
}

void History::threadMain() {
  TRL_LOG("history thread started");
  while (history_thread.sleepFor(std::chrono::milliseconds(interval_ms_.load()))) {
    if (!nodes.anyoneWatching()) continue;
    try {
      sampleRound();
      triggerEvent();
    } catch (const std::exception& e) {
      TRL_LOG("history sampling failed: " << e.what());
    }
  }
}

void History::sampleRound() {
  std::string node_name, sensor_name;
  uint64_t choice;
  {
    const std::lock_guard<std::mutex> guard(history_lock);
    node_name = history_node_name;
    sensor_name = history_sensor_name;
    choice = choice_;
  }
  std::vector<std::shared_ptr<IPMI>> sessions;  // null: a node without one
  int count;
  {
    const Nodes::SharedAccess table(nodes);
    count = static_cast<int>(table.end() - table.begin());
    for (const Nodes::Node* node = table.begin(); node != table.end(); ++node)
      if (node->eth0.name() == node_name) sessions.push_back(node->ipmiShared());
  }
  std::vector<HistoryData> taken;
  const auto sample = [&taken](double value) { taken.emplace_back(std::chrono::system_clock::now(), value); };
  for (const std::shared_ptr<IPMI>& session : sessions) {
    if (!session) {
      sample(nan_sample);
      continue;
    }
    if (session->skip(count, IPMI::skip_sensor, IPMI::history_polling_interval)) continue;
    try {
      sample(session->sensors(sensor_name));
    } catch (const IPMI::IpmiConnectError& e) {
      TRL_LOG("IPMI connection error for " << session->hostname() << ": " << e.what());
      sample(nan_sample);
      session->skip(IPMI::skip_sensor);
      break;
    } catch (const _Error& e) {
      TRL_LOG("IPMI error for " << session->hostname() << ": " << e.what());
      sample(nan_sample);
    }
  }
  const std::lock_guard<std::mutex> guard(history_lock);
  if (choice != choice_) return;  // never mix two series
  for (const HistoryData& s : taken) buff.push_back(s);
}

void History::triggerEvent() { historyFd.signal(); }

bool History::changed(int fd) {
  if (fd != historyFd.fd()) throw TRL_ERROR("incorrect fd detected");
  const uint64_t value = historyFd.consume();
  if (value != Module::triggered) throw TRL_ERROR("incorrect trigger detected " + std::to_string(value));
  return true;
}

void History::reset() { clear(); }

void History::changeHistorySensor(const std::string& name) {
  const std::lock_guard<std::mutex> guard(history_lock);
  if (name == history_sensor_name) return;
  history_sensor_name = name;
  ++choice_;
  buff.clear();
}

void History::changeHistoryNode(const std::string& name) {
  const std::lock_guard<std::mutex> guard(history_lock);
  if (name == history_node_name) return;
  history_node_name = name;
  ++choice_;
  buff.clear();
}

std::string History::historySensorName() const {
  const std::lock_guard<std::mutex> guard(history_lock);
  return history_sensor_name;
}

std::string History::historyNodeName() const {
  const std::lock_guard<std::mutex> guard(history_lock);
  return history_node_name;
}

std::vector<HistoryData> History::samples() const {
  const std::lock_guard<std::mutex> guard(history_lock);
  return std::vector<HistoryData>(buff.begin(), buff.end());
}

History::Snapshot History::snapshot() const {
  const std::lock_guard<std::mutex> guard(history_lock);
  return Snapshot{history_node_name, history_sensor_name, std::vector<HistoryData>(buff.begin(), buff.end())};
}

// The first sample that no later one beats; NaN neither wins nor displaces.
double History::min() const {
  const std::lock_guard<std::mutex> guard(history_lock);
  if (buff.empty()) return nan_sample;
  return std::min_element(buff.begin(), buff.end())->data;
}

double History::max() const {
  const std::lock_guard<std::mutex> guard(history_lock);
  if (buff.empty()) return nan_sample;
  return std::max_element(buff.begin(), buff.end())->data;
}

void History::push(const HistoryData& sample) {
  const std::lock_guard<std::mutex> guard(history_lock);
  buff.push_back(sample);
}

void History::clear() {
  const std::lock_guard<std::mutex> guard(history_lock);
  buff.clear();
}
