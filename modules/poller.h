// The IPMI polling thread of the node registry. While a browser session is
// open it walks the node table every 0.4 s, or 5 s after a quiet cycle:
// reads power states and sensors, probes records without a controller, and
// pairs lone host and controller records. A walk copies what it needs under
// the table's shared lock, talks to the controllers with no lock held and
// applies what it learnt under a short exclusive lock, so a table writer
// never waits for a walk. The controllers are asked side by side on the
// registry's worker pool, one job per controller. A cycle waits only for
// the controllers that answered at their last contact: one that was silent
// is asked again without holding the cycle back, and what it says is
// applied by the first cycle that ends after it; until then it is not asked
// again. So a dead controller costs its own time-out, not the others'.
// Thread-safe: start() and stop() belong to the owner; pollOnce() runs on
// one thread at a time (the polling thread, or a test while the thread is
// idle).
#pragma once

#include <cstdint>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "modules/node.h"
#include "modules/stoppable_thread.h"

class Nodes;

class Poller {
 public:
  explicit Poller(Nodes& nodes) : nodes_(nodes), jobs_(std::make_shared<Jobs>()) {}
  ~Poller() { stop(); }
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  void start();
  void stop();  // a failed join is only a warning
  // One cycle; false when the next one is to start at once.
  bool pollOnce();

  // What the walk copies of one record under the shared lock.
  struct Item {
    uint32_t handle = 0;            // the record's session; 0 = none
    std::shared_ptr<IPMI> session;  // kept alive for the walk
    std::string name;               // the eth0 name, for log lines
    // For a record without a session: the discovery probe of its host
    // address, with the credentials for its MAC.
    bool wants_probe = false;
    macaddr eth0_mac = 0;
    ipaddr eth0_ip = 0;
    std::string user, password;
  };
  // What the controller said about it.
  struct Outcome {
    bool power_read = false;  // status holds a new reading
    NodeRecord::PowerStatus status = NodeRecord::Unknown;
    std::string error;        // for error_str; empty = keep
    bool power_failed = false;  // the next cycle starts at once
    bool probed = false;
    NodeRecord::Probe probe;
    bool silent = false;     // the controller was asked and never answered
  };
  // One record's work, with no table lock held, in one IPMI session. count
  // is the table's size (the back-off window).
  static Outcome pollRecord(const Item& item, int count, const IPMI::Options& options);

 private:
  struct Signals {
    bool status_changed = false;
    bool probe_succeeded = false;
    bool pairing_candidate = false;
  };
  // The controller jobs of every cycle, and what they learnt. Shared with
  // the jobs, which may end after their cycle and after the poller.
  struct Jobs {
    std::mutex mutex;
    std::condition_variable ended;
    // guarded by mutex
    std::set<std::string> running;  // controllers with a job under way
    std::set<std::string> silent;   // controllers silent at their last contact
    std::vector<Item> items;        // what the jobs that ended learnt, to apply
    std::vector<Outcome> outcomes;
  };
  void run();
  std::vector<Item> snapshot();
  // The controller an item's work talks to; empty: nothing to ask.
  static std::string controllerOf(const Item& item);
  Signals apply(const std::vector<Item>& items, const std::vector<Outcome>& outcomes);

  Nodes& nodes_;
  const std::shared_ptr<Jobs> jobs_;
  trl::StoppableThread thread_;
};
