// Prints what the node registry costs at cluster scale, each figure
// interleaved round by round with the FreeIPMI tool (or grep) that does the
// same work, as min / median / max and the ratio of the medians. Driven by
// tests/bench/scale_bench.sh, which brings up the virtual cluster:
//   scale_bench lab SYSROOT PREFIX ROUNDS WORKERS[,WORKERS...] RETRANSMISSION_MS
//     (inside the lab's management namespace; every controller a Supermicro)
//   scale_bench rescan ROUNDS
//     (a scratch root with a 10 MB leases file of 512 servers: parse, first
//     merge and rescan; inside a network namespace of its own, as the
//     registry probes their addresses)
#include <ifaddrs.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "modules/nodes.h"
#include "modules/paths.h"
#include "tests/support/bench.h"
#include "tests/support/bmc_sim.h"
#include "tests/support/registry_root.h"

namespace {

using trl::test::runTool;
using trl::bench::median;
using trl::bench::millis;
using Node = Nodes::Node;

struct Figures {
  std::vector<double> ours, theirs;
};

std::string spread(const std::vector<double>& v) {
  char text[64];
  std::snprintf(text, sizeof text, "%7.0f %7.0f %7.0f", *std::min_element(v.begin(), v.end()), median(v),
                *std::max_element(v.begin(), v.end()));
  return text;
}

void print(const std::string& what, const std::string& reference, const Figures& f) {
  std::printf("%-44s %s | %-30s %s | %5.2fx\n", what.c_str(), spread(f.ours).c_str(), reference.c_str(),
              spread(f.theirs).c_str(), median(f.ours) / median(f.theirs));
  std::fflush(stdout);
}

// Runs a FreeIPMI tool; the time, and how many lines of its output hold text.
double tool(const std::vector<std::string>& argv, const std::string& expect = "", int* hits = nullptr) {
  trl::test::ToolResult result;
  const double ms = millis([&] { result = runTool(argv, 600000); });
  if (hits) {
    *hits = 0;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);)
      if (line.find(expect) != std::string::npos) ++*hits;
  }
  return ms;
}

std::string readLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

size_t recordsWithSession(Nodes& nodes) {
  const Nodes::SharedAccess table(nodes);
  return static_cast<size_t>(std::count_if(table.begin(), table.end(), [](const Node& n) { return n.ipmi_val != 0; }));
}

// New session objects for every record: back-off records start clear, as
// for a controller that has just died. The SDR caches on disk stay.
void freshSessions(Nodes& nodes) {
  const Nodes::ExclusiveAccess table(nodes);
  for (Node* node = table.begin(); node != table.end(); ++node) {
    IpmiSessions::release(node->ipmi_val);
    node->ipmi_val = 0;
    nodes.resetIPMI(*node);
  }
}

// One sensor pass over every controller, on the registry's workers; how
// many controllers failed.
int sensorPass(Nodes& nodes) {
  std::vector<std::shared_ptr<IPMI>> sessions;
  {
    const Nodes::SharedAccess table(nodes);
    for (const Node* node = table.begin(); node != table.end(); ++node)
      if (auto session = node->ipmiShared()) sessions.push_back(session);
  }
  std::atomic<int> failed{0};
  nodes.workers().run(sessions.size(), [&](size_t i) {
    try {
      sessions[i]->sensors("");
    } catch (const std::exception&) {
      ++failed;
    }
  });
  return failed;
}

