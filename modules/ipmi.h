// One IPMI-over-LAN client per management controller, on libfreeipmi. Every
// operation opens a fresh IPMI 1.5 session and closes it before returning,
// so a controller that reboots costs nothing but the failed operation; a
// Conversation runs several operations in one session. The controller's
// sensor data repository is cached in the private state directory and read
// again only when the controller's repository info says it changed.
// Thread-safe: conversations with the controller take turns on lock_; the
// address, the credentials and the back-off records have small locks of
// their own, so reading them or re-pointing the object never waits for a
// conversation in progress.
#pragma once

#include <freeipmi/freeipmi.h>

#include <boost/thread/shared_mutex.hpp>
#include <cstdint>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "modules/error.h"
#include "modules/module.h"

typedef uint64_t macaddr;

// How IPMI sessions are opened; one value for the whole process, from the
// configuration.
struct IpmiOptions {
  // Retransmission timeout of every session in milliseconds; 0 is the
  // library's default. Simulated controllers repeat a sequence number, so
  // every session open waits one retransmission: the lab sets a short one.
  unsigned int retransmission_timeout_ms = 0;
};

class IPMI : public Module {
  // The address and credentials one operation uses.
  struct Target {
    std::string hostname, username, password;
  };
  // Held while talking to one controller address, through whichever
  // object: two records may name the same controller, and the controller is
  // to see one session at a time.
  class ControllerTurn {
   public:
    explicit ControllerTurn(const std::string& hostname);
    ~ControllerTurn();
    ControllerTurn(const ControllerTurn&) = delete;
    ControllerTurn& operator=(const ControllerTurn&) = delete;

   private:
    std::shared_ptr<std::mutex> mutex_;
  };

 public:
  enum power_t { power_off = 0, power_on = 1, power_cycle = 2, power_reset = 3, power_nmi = 4, power_shutdown = 5 };
  enum skip_t { skip_power = 0, skip_sensor = 1 };

  // One back-off record: while marked, pollers leave the controller alone.
  struct Skipping {
    bool skipped = false;
    time_t last_time;
    explicit Skipping(time_t now = time(nullptr)) : last_time(now) {}
    void mark(time_t now) {
      skipped = true;
      last_time = now;
    }
    // True while the caller must skip; clears the mark once the window of
    // offset + 2 * length seconds has passed.
    bool pending(time_t now, int length, int offset) {
      if (!skipped) return false;
      if ((now - last_time) - offset > 2 * static_cast<time_t>(length)) {
        skipped = false;
        return false;
      }
      return true;
    }
  };

  struct IpmiError : public std::exception {
    std::string message;
    explicit IpmiError(ipmi_ctx_t ctx) : message(ipmi_ctx_errormsg(ctx)) {}
    const char* what() const noexcept override { return message.c_str(); }
  };
  struct IpmiConnectError : public IpmiError {
    using IpmiError::IpmiError;
  };
  struct IpmiSdrError : public _Error {
    IpmiSdrError(const char* file, int line, ipmi_sdr_ctx_t ctx, const std::string& s)
        : _Error(file, line, s + " with '" + ipmi_sdr_ctx_errormsg(ctx) + "'") {}
  };
  struct IpmiSensorError : public _Error {
    IpmiSensorError(const char* file, int line, ipmi_sensor_read_ctx_t ctx, const std::string& s)
        : _Error(file, line, s + " with '" + ipmi_sensor_read_ctx_errormsg(ctx) + "'") {}
  };

  typedef std::vector<std::vector<std::string>> SensorList;

  static constexpr int history_polling_interval = 10;      // seconds
  static constexpr int power_status_polling_interval = 5;  // seconds
  static constexpr int ipmi_session_timeout = 1500;        // milliseconds
  static constexpr const char* sdr_cache_name = "sdr.cache";  // in the private state directory

  using Options = IpmiOptions;

