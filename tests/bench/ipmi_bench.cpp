// Prints how long the IPMI client's operations take against a simulated
// controller, with the library's default retransmission timeout and with
// the short one the lab uses. Run as root inside a network namespace:
//   unshare --net sh -c 'ip link set lo up; build/Release/tests/ipmi_bench'
#include <chrono>
#include <cstdio>
#include <functional>

#include "tests/support/bmc_sim.h"
#include "modules/ipmi.h"
#include "tests/support/scratch.h"

namespace {

double millis(const std::function<void()>& work, int rounds) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rounds; ++i) work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / rounds;
}

}  // namespace

int main() {
  trl::test::ScratchRoot root;
  root.mkdir("/var/lib/trellium");
  trl::test::SimulatedBmcs bmcs(1);
  for (const unsigned retransmission : {0u, 100u}) {
    IPMI live(bmcs.address(0), "ADMIN", "QZWRT", {retransmission});
    IPMI dead(bmcs.deadAddress(), "ADMIN", "QZWRT", {retransmission});
    const int rounds = retransmission == 0 ? 3 : 10;
    std::printf("retransmission timeout %s:\n", retransmission == 0 ? "library default" : "100 ms");
    std::printf("  power read      %8.1f ms\n", millis([&] { live.power(); }, rounds));
    std::printf("  sensors pass    %8.1f ms\n", millis([&] { live.sensors("CPU Temp"); }, rounds));
    std::printf("  failed probe    %8.1f ms\n", millis([&] { dead.probe(); }, rounds));
  }
  return 0;
}
