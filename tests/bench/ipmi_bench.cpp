// Prints how long the IPMI client's operations take against a simulated
// controller, with the library's default retransmission timeout and with
// the short one the lab uses. Run as root inside a network namespace:
//   unshare --net sh -c 'ip link set lo up; build/Release/tests/ipmi_bench'
#include <cstdio>

#include "modules/ipmi.h"
#include "tests/support/bench.h"
#include "tests/support/bmc_sim.h"
#include "tests/support/scratch.h"

using trl::bench::figure;
using trl::bench::medianMillis;

int main() {
  trl::test::ScratchRoot root;
  root.mkdir("/var/lib/trellium");
  trl::test::SimulatedBmcs bmcs(1);
  for (const unsigned retransmission : {0u, 100u}) {
    IPMI live(bmcs.address(0), "ADMIN", "QZWRT", {retransmission});
    IPMI dead(bmcs.deadAddress(), "ADMIN", "QZWRT", {retransmission});
    const int runs = retransmission == 0 ? 3 : 10;
    std::printf("retransmission timeout %s (median of %d):\n", retransmission == 0 ? "library default" : "100 ms", runs);
    figure("power read", medianMillis(runs, [&] { live.power(); }));
    figure("sensors pass", medianMillis(runs, [&] { live.sensors("CPU Temp"); }));
    figure("failed probe", medianMillis(runs, [&] { dead.probe(); }));
  }
  return 0;
}
