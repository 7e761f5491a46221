// Prints what rebuilding the Wiring tab costs at the largest fabric (512
// servers as 8x8x8): building the cabling list, writing the fabric file,
// drawing the picture and filling the table, then rendering the tab as the
// page receives it; and how large the picture and the tab are.
//   build/Release/tests/gui_wiring_bench
#include <algorithm>
#include <chrono>
#include <functional>
#include <iomanip>
#include <iostream>
#include <vector>

#include "gui/wiring.h"
#include "gui/wiring_picture.h"
#include "modules/geometry.h"
#include "modules/nodes.h"
#include "tests/support/registry_root.h"

namespace {

// Median of runs, in milliseconds.
double median(int runs, const std::function<void()>& work) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    work();
    times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main() {
  std::ostream out(std::cout.rdbuf());
  std::cout.setstate(std::ios::failbit);  // the tabs' log lines would swamp the figures
  trl::test::RegistryRoot root;
  root.mkdir("/var/lib/tftpboot/trellium/qv-config");
  Nodes nodes;
  {
    const Nodes::ExclusiveAccess table(nodes);
    for (int i = 1; i <= 512; ++i) {
      Nodes::Node::Interface host(0x002590000000ULL + i, 0);
      host.name("node" + std::to_string(i));
      NodesTestAccess::store(nodes).push_back(Nodes::Node(host));
    }
  }
  Geometry geometry;
  Wiring wiring(nullptr);
  wiring.wiringTableData() = {&geometry, 512, 1, "8x8x8"};
  wiring.nodeTableData().nodes = &nodes;

  const int runs = 21;
  const double update = median(runs, [&] { wiring.update(0); });
  std::size_t page = 0;
  const double rebuild = median(runs, [&] {
    wiring.update(0);
    page = wiring.html().size();
  });
  geometry.build(1, "8x8x8");
  const std::vector<Geometry::Row> rows(geometry.wiring_begin(), geometry.wiring_end());
  std::size_t svg = 0;
  const double picture = median(runs, [&] { svg = wiringPicture(rows).size(); });
  geometry.build(1, "4x4x4");
  const std::size_t svg64 = wiringPicture({geometry.wiring_begin(), geometry.wiring_end()}).size();
  geometry.build(1, "2x4x2");
  const std::size_t svg16 = wiringPicture({geometry.wiring_begin(), geometry.wiring_end()}).size();

  out << std::fixed << std::setprecision(2) << "Wiring tab, 512 servers as 8x8x8 (median of " << runs << " runs)\n"
      << "  update (list, fabric file, picture, table): " << update << " ms\n"
      << "  update and render the tab for the page:     " << rebuild << " ms\n"
      << "  the picture alone:                          " << picture << " ms\n"
      << "  tab as sent: " << page / 1024.0 << " KiB, of which the picture " << svg / 1024.0 << " KiB\n"
      << "  picture for 4x4x4 (64 servers, all drawn): " << svg64 / 1024.0 << " KiB; for 2x4x2: "
      << svg16 / 1024.0 << " KiB\n";
  return 0;
}
