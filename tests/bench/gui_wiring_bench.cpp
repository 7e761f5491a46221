// Prints what rebuilding the Wiring tab costs at the largest fabric (512
// servers as 8x8x8): building the cabling list, writing the fabric file,
// drawing the picture and filling the table, then rendering the tab as the
// page receives it; and how large the picture and the tab are.
//   build/Release/tests/gui_wiring_bench
#include <cstdio>
#include <iostream>
#include <vector>

#include "gui/wiring.h"
#include "gui/wiring_picture.h"
#include "modules/geometry.h"
#include "modules/nodes.h"
#include "tests/support/bench.h"
#include "tests/support/registry_root.h"

using trl::bench::figure;
using trl::bench::medianMillis;

int main() {
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
  const double update = medianMillis(runs, [&] { wiring.update(0); });
  std::size_t page = 0;
  const double rebuild = medianMillis(runs, [&] {
    wiring.update(0);
    page = wiring.html().size();
  });
  geometry.build(1, "8x8x8");
  const std::vector<Geometry::Row> rows(geometry.wiring_begin(), geometry.wiring_end());
  std::size_t svg = 0;
  const double picture = medianMillis(runs, [&] { svg = wiringPicture(rows).size(); });
  geometry.build(1, "4x4x4");
  const std::size_t svg64 = wiringPicture({geometry.wiring_begin(), geometry.wiring_end()}).size();
  geometry.build(1, "2x4x2");
  const std::size_t svg16 = wiringPicture({geometry.wiring_begin(), geometry.wiring_end()}).size();

  std::printf("Wiring tab, 512 servers as 8x8x8 (median of %d runs):\n", runs);
  figure("update (list, fabric file, picture, table)", update);
  figure("update and render the tab for the page", rebuild);
  figure("the picture alone", picture);
  figure("tab as sent", page / 1024.0, "KiB");
  figure("  of which the picture", svg / 1024.0, "KiB");
  figure("picture for 4x4x4 (64 servers, all drawn)", svg64 / 1024.0, "KiB");
  figure("picture for 2x4x2", svg16 / 1024.0, "KiB");
  return 0;
}
