// The IPMI client against real simulated controllers (ipmi_sim).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <future>
#include <thread>

#include "tests/support/bmc_sim.h"
#include "modules/ipmi.h"
#include "modules/sensor_interpreter.h"
#include "tests/support/scratch.h"

namespace {

using trl::test::SimulatedBmcs;

// One controller for the whole suite: starting one costs a fraction of a second.
class IpmiLive : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    bmcs = new SimulatedBmcs(1);
  }
  static void TearDownTestSuite() {
    delete bmcs;
    bmcs = nullptr;
  }
  void SetUp() override {
    bmcs->setPowered(0, true);
    bmcs->setOemMode(0, SimulatedBmcs::OemMode::Normal);
    bmcs->setSensorRaw(0, SimulatedBmcs::cpu_temp, 41);
  }
  // The simulator repeats a sequence number: a short retransmission timeout.
  static IPMI client() { return IPMI(bmcs->address(0), "ADMIN", "QZWRT", {100}); }

  trl::test::ScratchRoot root;  // the SDR cache lives in the state directory
  std::string state = root.mkdir("/var/lib/trellium");
  static SimulatedBmcs* bmcs;
};
SimulatedBmcs* IpmiLive::bmcs = nullptr;

// A dead address: the probe says no (soon), every call raises the
// connection error, and reset() points an object to it and back.
TEST_F(IpmiLive, ProbeTellsLiveFromDeadAndDeadControllersRaiseConnectError) {
  IPMI live = client();
  EXPECT_TRUE(live.probe());
  IPMI dead(bmcs->deadAddress(), "ADMIN", "QZWRT");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(dead.probe());
  // Only a guard against hanging; the time itself is printed by the benchmark.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  IPMI wrong_password(bmcs->address(0), "ADMIN", "nope");
  EXPECT_FALSE(wrong_password.probe());

  EXPECT_THROW(dead.power(), IPMI::IpmiConnectError);
  EXPECT_THROW(dead.sensors(""), IPMI::IpmiConnectError);
  EXPECT_THROW(dead.power(IPMI::power_on, false), IPMI::IpmiConnectError);
  EXPECT_THROW(dead.getEth0MacAddr(), IPMI::IpmiConnectError);

  live.reset(bmcs->address(0), "ADMIN", "QZWRT");  // same values: nothing happens
  EXPECT_TRUE(live.power());
  live.reset(bmcs->deadAddress(), "ADMIN", "QZWRT");
  EXPECT_THROW(live.power(), IPMI::IpmiConnectError);
  live.reset(bmcs->address(0), "ADMIN", "QZWRT");
  EXPECT_TRUE(live.power());
}