int lab(const std::string& sysroot, const std::string& prefix, int rounds, const std::vector<unsigned>& workers,
        unsigned int read_retransmission) {
  trl::setSysroot(sysroot);
  const std::string state = "/run/trellium-lab/" + prefix;
  const int servers = std::stoi(runTool({"sh", "-c", ". " + state + "/lab.env; echo $LAB_SERVERS"}).output);
  std::string hosts;
  for (int k = 1; k <= servers; ++k)
    hosts += (k > 1 ? "," : "") + readLine(state + "/servers/" + std::to_string(k) + "/bmc.address");
  // Reads are measured at the lab's 100 ms retransmission. A chassis
  // command makes each simulator start its chassis program, and eight or more
  // at once on a loaded machine miss 100 ms and lose their sessions: both
  // tools send commands at 500 ms.
  const unsigned int command_retransmission = std::max(500u, read_retransmission);
  const auto with = [&hosts](std::string program, unsigned int retransmission, std::vector<std::string> more) {
    std::vector<std::string> argv{std::move(program), "-h", hosts, "-u", "ADMIN", "-p", "QZWRT", "-a", "MD5", "-l",
                                  "ADMIN", "--driver-type=LAN", "--session-timeout=1500",
                                  "--retransmission-timeout=" + std::to_string(retransmission)};
    argv.insert(argv.end(), more.begin(), more.end());
    return argv;
  };
  const auto config = [](unsigned int workers, unsigned int retransmission) {
    Nodes::Config config;
    config.ipmi.retransmission_timeout_ms = retransmission;
    config.ipmi_workers = workers;
    return config;
  };
  const std::string sdr_dir = state + "/bench-sdr";
  runTool({"install", "-d", "-m", "0700", sdr_dir});
  const auto sensors_cmd =
      with("ipmi-sensors", read_retransmission, {"--sdr-cache-directory=" + sdr_dir, "--quiet-cache"});
  runTool(sensors_cmd, 600000);  // FreeIPMI's cache, as ours, is warm before the rounds

  std::printf("N = %d controllers, %d rounds, %u ms retransmission; columns: min median max (ms)\n", servers, rounds,
              read_retransmission);
  for (size_t w = 0; w < workers.size(); ++w) {
    Nodes nodes(config(workers[w], read_retransmission));
    if (recordsWithSession(nodes) != static_cast<size_t>(servers)) {
      std::fprintf(stderr, "only %zu of %d controllers have a session\n", recordsWithSession(nodes), servers);
      return 1;
    }
    // The registry's first save pins every controller's address and restarts
    // the DHCP server; the controllers may take a while to settle after it.
    const auto settled = [&] {
      int n = 0;
      tool(with("ipmipower", read_retransmission, {"--stat", "--fanout=4"}), ": o", &n);
      return n == servers;
    };
    for (int i = 0; i < 60 && !settled(); ++i) std::this_thread::sleep_for(std::chrono::seconds(1));
    freshSessions(nodes);               // no back-off left from the settling
    NodesTestAccess::pollOnce(nodes);  // first contact: SDR caches
    Figures cycle;
    int answered = 0, least = servers;
    for (int r = 0; r < rounds; ++r) {
      cycle.ours.push_back(millis([&] { NodesTestAccess::pollOnce(nodes); }));
      cycle.theirs.push_back(tool(with("ipmipower", read_retransmission, {"--stat"}), ": o", &answered));
      least = std::min(least, answered);
      if (answered < servers) std::printf("  (round %d: ipmipower --stat: %d/%d answered)\n", r + 1, answered, servers);
    }
    print("polling cycle, " + std::to_string(workers[w]) + " workers", "ipmipower --stat (" + std::to_string(least) +
          "/" + std::to_string(servers) + " answered)", cycle);
    if (w + 1 < workers.size()) continue;  // the other figures with the last worker count

    Figures sensors;
    for (int r = 0; r < rounds; ++r) {
      int failed = 0;
      sensors.ours.push_back(millis([&] { failed = sensorPass(nodes); }));
      if (failed) std::printf("  (round %d: %d sensor passes failed)\n", r + 1, failed);
      sensors.theirs.push_back(tool(sensors_cmd));
    }
    print("sensor pass", "ipmi-sensors", sensors);

    Figures off;
    Nodes commanding(config(workers[w], command_retransmission));
    for (int r = 0; r < rounds; ++r) {
      Nodes::PowerFailures failures;
      off.ours.push_back(millis([&] { failures = commanding.powerOff({}); }));
      off.theirs.push_back(tool(with("ipmipower", command_retransmission, {"--off"}), ": ok", &answered));
      if (!failures.empty())
        std::printf("  (round %d: %zu power-off failures, e.g. %s; ipmipower: %d/%d ok)\n", r + 1, failures.size(),
                    failures[0].error.c_str(), answered, servers);
    }
    print("group power-off, unpaced (500 ms retr.)", "ipmipower --off", off);

    // Four controllers lose their link. Every round starts with fresh
    // sessions (no back-off), so each cycle asks the dead ones again: the
    // first cycle waits for their time-out, the later ones do not wait for
    // controllers that were silent at their last contact.
    for (int k = 1; k <= 4; ++k) runTool({"ip", "-n", prefix + "-bmc" + std::to_string(k), "link", "set", "eth0", "down"});
    freshSessions(nodes);
    const double first = millis([&] { NodesTestAccess::pollOnce(nodes); });
    std::printf("%-44s %7.0f\n", "polling cycle meeting 4 dead controllers first", first);
    Figures dead;
    for (int r = 0; r < rounds; ++r) {
      freshSessions(nodes);
      dead.ours.push_back(millis([&] { NodesTestAccess::pollOnce(nodes); }));
      dead.theirs.push_back(tool(with("ipmipower", read_retransmission, {"--stat"})));
    }
    print("polling cycle, 4 controllers dead", "ipmipower --stat", dead);
    std::printf("%-44s %5.2fx\n", "4-dead cycle / all-alive cycle (medians)", median(dead.ours) / median(cycle.ours));
    for (int k = 1; k <= 4; ++k) runTool({"ip", "-n", prefix + "-bmc" + std::to_string(k), "link", "set", "eth0", "up"});
  }
  return 0;
}

