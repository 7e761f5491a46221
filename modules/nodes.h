// The node registry: the persistent node table and everything that keeps it
// true (lease discovery, DHCP and hosts output, IPMI polling, group power).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <boost/function.hpp>
#include <boost/thread/shared_mutex.hpp>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "modules/history.h"
#include "modules/ipmi.h"
#include "modules/module.h"
#include "modules/store.h"

typedef uint32_t ipaddr;

// A vendor rule: which MAC prefix is which brand, its factory IPMI
// credentials, the distance from the host's MAC to the controller's, and the
// serial console port.
struct IPMIRule {
  const char* rulename;
  macaddr macaddr_prefix;
  const char* username;
  const char* password;
  int macaddr_offset;
  int serial_console;
  std::string toString() const;
};

// Rules in match order, ended by a row with empty strings and zeros.
extern const IPMIRule rule_list[];

// Credentials that override the rule table for every node when not empty.
class IpmiCredentials {
 public:
  static IpmiCredentials& getInstance();
  std::string username;
  std::string password;

 private:
  IpmiCredentials() = default;
};

class Nodes : public Module {
 public:
  static constexpr int name_max = 16;
  static constexpr int ipmi_probe_failed_threshold = 2;
  static constexpr const char* mc_extension = "-mc";

  static constexpr const char* dhcp_leases = "/var/lib/dhcp/dhcpd.leases";
  static constexpr const char* dhcp_leases_dir = "/var/lib/dhcp";
  static constexpr const char* dhcp_leases_filename = "dhcpd.leases";
  static constexpr const char* dhcp_leases_tmp = "/var/lib/dhcp/dhcpd.leases.new";
  static constexpr const char* hosts_path = "/etc/hosts";
  static constexpr const char* hosts_path_in = "/usr/share/trellium/host/hosts.clean";
  static constexpr const char* dhcpd_conf = "/etc/dhcp/dhcpd.conf";
  static constexpr const char* dhcpd_conf_in = "/usr/share/trellium/host/dhcpd.conf.in";
  static constexpr const char* service_control_default = "/sbin/initctl";

  // The DHCP server's control program (resolved under the system root);
  // a systemd host passes /usr/bin/systemctl, which takes the same arguments.
  static void setServiceControl(const std::string& path);
  static std::string serviceControl();

  // The IPMI session objects of the records live outside the mapped table:
  // a record holds a 32-bit handle (0 = none) into this process-wide table,
  // so the file format keeps its 4-byte field and a stale value read from
  // disk can never be taken for a pointer.
  class Sessions {
   public:
    static uint32_t add(std::shared_ptr<IPMI> session);
    static std::shared_ptr<IPMI> get(uint32_t handle);
    static void release(uint32_t handle);
  };

  struct Node {
    enum PowerStatus : int32_t { Up = 0, Down = 1, ConnectionError = 2, Unknown = 3, NoIPMI = 4 };

    struct Interface {
      macaddr mac_val;
      ipaddr ip_val;
      char name_val[name_max];
      bool updated;

      Interface();
      Interface(macaddr mac, ipaddr ip);

      void reset();
      macaddr mac() const { return mac_val; }
      ipaddr ip() const { return ip_val; }
      std::string name() const;
      void mac(macaddr m) { mac_val = m; }
      void ip(ipaddr i) { ip_val = i; }
      bool isUpdated() const { return updated; }
      void setUpdated(bool u) { updated = u; }
      void name(const std::string& n);
      // Parses a MAC typed by a user; "unset" clears MAC and address.
      void mac(const std::string& text);
      std::string mac_str() const;
      std::string ip_str() const;
      std::string toString() const;
      void print() const;
      // Gives an unnamed interface the name the hosts file holds for its address.
      void resolve();
      // Makes sure the hosts file mentions this interface's address.
      void name_ensure() const;
    };

    Interface eth0;
    Interface mc;
    uint32_t ipmi_val;  // handle into Sessions; 0 = no session
    PowerStatus powerStatus_val;
    int32_t partition;
    char error_str[255];
    int32_t ipmiProbeFailedCount;

    explicit Node(Interface& iface);
    Node(const Node&) = default;
    Node& operator=(const Node&) = default;

    // The session object; valid while the caller holds the table's lock.
    IPMI* ipmi() const;
    std::shared_ptr<IPMI> ipmiShared() const;
    PowerStatus powerStatus() const { return powerStatus_val; }
    void powerStatus(PowerStatus s) { powerStatus_val = s; }
    std::string powerStatusStr() const { return toPowerStatusStr(powerStatus()); }
    static std::string toPowerStatusStr(PowerStatus s);
    std::string toString() const;
    void setError(const std::string& text);
    // Makes the session object follow the controller interface.
    void resetIPMI();
    // Discovery probe of a record without a session (polling thread).
    bool probeIPMI();

    static macaddr hostMacOf(IPMI& controller, macaddr controller_mac);
    static bool isServerMacAddr(macaddr mac);
    static std::string serverBrand(macaddr mac);
    static int serverSerialport(macaddr mac);
    static std::string ipmiUsername(macaddr mac);
    static std::string ipmiPassword(macaddr mac);
    static IPMIRule ipmiRule(macaddr mac);
  };

  Nodes();
  virtual ~Nodes();
  Nodes(const Nodes&) = delete;
  Nodes& operator=(const Nodes&) = delete;

