// The simulated controllers checked against an independent IPMI client:
// the FreeIPMI command-line tools.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/scratch.h"
#include "tests/support/bmc_sim.h"

namespace trl::test {
namespace {

using trl::test::eventually;

std::vector<std::string> command(const std::string& tool, const SimulatedBmcs& bmcs, int i,
                                 const std::vector<std::string>& extra) {
  std::vector<std::string> argv{tool};
  for (const auto& a : bmcs.freeipmiArgs(i)) argv.push_back(a);
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

ToolResult tool(const std::string& name, const SimulatedBmcs& bmcs, int i, const std::vector<std::string>& extra) {
  return runTool(command(name, bmcs, i, extra));
}

std::string systemPower(const SimulatedBmcs& bmcs, int i) {
  const ToolResult r = tool("ipmi-chassis", bmcs, i, {"--get-status"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  std::istringstream lines(r.output);
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind("System Power", 0) == 0) return line.substr(line.find(':') + 2);
  return "no System Power line in: " + r.output;
}

// The response bytes after "rcvd:", as ipmi-raw prints them.
std::vector<int> oemResponse(const SimulatedBmcs& bmcs, int i, const std::string& data_byte) {
  const ToolResult r = tool("ipmi-raw", bmcs, i, {"0", "0x30", "0x21", data_byte});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  std::istringstream words(r.output.substr(r.output.find("rcvd:") + 5));
  std::vector<int> bytes;
  std::string word;
  while (words >> word) bytes.push_back(std::stoi(word, nullptr, 16));
  return bytes;
}

struct SensorRow {
  std::string reading, units, event;
};

std::string trim(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  const size_t e = s.find_last_not_of(' ');
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// ipmi-sensors' table by sensor name (shared sensors listed one by one).
std::map<std::string, SensorRow> sensorTable(const SimulatedBmcs& bmcs, int i) {
  const std::string cache = bmcs.stateDir() + "/sdr-cache";
  mkdir(cache.c_str(), 0700);
  const ToolResult r =
      tool("ipmi-sensors", bmcs, i, {"--sdr-cache-directory=" + cache, "--shared-sensors", "--quiet-cache"});
  EXPECT_EQ(r.exit_code, 0) << r.output;
  std::map<std::string, SensorRow> rows;
  std::istringstream lines(r.output);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string> cells;
    std::istringstream fields(line);
    std::string cell;
    while (std::getline(fields, cell, '|')) cells.push_back(trim(cell));
    if (cells.size() == 6 && cells[0] != "ID") rows[cells[1]] = {cells[3], cells[4], cells[5]};
  }
  return rows;
}

// What the simulator promises, checked by a client that shares no code with
// ours; the IPMI tests then exercise the same harness through Trellium.
TEST(BmcSim, ChassisFollowsStandardCommandsAndOutlivesItsController) {
  SimulatedBmcs bmcs(2, BmcOptions{"ADMIN", "QZWRT", 0x002590a0b0c0, false});
  bmcs.setPowered(0, true);
  EXPECT_EQ(systemPower(bmcs, 0), "on");
  EXPECT_EQ(systemPower(bmcs, 1), "off") << "each controller has a chassis of its own";
  EXPECT_EQ(tool("ipmipower", bmcs, 0, {"--off"}).output, bmcs.address(0) + ": ok\n");
  EXPECT_FALSE(bmcs.powered(0));
  const std::pair<const char*, bool> controls[] = {{"POWER-UP", true}, {"HARD-RESET", true},
                                                   {"SOFT-SHUTDOWN", false}, {"POWER-CYCLE", true}};
  for (const auto& [control, on] : controls) {
    const ToolResult r = tool("ipmi-chassis", bmcs, 0, {std::string("--chassis-control=") + control});
    EXPECT_EQ(r.exit_code, 0) << control << ": " << r.output;
    EXPECT_TRUE(eventually([&] { return bmcs.powered(0) == on; })) << control << " ends " << (on ? "on" : "off");
  }

  // A stopped controller is silent; its chassis and MAC outlive it.
  bmcs.setMac(0, 0x021122334455);
  bmcs.setPowered(0, false);
  bmcs.stop(0);
  EXPECT_NE(tool("ipmi-chassis", bmcs, 0, {"--get-status"}).exit_code, 0);
  EXPECT_EQ(systemPower(bmcs, 1), "off") << "the other controller keeps answering";
  bmcs.start(0);
  EXPECT_EQ(systemPower(bmcs, 0), "off") << "the chassis keeps its state while its controller restarts";
  EXPECT_EQ(oemResponse(bmcs, 0, "0x02").back(), 0x55) << "the MAC survives the restart";
}

TEST(BmcSim, SensorsReadAsDocumentedAndFollowTheConsole) {
  SimulatedBmcs bmcs(1);
  auto rows = sensorTable(bmcs, 0);
  const std::vector<std::pair<std::string, SensorRow>> documented = {
      {"CPU Temp", {"41.00", "C", "'OK'"}},        {"Inlet Temp", {"24.00", "C", "'OK'"}},
      {"FAN1", {"3000.00", "RPM", "'OK'"}},        {"12V", {"12.06", "V", "'OK'"}},
      {"Spare Temp", {"N/A", "", "N/A"}},          {"PSU1 Status", {"", "", "'Presence detected'"}}};
  for (const auto& [name, row] : documented) {
    const SensorRow& read = rows[name];  // an empty cell here is not checked
    EXPECT_EQ(row.reading.empty() ? "" : read.reading, row.reading) << name;
    EXPECT_EQ(row.units.empty() ? "" : read.units, row.units) << name;
    EXPECT_EQ(read.event, row.event) << name;
  }
  for (const char* dimm : {"DIMM Temp 0", "DIMM Temp 1", "DIMM Temp 2", "DIMM Temp 3"}) {
    EXPECT_EQ(rows[dimm].reading, "N/A") << dimm << ": compact records carry no conversion factors";
    EXPECT_EQ(rows[dimm].event, "'OK'") << dimm << ": the sensor itself must be readable";
  }

  EXPECT_THROW(bmcs.setSensorRaw(0, 42, 10), std::runtime_error) << "sensor 42 does not exist";
  bmcs.setSensorRaw(0, SimulatedBmcs::cpu_temp, 95);
  bmcs.setSensorRaw(0, SimulatedBmcs::fan1, 8);
  bmcs.setSensorRaw(0, SimulatedBmcs::volt12, 200);
  rows = sensorTable(bmcs, 0);
  EXPECT_EQ(rows["CPU Temp"].reading, "95.00");
  EXPECT_EQ(rows["CPU Temp"].event, "'At or Above (>=) Upper Critical Threshold'");
  EXPECT_EQ(rows["FAN1"].reading, "400.00");
  EXPECT_EQ(rows["FAN1"].event, "'At or Below (<=) Lower Critical Threshold'");
  EXPECT_EQ(rows["12V"].reading, "12.00");
}

// The answer modes are exercised through Trellium; here only the byte layout
// of the normal answer, which our client and the simulator could agree on wrongly.
TEST(BmcSim, OemCommandAnswerLayoutAndVendorCredentials) {
  SimulatedBmcs bmcs(2);
  EXPECT_NE(bmcs.console(0, "no_such_command").find("**"), std::string::npos) << "the console reports errors";
  const std::vector<int> head{0x21, 0x00, 0, 0, 0, 0};
  auto expected = [&](uint64_t mac) {
    std::vector<int> bytes = head;
    for (int shift = 40; shift >= 0; shift -= 8) bytes.push_back(static_cast<int>((mac >> shift) & 0xff));
    return bytes;
  };
  EXPECT_EQ(oemResponse(bmcs, 0, "0x02"), expected(0x002590a0b0c0));
  EXPECT_EQ(oemResponse(bmcs, 1, "0x02"), expected(0x002590a0b0c1)) << "controller i reports mac + i";

  SimulatedBmcs vendor(1, BmcOptions{"USERID", "MORTA1NE", 0xe41f13000001, true});
  EXPECT_EQ(systemPower(vendor, 0), "on");
  std::vector<std::string> argv = command("ipmi-chassis", vendor, 0, {"--get-status"});
  argv[4] = "ADMIN";
  argv[6] = "QZWRT";
  EXPECT_NE(runTool(argv).exit_code, 0) << "vendor credentials replace the factory pair";
}

}  // namespace
}  // namespace trl::test