TEST_F(IpmiLive, PowerReadsCommandsAndAResetThatCannotBeWaitedFor) {
  IPMI ipmi = client();
  EXPECT_TRUE(ipmi.power());
  bmcs->setPowered(0, false);
  EXPECT_FALSE(ipmi.power()) << "the chassis state as the controller reports it";
  ipmi.power(IPMI::power_on, false);
  EXPECT_TRUE(ipmi.power());
  EXPECT_TRUE(bmcs->powered(0));
  ipmi.power(IPMI::power_off, false);
  EXPECT_FALSE(ipmi.power());
  ipmi.power(IPMI::power_on, true);  // waits until the state reads on
  EXPECT_TRUE(ipmi.power());
  ipmi.power(IPMI::power_shutdown, false);
  EXPECT_FALSE(ipmi.power());

  ipmi.power(IPMI::power_on, false);
  try {
    ipmi.power(IPMI::power_reset, true);
    FAIL() << "a reset cannot be waited for: the state is never 3";
  } catch (const _Error& e) {
    EXPECT_NE(std::string(e.what()).find("[modules/ipmi:"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("] failed to change power state after 10s"), std::string::npos);
  }
  EXPECT_TRUE(ipmi.power()) << "the session was closed on the way out";
}

TEST_F(IpmiLive, OemMacOnFirstOrSecondRequestOrNone) {
  bmcs->setMac(0, 0x021122334455ULL);
  IPMI ipmi = client();
  EXPECT_EQ(ipmi.getEth0MacAddr(), 0x021122334455ULL) << "byte 6 is the first octet";
  bmcs->setOemMode(0, SimulatedBmcs::OemMode::OnlyZero);
  EXPECT_EQ(ipmi.getEth0MacAddr(), 0x021122334455ULL) << "answered for data byte 0x00 only";
  bmcs->setOemMode(0, SimulatedBmcs::OemMode::WrongLength);
  trl::test::CaptureStdout out;
  EXPECT_EQ(ipmi.getEth0MacAddr(), 0u);
  EXPECT_NE(out.text().find("] Wrong length "), std::string::npos);
}

TEST_F(IpmiLive, PowerAndSensorsFromTwoThreadsNeverInterleave) {
  IPMI ipmi = client();
  // Both threads share one library context: without the object's lock the
  // two conversations would mix and fail.
  auto powers = std::async(std::launch::async, [&] {
    for (int i = 0; i < 8; ++i)
      if (!ipmi.power()) return false;
    return true;
  });
  auto readings = std::async(std::launch::async, [&] {
    for (int i = 0; i < 4; ++i)
      if (ipmi.sensors("CPU Temp") != 41.0) return false;
    return true;
  });
  EXPECT_TRUE(powers.get());
  EXPECT_TRUE(readings.get());
}

std::string tableText(const IPMI& ipmi) {
  std::string text;
  for (const auto& row : ipmi.sensorTable()) {
    for (size_t i = 0; i < row.size(); ++i) text += (i ? "|" : "") + row[i];
    text += "\n";
  }
  return text;
}

TEST_F(IpmiLive, SensorTableOfTheSimulatedRepository) {
  IPMI ipmi = client();
  EXPECT_TRUE(ipmi.sensorTable().empty()) << "no table before the first pass";
  EXPECT_TRUE(std::isnan(ipmi.sensors(""))) << "no name, no number";
  // Compact records carry no conversion factors, so the library gives their
  // four sensors no reading; the discrete and non-sensor records give no rows.
  EXPECT_EQ(tableText(ipmi),
            "name|reading|state\n"
            "CPU Temp|41 C|nominal\n"
            "Inlet Temp|24 C|nominal\n"
            "FAN1|3000 RPM|nominal\n"
            "12V|12.06 V|nominal\n"
            "DIMM Temp 0|N/A|unavailable\n"  // one compact record, four sensors
            "DIMM Temp 1|N/A|unavailable\n"
            "DIMM Temp 2|N/A|unavailable\n"
            "DIMM Temp 3|N/A|unavailable\n"
            "Spare Temp|N/A|unavailable\n");
  EXPECT_EQ(ipmi.sensors("FAN1"), 3000.0);
  EXPECT_TRUE(std::isnan(ipmi.sensors("No Such Sensor")));
  EXPECT_TRUE(std::isnan(ipmi.sensors("Spare Temp"))) << "a sensor without a reading";

  bmcs->setSensorRaw(0, SimulatedBmcs::cpu_temp, 95);  // above the upper critical threshold (90)
  EXPECT_EQ(ipmi.sensors("CPU Temp"), 95.0) << "a changed reading shows in the next pass";
  EXPECT_EQ(ipmi.sensorTable()[1], (std::vector<std::string>{"CPU Temp", "95 C", "critical"}));
}

// The repository is downloaded into the private directory once and read
// again only when the controller's repository info changes; the rules that
// turn readings into states are loaded once per process.
TEST_F(IpmiLive, RepositoryAndInterpretationRulesAreReadOnce) {
  const std::string cache = state + "/private/sdr.cache" + bmcs->address(0);
  const auto written = [&cache] {
    struct stat st {};
    if (::stat(cache.c_str(), &st) != 0) return std::string("missing");
    return std::to_string(st.st_size) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
  };
  IPMI ipmi = client();
  ipmi.sensors("");
  const std::string first = written();
  ASSERT_NE(first, "missing");
  const auto rows = ipmi.sensorTable();
  ipmi.sensors("");
  IPMI other = client();  // a new object at the same address, as after a restart
  EXPECT_EQ(other.sensors("CPU Temp"), 41.0);
  EXPECT_EQ(written(), first) << "neither pass downloaded the repository again";
  EXPECT_EQ(other.sensorTable(), rows);
  EXPECT_EQ(SensorInterpreter::loadCount(), 1);

  // An OEM record added to the repository changes its addition time stamp.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // time stamps count seconds
  bmcs->console(0, "main_sdr_add 0x20 0x00 0x00 0x51 0xc0 0x04 0x57 0x01 0x00 0x01");
  ipmi.sensors("");
  EXPECT_NE(written(), first) << "the changed repository was read again";
  EXPECT_EQ(ipmi.sensorTable(), rows) << "an OEM record adds no row";
}

}  // namespace
