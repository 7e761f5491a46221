// A short time series of one sensor of one server, sampled every 10 s by a
// thread of its own while a browser session is open, for the Monitoring chart.
// Thread-safe: the choice and the samples are guarded by history_lock, which
// is never held across an IPMI read.
#pragma once

#include <atomic>
#include <boost/circular_buffer.hpp>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "modules/event_fd.h"
#include "modules/module.h"
#include "modules/stoppable_thread.h"

class Nodes;

struct HistoryData {
  std::chrono::system_clock::time_point time;  // UTC instant of the sample
  double data;                                  // NaN when no reading could be had
  HistoryData(std::chrono::system_clock::time_point t, double d) : time(t), data(d) {}
  bool operator<(const HistoryData& other) const { return data < other.data; }
};

class History : public Module {
 public:
  static constexpr int default_size = 40;

  History(Nodes& nodes, unsigned size);
  virtual ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  std::string moduleName() const override { return "History"; }
  std::vector<Eventfd> eventfds() const override { return {Eventfd(historyFd.fd(), "History fd")}; }
  bool changed(int fd) override;
  void reset() override;

  int historyUpdateFd() const { return historyFd.fd(); }

  void startThread();
  void stopThread();
  // Spacing of the samples; 10 s unless a test shortens it.
  void setInterval(std::chrono::milliseconds interval);

  void changeHistorySensor(const std::string& name);
  void changeHistoryNode(const std::string& name);
  std::string historySensorName() const;
  std::string historyNodeName() const;

  // The samples, oldest first. Hold historyLock() while reading them.
  const boost::circular_buffer<HistoryData>& buffer() const { return buff; }
  std::mutex& historyLock() const { return history_lock; }
  std::vector<HistoryData> samples() const;  // a copy, taken under the lock
  // What is being recorded and what was, read together under the lock.
  struct Snapshot {
    std::string node;
    std::string sensor;
    std::vector<HistoryData> samples;  // oldest first
  };
  Snapshot snapshot() const;
  double min() const;
  double max() const;
  void push(const HistoryData& sample);
  void clear();
  void triggerEvent();

  // One sampling round: read the chosen sensor of the chosen node(s). The
  // choice and the sessions are copied under the locks; the reads run with
  // none held; the samples are stored unless the choice changed meanwhile.
  void sampleRound();

 private:
  void threadMain();

  Nodes& nodes;
  mutable std::mutex history_lock;
  trl::EventFd historyFd;
  trl::StoppableThread history_thread;
  std::atomic<std::chrono::milliseconds::rep> interval_ms_;
  // guarded by history_lock
  std::string history_sensor_name;
  std::string history_node_name = "unset";
  uint64_t choice_ = 0;  // counts changes of node or sensor
  boost::circular_buffer<HistoryData> buff;
};
