// Simulated management controllers for tests: real OpenIPMI ipmi_sim
// processes answering IPMI 1.5 over LAN (MD5, ADMIN) on loopback addresses,
// configured by lab/ipmi/make-bmc.sh. See lab/README.md and
// lab/ipmi/SENSORS.md for what they hold.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace trl::test {

struct BmcOptions {
  std::string user = "ADMIN";
  std::string password = "QZWRT";
  uint64_t mac = 0x002590a0b0c0;  // eth0 MAC of controller 0; controller i reports mac + i
  bool powered = true;            // chassis power at start
};

// What a helper program printed (standard output and error together) and
// how it ended.
struct ToolResult {
  int exit_code = -1;  // the exit status, or 128 + signal number
  std::string output;
};

// Runs a program (looked up in PATH) with standard input from /dev/null and
// waits for it, at most timeout_ms; throws if it cannot start or overruns.
ToolResult runTool(const std::vector<std::string>& argv, int timeout_ms = 60000);

// n ipmi_sim processes, one per controller, each a child process of this
// one that is waited for. Every controller has its own address 127.X.Y.Z
// (X, Y derived from the process id, so parallel test processes do not
// collide) with IPMI on UDP port 623 and a run-time console on TCP port
// console_port of the same address.
// The processes die with the thread that started them (so a crashing test
// leaves none behind): construct the object and call start() on a thread
// that outlives it, such as the test's own.
class SimulatedBmcs {
 public:
  // Returns when every controller answers an IPMI request, or throws with
  // the reason and the log to look at.
  explicit SimulatedBmcs(int n, const BmcOptions& options = {});
  // Stops every controller (SIGTERM, then waits for it) and removes the
  // state directory.
  ~SimulatedBmcs();
  SimulatedBmcs(const SimulatedBmcs&) = delete;
  SimulatedBmcs& operator=(const SimulatedBmcs&) = delete;

  int size() const;
  const BmcOptions& options() const { return options_; }
  std::string address(int i) const;  // dotted IPv4 of controller i
  std::string deadAddress() const;   // same range, nothing listens there
  // Private scratch directory (mode 0700) of this object; removed at the end.
  const std::string& stateDir() const;

  // One console command; returns its reply with lines ending in "\n" and
  // without the echo and the prompt. Throws when the console does not answer.
  std::string console(int i, const std::string& command);

  // Sets the raw reading byte (0..255) of one sensor at once.
  void setSensorRaw(int i, int sensor_number, int raw);
  // The MAC and the answer shape of the vendor command NetFn 0x30 cmd 0x21.
  // Both are kept across stop()/start().
  void setMac(int i, uint64_t mac);
  uint64_t mac(int i) const;
  enum class OemMode { Normal, WrongLength, OnlyZero };
  void setOemMode(int i, OemMode mode);

  // The chassis power state as chassis_control keeps it; kept across
  // stop()/start(), like a real chassis.
  bool powered(int i) const;
  void setPowered(int i, bool on);

  void stop(int i);   // kills controller i; it stops answering
  void start(int i);  // starts it again; returns when it answers
  bool running(int i) const;

  // FreeIPMI command-line arguments that reach controller i as an IPMI 1.5
  // client would (host, credentials, MD5, ADMIN, LAN; a short retransmission
  // timeout and a session timeout generous enough for a loaded machine).
  std::vector<std::string> freeipmiArgs(int i) const;

  // Sensor numbers (see lab/ipmi/node.sdrs).
  static constexpr int cpu_temp = 1, inlet_temp = 2, fan1 = 3, volt12 = 4;
  static constexpr int dimm_temp = 5;  // compact record: sensors 5 to 8
  static constexpr int spare_temp = 9, psu1_status = 10;
  static constexpr int ipmi_port = 623;
  static constexpr int console_port = 9000;

 private:
  struct Directory;
  struct Controller;
  Controller& at(int i);
  const Controller& at(int i) const;
  void launch(Controller& c);
  void waitUntilAnswering(Controller& c) const;
  void reapply(Controller& c);
  template <typename Work>
  void forEachController(Work work);

  BmcOptions options_;
  std::unique_ptr<Directory> dir_;  // declared before the controllers: removed after they stop
  std::string prefix_;              // "127.X.Y."
  std::vector<std::unique_ptr<Controller>> controllers_;
};

// Text form of a MAC value: 0x002590a0b0c0 -> "00:25:90:a0:b0:c0".
std::string macText(uint64_t mac);

}  // namespace trl::test
