// One node record: a rack server's host interface (eth0), its management
// controller interface (mc), its power state and IPMI bookkeeping. The node
// table is an array of these in a file, so the record is a file format
// (pinned by static_asserts in node.cpp). Also the vendor rule table and the
// process-wide credential override.
// Records have no lock of their own: the node table's lock guards them.
// IpmiSessions and IpmiCredentials are thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "modules/ipmi.h"

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
// Written by the node registry while it holds the table's exclusive lock;
// read by whoever creates or re-points a session, under the table's lock.
class IpmiCredentials {
 public:
  static IpmiCredentials& getInstance();
  std::string username;
  std::string password;

 private:
  IpmiCredentials() = default;
};

// The IPMI session objects of the records live outside the mapped table:
// a record holds a 32-bit handle (0 = none) into this process-wide table,
// so the file format keeps its 4-byte field and a stale value read from
// disk can never be taken for a pointer. Thread-safe.
class IpmiSessions {
 public:
  static uint32_t add(std::shared_ptr<IPMI> session);
  static std::shared_ptr<IPMI> get(uint32_t handle);
  // The object itself lives on while another thread still holds it.
  static void release(uint32_t handle);
};

// What probing an address over IPMI found. The probe is network I/O and
// runs with no table lock held; a record only takes in its result.
struct IpmiProbe {
  bool answers = false;  // a controller answered at the address
  macaddr host_mac = 0;  // the host MAC it reported, when plausible
};

struct NodeRecord {
  static constexpr int name_max = 16;
  static constexpr int ipmi_probe_failed_threshold = 2;
  static constexpr const char* mc_extension = "-mc";

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
    // Refuses (_Error) a name that is not a host name (validHostName);
    // an empty one means "unset".
    void name(const std::string& n);
    // Parses a MAC typed by a user; "unset" clears MAC and address.
    void mac(const std::string& text);
    std::string mac_str() const;
    std::string ip_str() const;
    std::string toString() const;
    void print() const;
    // Gives an unnamed interface the name the hosts file holds for its
    // address. Reads and may rewrite the hosts file: never call it with the
    // table's lock held (work on a copy).
    void resolve();
    // Makes sure the hosts file mentions this interface's address.
    void name_ensure() const;
  };

  using Probe = IpmiProbe;

  Interface eth0;
  Interface mc;
  uint32_t ipmi_val;  // handle into IpmiSessions; 0 = no session
  PowerStatus powerStatus_val;
  int32_t partition;
  char error_str[255];
  int32_t ipmiProbeFailedCount;

  // A new record from a newly seen interface: the controller when the probe
  // of its address answered, else the host interface. Does no I/O.
  explicit NodeRecord(const Interface& iface, const Probe& probe = {});
  NodeRecord(const NodeRecord&) = default;
  NodeRecord& operator=(const NodeRecord&) = default;

  // The session object; valid while the caller holds the table's lock.
  IPMI* ipmi() const;
  std::shared_ptr<IPMI> ipmiShared() const;
  PowerStatus powerStatus() const { return powerStatus_val; }
  void powerStatus(PowerStatus s) { powerStatus_val = s; }
  std::string powerStatusStr() const { return toPowerStatusStr(powerStatus()); }
  static std::string toPowerStatusStr(PowerStatus s);
  std::string toString() const;
  void setError(const std::string& text);
  // Makes the session object follow the controller interface. Creates or
  // re-points an object; never waits for a conversation.
  void resetIPMI(const IPMI::Options& options);
  // Whether the polling thread's discovery probe applies: no session and no
  // controller address.
  bool wantsProbe() const { return ipmi_val == 0 && mc.ip() == 0; }
  // Takes in the polling thread's probe of the host address: a controller
  // that answered there moves to mc and gets a session; otherwise the
  // failed-probe count goes up (to the threshold). True when it answered.
  bool probeIPMI(const Probe& probe, const IPMI::Options& options);

  // Probes address ip as a new controller would be: a session with the
  // credentials for mac, and the host MAC the vendor command reports. Network
  // I/O: call it with no table lock held.
  static Probe probeAddress(ipaddr ip, const std::string& user, const std::string& password, macaddr mac,
                            const IPMI::Options& options);
  static macaddr hostMacOf(IPMI& controller, macaddr controller_mac);
  static bool isServerMacAddr(macaddr mac);
  static std::string serverBrand(macaddr mac);
  static int serverSerialport(macaddr mac);
  static std::string ipmiUsername(macaddr mac);
  static std::string ipmiPassword(macaddr mac);
  static IPMIRule ipmiRule(macaddr mac);

  // Why name is not a host name the DHCP and hosts files can carry (letters,
  // digits, '-' and '_', starting with a letter or a digit, at most
  // name_max - 1 characters); empty when it is one.
  static std::string hostNameError(const std::string& name);
  // The controller's name for a server's name: the "-mc" suffix, cut to fit.
  static std::string controllerName(const std::string& host);
};

bool operator<(const NodeRecord& a, const NodeRecord& b);