  IPMI(const std::string& hostname, const std::string& username, const std::string& password,
       const Options& options = {});
  // Copies the other object's address, credentials and options.
  explicit IPMI(const IPMI* other);
  virtual ~IPMI();
  IPMI(const IPMI&) = delete;
  IPMI& operator=(const IPMI&) = delete;

  std::string moduleName() const override { return "IPMI"; }
  std::vector<Eventfd> eventfds() const override { return {}; }
  bool changed(int) override { return false; }
  void reset() override {}

  // Several operations in one session, as a polling cycle needs them (the
  // power state, then the sensors): the session opens with the first
  // operation and closes when the conversation ends. Holds the object's
  // conversation lock for its whole life, so the controller sees one
  // request at a time. For one thread's scope.
  class Conversation {
   public:
    explicit Conversation(IPMI& ipmi);
    ~Conversation();
    Conversation(const Conversation&) = delete;
    Conversation& operator=(const Conversation&) = delete;
    bool power();
    double sensors(const std::string& name);

   private:
    IPMI& ipmi_;
    boost::unique_lock<boost::shared_mutex> lock_;
    const Target target_;
    const ControllerTurn turn_;
  };

  bool probe();
  bool power();
  void power(power_t type, bool wait);
  macaddr getEth0MacAddr();
  // Re-points the object. The library context follows at the start of the
  // next operation, so this never waits for a conversation in progress.
  void reset(const std::string& hostname, const std::string& username, const std::string& password);
  void skip(skip_t type);
  bool skip(int length, skip_t type, int offset);
  // Makes sure neither lock is left held. Every lock here is taken through a
  // guard, so a stopped thread cannot leave one held; this only checks.
  void forceUnlock();

  // Rebuilds the sensor table; the reading of the threshold sensor whose ID
  // string is name, NaN when name is empty or the sensor has no reading.
  double sensors(const std::string& name);
  // The sensor table. Hold sensorLock() shared while iterating.
  SensorList::const_iterator begin() const { return sensor_list.begin(); }
  SensorList::const_iterator end() const { return sensor_list.end(); }
  boost::shared_mutex& sensorLock() const { return sensor_lock_; }
  SensorList sensorTable() const;  // a copy, taken under the lock

  std::string hostname() const;
  std::string username() const;
  std::string password() const;

 private:
  // The address and credentials for the operation about to start; renews
  // the library context first when the object was re-pointed. Called with
  // lock_ held, or on an object private to the calling thread.
  Target target();
  bool connect(int timeout, const Target& t);
  void connectOnce(const Target& t);  // unless the session is open
  void disconnect();
  bool readPowerState(const Target& t);
  double readSensors(const Target& t, const std::string& name);
  void initSDR(const Target& t);
  void openSDRCache(const Target& t);
  void cleanupSDR();
  static std::string cacheFile(const std::string& hostname);
  Skipping& skipping(skip_t type) { return type == skip_power ? powerSkip : sensorSkip; }

  const Options options_;
  mutable std::mutex skip_lock_;
  Skipping powerSkip;   // guarded by skip_lock_
  Skipping sensorSkip;  // guarded by skip_lock_
  // The library's state of one conversation: guarded by lock_.
  ipmi_ctx_t ipmi_ctx = nullptr;
  ipmi_sdr_ctx_t sdr_cache_ctx = nullptr;
  ipmi_sdr_ctx_t sdr_parse_ctx = nullptr;
  ipmi_sensor_read_ctx_t sensor_read_ctx = nullptr;
  bool connected = false;
  SensorList sensor_list;  // guarded by sensor_lock_
  mutable std::mutex target_lock_;
  // guarded by target_lock_
  std::string hostname_val;
  std::string username_val;
  std::string password_val;
  bool repointed_ = false;  // the context still belongs to the old values
  mutable boost::shared_mutex lock_;
  mutable boost::shared_mutex sensor_lock_;
};