// The registry probes every new server's address: nowhere but here.
bool onlyLoopback() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool only = true;
  for (const ifaddrs* i = list; i; i = i->ifa_next) only = only && std::string(i->ifa_name) == "lo";
  ::freeifaddrs(list);
  return only;
}

int rescan(int rounds) {
  trl::test::RegistryRoot root;
  const std::string leases = trl::bench::largeLeases();
  root.setLeases(leases);
  const std::string file = root.path("/var/lib/dhcp/dhcpd.leases");
  Figures f;
  for (int r = 0; r < rounds; ++r) {
    f.ours.push_back(millis([&] { Nodes::parseLeases(leases); }));
    f.theirs.push_back(tool({"grep", "-c", "hardware ethernet", file}));
  }
  print("leases parse only, 10 MB, 512 servers", "grep -c 'hardware ethernet'", f);
  std::unique_ptr<Nodes> first;
  std::printf("%-44s %7.0f\n", "leases first merge, 512 new records",
              millis([&] { first = std::make_unique<Nodes>(root.config()); }));
  Nodes& nodes = *first;
  f = {};
  for (int r = 0; r < rounds; ++r) {
    f.ours.push_back(millis([&] { nodes.update(); }));
    f.theirs.push_back(tool({"grep", "-c", "hardware ethernet", file}));
  }
  print("leases rescan, no change, 10 MB, 512 servers", "grep -c 'hardware ethernet'", f);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  std::cout.setstate(std::ios::failbit);  // the registry's log lines would swamp the figures
  try {
    if (args.size() == 2 && args[0] == "rescan") {
      if (!onlyLoopback()) {
        std::fprintf(stderr, "scale_bench: run the rescan in a network namespace of its own (unshare --net)\n");
        return 1;
      }
      return rescan(std::stoi(args[1]));
    }
    if (args.size() == 6 && args[0] == "lab") {
      std::vector<unsigned> workers;
      std::istringstream list(args[4]);
      for (std::string w; std::getline(list, w, ',');) workers.push_back(static_cast<unsigned>(std::stoul(w)));
      return lab(args[1], args[2], std::stoi(args[3]), workers, static_cast<unsigned>(std::stoul(args[5])));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "scale_bench: %s\n", e.what());
    return 1;
  }
  std::fprintf(stderr, "usage: scale_bench lab SYSROOT PREFIX ROUNDS WORKERS[,WORKERS...] RETRANSMISSION_MS | scale_bench rescan ROUNDS\n");
  return 2;
}
