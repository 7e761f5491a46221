// The fabric description built from a real node registry: the records that
// reach the text, and where the file lands.
#include <gtest/gtest.h>

#include <sstream>

#include "modules/error.h"
#include "modules/geometry.h"
#include "modules/nodes.h"
#include "tests/support/registry_root.h"

namespace {

using Node = Nodes::Node;
using Records = std::vector<Geometry::FabricRecord>;

class GeometryNodes : public ::testing::Test {
 protected:
  trl::test::RegistryRoot root;

  // Records in this order, as the Servers tab adds them (no address, so
  // nothing is probed).
  static void addRecords(Nodes& nodes, const Records& records) {
    {
      const Nodes::ExclusiveAccess table(nodes);
      macaddr mac = 0x002590000001ULL;
      for (const Geometry::FabricRecord& record : records) {
        Node::Interface host(mac++, 0);
        host.name(record.desc);
        Node node(host);
        node.partition = record.partition;
        NodesTestAccess::store(nodes).push_back(node);
      }
    }
    nodes.commit();
  }

  static std::string textOf(const Geometry& g, const Records& records) {
    std::ostringstream out;
    g.fabricText(out, records);
    return out.str();
  }
};

// Deliberately out of name order, so that any sorting on the way shows.
const Records five{{"node-c", 1}, {"node-a", -1}, {"node-b", 0}, {"node-e", 2}, {"node-d", 0}};

TEST_F(GeometryNodes, TextFromTheTableEqualsTextFromItsRecordsAndAFailedWriteLeavesTheTableFree) {
  Nodes nodes;
  addRecords(nodes, five);
  Geometry g;
  EXPECT_THROW(g.buildFabric(nodes), _Error) << "no geometry built yet";
  g.build(1, 2, 2, 0);  // room for four: the fifth record is left out
  EXPECT_THROW(g.buildFabric(nodes), _SysError) << "the qv-config directory is missing";
  { const Nodes::ExclusiveAccess table(nodes); }  // would hang if a shared hold had leaked

  std::ostringstream from_table;
  g.buildFabric(nodes, from_table);
  EXPECT_EQ(from_table.str(), textOf(g, five));
  EXPECT_NE(from_table.str().find("{\"desc\": \"node-c\", \"sciid\": \"0x000\", \"partition\": 1,"),
            std::string::npos);
  EXPECT_EQ(from_table.str().find("node-d"), std::string::npos);

  EXPECT_EQ(g.toString(nodes), g.fabricReport(five));
  EXPECT_EQ(g.toString(nodes).rfind("----------------------------\nFabric file (fabric.json)\n"
                                    "----------------------------\n{\"fabric\": {\n",
                                    0),
            0u);
}

TEST_F(GeometryNodes, FileLandsUnderTheSystemRootAndFollowsTheTable) {
  Nodes nodes;
  Geometry g;
  g.build(1, 8, 0, 0);
  std::ostringstream empty;
  g.buildFabric(nodes, empty);
  EXPECT_EQ(empty.str(), textOf(g, {}));
  addRecords(nodes, five);
  root.mkdir("/var/lib/tftpboot/trellium/qv-config");
  g.buildFabric(nodes);
  EXPECT_EQ(trl::test::readFile(root.path(Geometry::fabric_json)), textOf(g, five));

  addRecords(nodes, {{"node-f", 3}});
  g.buildFabric(nodes);
  Records six = five;
  six.push_back({"node-f", 3});
  EXPECT_EQ(trl::test::readFile(root.path(Geometry::fabric_json)), textOf(g, six)) << "replaced, not appended";
}

}  // namespace