  // Module
  std::string moduleName() const override { return "Nodes"; }
  std::vector<Eventfd> eventfds() const override;
  bool changed(int fd) override;
  void reset() override;

  int leasesModifiedFd() const { return notifyFd; }
  int nodeChangedFd() const { return eventFd; }
  int powerStatusChangedFd() const { return ipmiFd; }
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

  // Holds the table's lock for a scope: shared or exclusive.
  template <bool exclusive>
  class Access {
   public:
    explicit Access(Nodes& n) : nodes_(n), first_(exclusive ? n.exclusive_begin() : n.shared_begin()) {}
    ~Access();
    Node* begin() const { return first_; }
    Node* end() const { return nodes_.end(); }
    Access(const Access&) = delete;
    Access& operator=(const Access&) = delete;

   private:
    Nodes& nodes_;
    Node* first_;
  };
  typedef Access<false> SharedAccess;
  typedef Access<true> ExclusiveAccess;

  // A node a group power command did not reach: its eth0 name and why.
  struct PowerFailure {
    std::string node;
    std::string error;
  };
  typedef std::vector<PowerFailure> PowerFailures;

  // Group power commands, in table order; progress returning false cancels
  // before the next node. They return the nodes that were due a command and
  // did not get it (no IPMI session, or the controller refused or did not
  // answer); nodes left by a cancel are not failures.
  PowerFailures powerOn(boost::function<bool()> progress);
  PowerFailures powerOff(boost::function<bool()> progress);
  PowerFailures powerShutdown(boost::function<bool()> progress);
  PowerFailures powerReset(boost::function<bool()> progress);

  // Why dhcpd refused the last generated configuration; empty when it did not.
  std::string dhcpConfError() const;

  std::string nodeNamePrefix() const;
  void nodeNamePrefix(const std::string& prefix);
  bool autoNamingEnabled() const { return auto_naming_enabled; }
  void enableAutoNaming() { auto_naming_enabled = true; }
  void disableAutoNaming() { auto_naming_enabled = false; }
  void updateIpmiCredentials(const std::string& user, const std::string& password);
  void resetIPMI();
  std::string toString();

  // Lease discovery and merging (caller holds the exclusive lock for add and
  // the two removals).
  void update();
  bool add(macaddr mac, ipaddr ip);
  int removeEmptyNodes();
  int removeOutdatedNodes();
  void removeDuplicates(Node::Interface& iface);
  bool autoSetEth0();
  void updateMCNames();
  bool hostNameDuplicated();
  int emptyPartitionExists();

  // One (address, MAC) pair per lease block, in file order. Linear in the
  // text; blocks with malformed values are skipped.
  struct Lease {
    ipaddr ip;
    macaddr mac;
  };
  static std::vector<Lease> parseLeases(const std::string& text);

  // DHCP and hosts output.
  void saveToDisk();
  void commit();
  void removeNode(int index);
  void saveHostsToStream(std::ostream& out) const;
  void saveDhcpConfToStream(std::ostream& out) const;
  void deleteIPsFromHostsFile(const std::vector<std::string>& ips);
  void deleteMACsFromDHCPConfFile(const std::vector<std::string>& macs);
  void deleteIPsFromLeasesFile(const std::vector<std::string>& ips);
  static bool matchHostsEntry(const std::string& line, const std::vector<std::string>& ips);
  static bool matchDHCPConfEntry(const std::string& line, const std::vector<std::string>& macs);
  static bool matchLeaseHeader(const std::string& line, const std::vector<std::string>& ips);
  void startDhcpServer();
  void stopDhcpServer();

 private:
  friend class NodesTestAccess;

  bool readLeasesEvents();
  template <typename Pick>
  int removeNodesIf(Pick pick);
  typedef bool (*LineMatch)(const std::string& line, const std::vector<std::string>& texts);
  void keepLinesOf(const char* fixed_path, const std::vector<std::string>& drop, LineMatch match);
  void readTrigger(int fd, const char* read_error);
  void writeTrigger(int fd, const char* write_error);
  void pollingThread();
  void shutdown();
  bool pollOnce();  // one cycle; false when the next one starts at once
  PowerFailures powerAll(IPMI::power_t kind, const boost::function<bool()>& progress);
  bool sleepFor(std::chrono::milliseconds how_long);  // false when stopping
  void runDhcpControl(const char* verb);

  std::atomic<bool> changed_state{true};
  std::atomic<bool> monitor_moved_to{true};
  int notifyFd = -1;
  int eventFd = -1;
  int ipmiFd = -1;
  std::thread ipmi_thread;
  std::unique_ptr<Store<Node>> nodes;
  mutable boost::shared_mutex rwlock;
  std::string node_name_prefix = "node";
  mutable std::mutex prefix_lock;  // the prefix is read by other threads
  std::atomic<bool> auto_naming_enabled{true};
  std::mutex output_lock;  // one rewrite of the hosts/DHCP files at a time
  History history_data;
  bool shutdownPending = false;
  std::mutex stop_lock;
  std::condition_variable stop_signal;
};

bool operator<(const Nodes::Node& a, const Nodes::Node& b);

// Tests reach the table's store through this; the product never does.
class NodesTestAccess {
 public:
  static Store<Nodes::Node>& store(Nodes& nodes) { return *nodes.nodes; }
  static bool pollOnce(Nodes& nodes) { return nodes.pollOnce(); }
};
