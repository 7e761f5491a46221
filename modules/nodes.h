// The node registry: the persistent node table and everything that keeps it
// true (lease discovery, DHCP and hosts output, IPMI polling, group power).
// Nodes is the facade the tabs call; its jobs live in their own classes:
// NodeTable (the records and their lock), LeasesReader (the leases file and
// its watch), HostFiles and ServiceControl (the files the cluster reads and
// the DHCP server), Poller (the IPMI polling thread) and History.
// Thread-safe: the table is read under the shared lock and changed under the
// exclusive lock; slow work (IPMI, files, child processes) runs with no
// table lock held.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <boost/function.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "modules/dhcpd_check.h"
#include "modules/event_fd.h"
#include "modules/history.h"
#include "modules/host_files.h"
#include "modules/ipmi.h"
#include "modules/leases.h"
#include "modules/module.h"
#include "modules/node.h"
#include "modules/node_table.h"
#include "modules/poller.h"
#include "modules/service_control.h"
#include "modules/store.h"
#include "modules/worker_pool.h"

// What the registry is told at start, from the configuration.
struct NodesConfig {
  // The DHCP server's control program (resolved under the system root).
  std::string service_control = ServiceControl::service_control_default;
  // The DHCP server, which checks each configuration before it goes live
  // (resolved under the system root).
  std::string dhcpd = DhcpdCheck::dhcpd_default;
  IPMI::Options ipmi;
  // How many controllers the polling cycle and the unpaced power commands
  // talk to at once. A cycle costs about one conversation per worker-full of
  // controllers, and a worker mostly waits for the network: on 64 simulated
  // controllers 16 workers took 1.85x the time of FreeIPMI's fan-out of 64,
  // 32 took 0.95x and 64 took 0.66x, the same as FreeIPMI's default.
  unsigned ipmi_workers = 64;
  // Whether a browser session is open: polling and sampling rest while
  // nobody watches. Empty means nobody.
  std::function<bool()> anyone_watching;
};

class Nodes : public Module {
 public:
  using Node = NodeRecord;
  using Sessions = IpmiSessions;
  using Lease = LeasesReader::Lease;

  static constexpr int name_max = Node::name_max;
  static constexpr int ipmi_probe_failed_threshold = Node::ipmi_probe_failed_threshold;
  static constexpr const char* mc_extension = Node::mc_extension;

  static constexpr const char* dhcp_leases = LeasesReader::dhcp_leases;
  static constexpr const char* dhcp_leases_dir = LeasesReader::dhcp_leases_dir;
  static constexpr const char* dhcp_leases_filename = LeasesReader::dhcp_leases_filename;
  static constexpr const char* dhcp_leases_tmp = LeasesReader::dhcp_leases_tmp;
  static constexpr const char* hosts_path = HostFiles::hosts_path;
  static constexpr const char* hosts_path_in = HostFiles::hosts_path_in;
  static constexpr const char* dhcpd_conf = HostFiles::dhcpd_conf;
  static constexpr const char* dhcpd_conf_in = HostFiles::dhcpd_conf_in;
  static constexpr const char* service_control_default = ServiceControl::service_control_default;

  using Config = NodesConfig;

  explicit Nodes(Config config = {});
  virtual ~Nodes();
  Nodes(const Nodes&) = delete;
  Nodes& operator=(const Nodes&) = delete;

  const Config& config() const { return config_; }
  bool anyoneWatching() const { return config_.anyone_watching && config_.anyone_watching(); }

  // Module
  std::string moduleName() const override { return "Nodes"; }
  std::vector<Eventfd> eventfds() const override;
  // Consumes one event; for the leases watch and our own change event it
  // also rescans the leases file, whatever the name suggests.
  bool changed(int fd) override;
  void reset() override;

  int leasesModifiedFd() const { return leases_->fd(); }
  int nodeChangedFd() const { return eventFd_->fd(); }
  int powerStatusChangedFd() const { return ipmiFd_->fd(); }
  int historyUpdateFd() const { return history_data.historyUpdateFd(); }
  History& history() { return history_data; }

  void triggerEvent();
  void triggerIpmiEvent();

  // Table access. Prefer the guards below, which cannot leave the lock held.
  Node* shared_begin();
  Node* exclusive_begin();
  Node* end();
  size_t size() const;
  void shared_finished();
  void exclusive_finished();

  // Holds the table's lock for a scope: shared or exclusive. begin() and
  // end() are read afresh, so they stay right after a writer's push_back.
  template <bool exclusive>
  class Access {
   public:
    explicit Access(Nodes& n) : nodes_(n) {
      if (exclusive)
        n.exclusive_begin();
      else
        n.shared_begin();
    }
    ~Access();
    Node* begin() const { return nodes_.table_->store().begin(); }
    Node* end() const { return nodes_.end(); }
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;

   private:
    Nodes& nodes_;
  };
  typedef Access<false> SharedAccess;
  typedef Access<true> ExclusiveAccess;

  // A node a group power command did not reach: its eth0 name and why.
  struct PowerFailure {
    std::string node;
    std::string error;
  };
  typedef std::vector<PowerFailure> PowerFailures;

