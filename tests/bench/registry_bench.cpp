// Prints what the node registry's heavy paths cost: parsing and merging a
// large leases file, and one polling cycle over simulated controllers.
// Run as root inside a network namespace (nothing but loopback answers):
//   unshare --net sh -c 'ip link set lo up; build/Release/tests/registry_bench'
#include <cstdio>
#include <iostream>
#include <memory>

#include "modules/nodes.h"
#include "tests/support/bench.h"
#include "tests/support/bmc_sim.h"
#include "tests/support/registry_root.h"

using trl::bench::figure;
using trl::bench::millis;

int main() {
  std::cout.setstate(std::ios::failbit);  // the registry's log lines would swamp the figures
  {
    trl::test::RegistryRoot root;
    const std::string leases = trl::bench::largeLeases();
    root.setLeases(leases);
    size_t found = 0;
    const double parse = millis([&] { found = Nodes::parseLeases(leases).size(); });
    std::unique_ptr<Nodes> nodes;
    const double first = millis([&] { nodes = std::make_unique<Nodes>(); });
    std::printf("leases file %.1f MB, %zu lease blocks, 512 servers\n", leases.size() / 1048576.0, found);
    figure("parse only", parse);
    figure("first merge (512 new records)", first);
    figure("rescan, nothing changed", millis([&] { nodes->update(); }));
  }
  {
    trl::test::RegistryRoot root;
    trl::test::SimulatedBmcs bmcs(16);
    std::string leases;
    for (int i = 0; i < 16; ++i) leases += trl::test::leaseBlock(bmcs.address(i), trl::bench::mac(i));
    root.setLeases(leases);
    Nodes nodes(root.config({100}));
    NodesTestAccess::pollOnce(nodes);  // first contact
    figure("one polling cycle, 16 simulated controllers (100 ms retransmission)",
           millis([&] { NodesTestAccess::pollOnce(nodes); }));
  }
  return 0;
}
