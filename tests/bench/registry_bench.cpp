// Prints what the node registry's heavy paths cost: parsing and merging a
// large leases file, and one polling cycle over simulated controllers.
// Run as root inside a network namespace (nothing but loopback answers):
//   unshare --net sh -c 'ip link set lo up; build/Release/tests/registry_bench'
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>

#include "tests/support/bmc_sim.h"
#include "modules/nodes.h"
#include "tests/support/registry_root.h"

namespace {

double millis(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::string ip(int i) { return "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 2); }

std::string mac(int i) {
  char text[18];
  std::snprintf(text, sizeof text, "00:25:90:00:%02x:%02x", (i >> 8) & 0xff, i & 0xff);
  return text;
}

}  // namespace

int main() {
  std::cout.setstate(std::ios::failbit);  // the registry's log lines would swamp the figures
  {
    trl::test::RegistryRoot root;
    // An append-only log: every server renewed many times, 10 MB in all.
    std::string leases;
    for (int round = 0; leases.size() < (10u << 20); ++round)
      for (int i = 0; i < 512; ++i) leases += trl::test::leaseBlock(ip(i), mac(i));
    root.setLeases(leases);
    size_t found = 0;
    const double parse = millis([&] { found = Nodes::parseLeases(leases).size(); });
    std::unique_ptr<Nodes> nodes;
    const double first = millis([&] { nodes = std::make_unique<Nodes>(); });
    const double rescan = millis([&] { nodes->update(); });
    std::printf("leases file %.1f MB, %zu lease blocks, 512 servers\n", leases.size() / 1048576.0, found);
    std::printf("  parse only                       %8.1f ms\n", parse);
    std::printf("  first merge (512 new records)    %8.1f ms\n", first);
    std::printf("  rescan, nothing changed          %8.1f ms\n", rescan);
  }
  {
    trl::test::RegistryRoot root;
    trl::test::SimulatedBmcs bmcs(16);
    std::string leases;
    for (int i = 0; i < 16; ++i) leases += trl::test::leaseBlock(bmcs.address(i), mac(i));
    root.setLeases(leases);
    Nodes nodes(root.config({100}));
    NodesTestAccess::pollOnce(nodes);  // first contact
    const double cycle = millis([&] { NodesTestAccess::pollOnce(nodes); });
    std::printf("one polling cycle over 16 simulated controllers (100 ms retransmission): %.0f ms\n", cycle);
  }
  return 0;
}
