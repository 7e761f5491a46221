#include "modules/history.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "modules/error.h"
#include "modules/nodes.h"
#include "modules/session_presence.h"

namespace {
const double nan_sample = std::numeric_limits<double>::quiet_NaN();
}

History::History(Nodes& n, unsigned size)
    : nodes(n), interval_(std::chrono::seconds(IPMI::history_polling_interval)), buff(size) {
  historyFd = eventfd(0, EFD_SEMAPHORE | EFD_CLOEXEC);
  if (historyFd < 0) throw TRL_SYSERROR("create history failed");
  TRL_LOG("historyFd created = " << historyFd);
}

History::~History() {
  try {
    stopThread();
  } catch (const std::exception& e) {
    TRL_WARN(e.what());
  }
  if (::close(historyFd) != 0) TRL_SYSWARN("close historyFd failed");
}

void History::startThread() {
  if (history_thread.joinable()) return;
  try {
    history_thread = std::thread([this] { threadMain(); });
  } catch (const std::system_error& e) {
    errno = e.code().value();
    throw TRL_SYSERROR("Failed to create sensor history thread");
  }
}

void History::stopThread() {
  if (!history_thread.joinable()) return;
  {
    const std::lock_guard<std::mutex> guard(stop_lock);
    shutdownPending = true;
  }
  stop_signal.notify_all();
  TRL_LOG("Waiting for history thread");
  try {
    history_thread.join();
  } catch (const std::system_error& e) {
    errno = e.code().value();
    throw TRL_SYSERROR("failed to join history thread");
  }
}

void History::setInterval(std::chrono::milliseconds interval) {
  {
    const std::lock_guard<std::mutex> guard(stop_lock);
    interval_ = interval;
    interval_changed_ = true;
  }
  stop_signal.notify_all();
}

void History::threadMain() {
  TRL_LOG("history thread started");
  std::unique_lock<std::mutex> stop_guard(stop_lock);
  while (!shutdownPending) {
    // Waking early on a stop keeps shutdown prompt; the flag is read under its lock.
    stop_signal.wait_for(stop_guard, interval_, [this] { return shutdownPending || interval_changed_; });
    if (shutdownPending) break;
    if (interval_changed_) {  // start the wait again with the new spacing
      interval_changed_ = false;
      continue;
    }
    stop_guard.unlock();
    if (SessionPresence::anyOpen()) {
      try {
        sampleRound();
        triggerEvent();
      } catch (const std::exception& e) {
        TRL_LOG("history sampling failed: " << e.what());
      }
    }
    stop_guard.lock();
  }
}

void History::sampleRound() {
  const std::lock_guard<std::mutex> guard(history_lock);
  const Nodes::SharedAccess table(nodes);
  const int count = static_cast<int>(table.end() - table.begin());
  for (const Nodes::Node* node = table.begin(); node != table.end(); ++node) {
    if (node->eth0.name() != history_node_name) continue;
    const std::shared_ptr<IPMI> session = node->ipmiShared();
    if (!session) {
      buff.push_back(HistoryData(std::chrono::system_clock::now(), nan_sample));
      continue;
    }
    if (session->skip(count, IPMI::skip_sensor, IPMI::history_polling_interval)) continue;
    try {
      const double value = session->sensors(history_sensor_name);
      buff.push_back(HistoryData(std::chrono::system_clock::now(), value));
    } catch (const IPMI::IpmiConnectError& e) {
      TRL_LOG("IPMI connection error for " << session->hostname() << ": " << e.what());
      buff.push_back(HistoryData(std::chrono::system_clock::now(), nan_sample));
      session->skip(IPMI::skip_sensor);
      break;
    } catch (const _Error& e) {
      TRL_LOG("IPMI error for " << session->hostname() << ": " << e.what());
      buff.push_back(HistoryData(std::chrono::system_clock::now(), nan_sample));
    }
  }
}

void History::triggerEvent() {
  const uint64_t value = Module::triggered;
  ssize_t n;
  do {
    n = ::write(historyFd, &value, sizeof value);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof value)) throw TRL_SYSERROR("write to history event file failed");
}

bool History::changed(int fd) {
  if (fd != historyFd) throw TRL_ERROR("incorrect fd detected");
  uint64_t value = 0;
  ssize_t n;
  do {
    n = ::read(historyFd, &value, sizeof value);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(sizeof value)) throw TRL_SYSERROR("read from history event file failed");
  if (value != Module::triggered) throw TRL_ERROR("incorrect trigger detected " + std::to_string(value));
  return true;
}

void History::reset() { clear(); }

void History::changeHistorySensor(const std::string& name) {
  const std::lock_guard<std::mutex> guard(history_lock);
  if (name == history_sensor_name) return;
  history_sensor_name = name;
  buff.clear();
}

void History::changeHistoryNode(const std::string& name) {
  const std::lock_guard<std::mutex> guard(history_lock);
  if (name == history_node_name) return;
  history_node_name = name;
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