  // Group power commands. With a progress callback they walk the table in
  // order, calling it before each node (it paces the walk; false cancels
  // before the next node); without one the commands go out side by side
  // through the worker pool. They return the nodes that were due a command
  // and did not get it (no IPMI session, or the controller refused or did
  // not answer), in table order; nodes left by a cancel are not failures.
  PowerFailures powerOn(boost::function<bool()> progress);
  PowerFailures powerOff(boost::function<bool()> progress);
  PowerFailures powerShutdown(boost::function<bool()> progress);
  PowerFailures powerReset(boost::function<bool()> progress);
  // One command, unpaced, through the worker pool to the nodes pick
  // chooses (called under the shared lock); failures as above.
  PowerFailures power(IPMI::power_t kind, const std::function<bool(const Node&)>& pick);

  // The pool that talks to the controllers.
  trl::WorkerPool& workers() { return workers_; }

  // "dhcpd.conf rejected: " and why, while the configuration the table
  // gives is refused by dhcpd (the live one stays); "DHCP server not
  // restarted: " and why, while the service control program cannot be run;
  // empty otherwise.
  std::string dhcpConfError() const;

  std::string nodeNamePrefix() const;
  // Refuses (_Error, nothing changed) a prefix that would give a name that
  // is not a host name (Node::hostNameError) to a new server or to a
  // renamed one.
  void nodeNamePrefix(const std::string& prefix);
  bool autoNamingEnabled() const { return auto_naming_enabled; }
  void enableAutoNaming() { auto_naming_enabled = true; }
  void disableAutoNaming() { auto_naming_enabled = false; }
  void updateIpmiCredentials(const std::string& user, const std::string& password);
  void resetIPMI();  // caller holds the exclusive lock
  // One record's session follows its controller; the caller holds the
  // exclusive lock (a tab's edit of a record).
  void resetIPMI(Node& node) const { node.resetIPMI(config_.ipmi); }
  std::string toString();

  // Lease discovery and merging. update() takes the locks itself; add and
  // the two removals expect the caller to hold the exclusive lock. add
  // takes what the probe of a new lease's address found (probed before,
  // with no lock held); without it a new record is a host interface, which
  // the polling thread probes again.
  void update();
  bool add(macaddr mac, ipaddr ip, const Node::Probe& probe = {});
  int removeEmptyNodes();
  int removeOutdatedNodes();
  void removeDuplicates(Node::Interface& iface);
  bool autoSetEth0();
  void updateMCNames();  // caller holds the exclusive lock
  bool hostNameDuplicated();
  int emptyPartitionExists();
  static std::vector<Lease> parseLeases(const std::string& text) { return LeasesReader::parse(text); }

  // DHCP and hosts output. Each rewrite is checked by dhcpd first; a
  // refused one changes no file and restarts nothing (dhcpConfError).
  void saveToDisk();
  void commit();
  void removeNode(int index);
  void saveHostsToStream(std::ostream& out) const;  // caller holds the lock
  void saveDhcpConfToStream(std::ostream& out) const;  // caller holds the lock
  void deleteIPsFromHostsFile(const std::vector<std::string>& ips);
  void deleteMACsFromDHCPConfFile(const std::vector<std::string>& macs);
  void deleteIPsFromLeasesFile(const std::vector<std::string>& ips);
  static bool matchHostsEntry(const std::string& line, const std::vector<std::string>& ips) {
    return HostFiles::matchHostsEntry(line, ips);
  }
  static bool matchDHCPConfEntry(const std::string& line, const std::vector<std::string>& macs) {
    return HostFiles::matchDHCPConfEntry(line, macs);
  }
  static bool matchLeaseHeader(const std::string& line, const std::vector<std::string>& ips) {
    return HostFiles::matchLeaseHeader(line, ips);
  }
  bool startDhcpServer();  // false: the service control program could not be run
  void stopDhcpServer();

 private:
  friend class NodesTestAccess;

  template <typename Pick>
  int removeNodesIf(Pick pick);
  std::string freeName(size_t number) const;  // caller holds the lock
  std::map<macaddr, Node::Probe> probeNewcomers(const std::vector<Lease>& leases);
  PowerFailures powerAll(IPMI::power_t kind, const boost::function<bool()>& progress);
  void shutdown();
  void save(bool always);

  const Config config_;
  trl::WorkerPool workers_;
  // Whether the last consumed event changed something; every release of the
  // table's lock clears it.
  std::atomic<bool> changed_state{true};
  std::unique_ptr<LeasesReader> leases_;  // notifyFd
  std::unique_ptr<trl::EventFd> eventFd_;
  std::unique_ptr<trl::EventFd> ipmiFd_;
  std::unique_ptr<NodeTable> table_;
  const ServiceControl service_;
  mutable std::mutex prefix_lock;
  std::string node_name_prefix = "node";  // guarded by prefix_lock
  std::atomic<bool> auto_naming_enabled{true};
  std::mutex output_lock;  // one rewrite of the hosts/DHCP files at a time
  const DhcpdCheck dhcpd_check_;
  // The files are behind the table: a rewrite started and did not finish.
  std::atomic<bool> files_owed_{false};
  mutable std::mutex error_lock;
  std::string dhcp_conf_error;  // guarded by error_lock
  History history_data;
  Poller poller_;
};

// Tests reach the table's store through this; the product never does.
class NodesTestAccess {
 public:
  static Store<Nodes::Node>& store(Nodes& nodes) { return nodes.table_->store(); }
  static bool pollOnce(Nodes& nodes) { return nodes.poller_.pollOnce(); }
};
