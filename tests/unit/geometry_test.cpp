#include "modules/geometry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

#include "modules/error.h"
#include "tests/support/scratch.h"

namespace {

using trl::test::endsWith;
using trl::test::errorOf;

using Records = std::vector<Geometry::FabricRecord>;

std::vector<std::string> candidates(Geometry& g, unsigned n) {
  const Geometry::Lock guard = g.lock();
  g.configurations(n);
  std::vector<std::string> out;
  for (auto c = g.configs_begin(); c != g.configs_end(); ++c) out.push_back(c->str().first);
  return out;
}

std::vector<Geometry::Row> rows(const Geometry& g) {
  const Geometry::Lock guard = g.lock();
  return std::vector<Geometry::Row>(g.wiring_begin(), g.wiring_end());
}

// The cables of one dimension as "from->to" texts, in row order.
std::vector<std::string> cables(const std::vector<Geometry::Row>& table, std::size_t dimension) {
  std::vector<std::string> out;
  for (std::size_t r = 1; r < table.size(); ++r) {
    const std::string& from = table[r].at(1 + 3 * dimension);
    const std::string& to = table[r].at(2 + 3 * dimension);
    out.push_back(std::to_string(std::stoi(from.substr(2))) + "->" + std::to_string(std::stoi(to.substr(2))));
  }
  return out;
}

std::string text(const Geometry& g, const Records& records) {
  std::ostringstream out;
  g.fabricText(out, records);
  return out.str();
}

TEST(GeometryConfig, NormalisesAndOrders) {
  const Geometry::Config a(8, 4, 2), b(2, 2, 4), c(1, 8, 1);
  EXPECT_EQ(std::vector<unsigned>({a.x, a.y, a.z, a.d, a.n, a.g}), std::vector<unsigned>({4, 8, 2, 3, 64, 84}));
  EXPECT_EQ(std::vector<unsigned>({b.x, b.y, b.z}), std::vector<unsigned>({2, 4, 2}));
  EXPECT_EQ(std::vector<unsigned>({c.x, c.y, c.z, c.d}), std::vector<unsigned>({8, 1, 1, 1}));
  EXPECT_EQ(a.str(), std::make_pair(std::string("4x8x2"), std::string("(64 nodes)")));
  EXPECT_EQ(c.str().first, "8");
  EXPECT_EQ(Geometry::Config(4, 4, 1).str().first, "4x4");
  EXPECT_TRUE(Geometry::Config(2, 4, 2) == Geometry::Config(4, 2, 2));
}

TEST(GeometryConfigurations, EveryShapeOfAtMostNServersBestFirst) {
  Geometry g;
  EXPECT_TRUE(candidates(g, 0).empty());
  EXPECT_TRUE(candidates(g, 1).empty());
  EXPECT_EQ(candidates(g, 2), std::vector<std::string>({"2"}));
  EXPECT_EQ(candidates(g, 16),
            std::vector<std::string>({"2x4x2", "4x4", "2x8", "3x5", "2x7", "2x3x2", "3x4", "2x6", "2x5", "3x3", "2x2x2",
                                      "2x4", "8", "7", "2x3", "6", "5", "2x2", "4", "3", "2"}));
  {
    const Geometry::Lock guard = g.lock();
    EXPECT_EQ(g.configs_begin()->str().second, "(16 nodes)");
  }
  const std::vector<std::string> all = candidates(g, 512);
  ASSERT_EQ(all.size(), 119u);
  EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 6),
            std::vector<std::string>({"8x8x8", "8x8x7", "7x8x7", "8x8x6", "7x7x7", "7x8x6"}));
  EXPECT_EQ(candidates(g, 100000), all) << "no ring beyond 8 servers";
}

TEST(GeometryRing, FoldedPlacementAndInverse) {
  const Geometry g;
  for (unsigned size = 2; size <= 8; ++size) {
    for (unsigned e = 0; e < size; ++e) {
      EXPECT_EQ(g.cablering(e + size, 3, size), 3 * g.cablering(e, 1, size)) << "wraps and strides";
      EXPECT_EQ(g.jsonring(g.cablering(e, 1, size), 1, size), e) << size << " " << e;
    }
  }
  std::vector<unsigned> eight;
  for (unsigned e = 0; e < 8; ++e) eight.push_back(g.cablering(e, 1, 8));
  EXPECT_EQ(eight, std::vector<unsigned>({0, 2, 4, 6, 7, 5, 3, 1})) << "out on the even places, back on the odd";
  EXPECT_EQ(g.cablering(2, 1, 3), 1u);
  unsigned a = 0, b = 0;
  g.pair(7, 2, 4, 100, &a, &b);  // last element of the second ring closes back to its first
  EXPECT_EQ(a, 103u);
  EXPECT_EQ(b, 101u);
  EXPECT_NE(errorOf([&] { g.cablering(1, 1, 0); }), "");
}

TEST(GeometryBuild, CablingOfTwoByThreeByTwo) {
  Geometry g;
  g.build(1, "2x3x2");
  const auto table = rows(g);
  ASSERT_EQ(table.size(), 13u);
  EXPECT_EQ(table[0], Geometry::Row({"Cable", "From", "To", "Length", "From", "To", "Length", "From", "To", "Length"}));
  EXPECT_EQ(cables(table, 0), std::vector<std::string>({"1->2", "2->1", "3->4", "4->3", "5->6", "6->5", "7->8", "8->7",
                                                        "9->10", "10->9", "11->12", "12->11"}));
  EXPECT_EQ(cables(table, 1), std::vector<std::string>({"1->5", "5->3", "3->1", "2->6", "6->4", "4->2", "7->11", "11->9",
                                                        "9->7", "8->12", "12->10", "10->8"}));
  EXPECT_EQ(cables(table, 2), std::vector<std::string>({"1->7", "7->1", "2->8", "8->2", "3->9", "9->3", "4->10", "10->4",
                                                        "5->11", "11->5", "6->12", "12->6"}));
  EXPECT_EQ(table[1], Geometry::Row({"1", "XA01", "XB02", "25cm", "YA01", "YB05", "35cm", "ZA01", "ZB07", "45cm"}));
  EXPECT_EQ(table[12][0], "12");
  EXPECT_EQ(g.dimensions(), (std::array<unsigned, 3>{2, 3, 2}));
}

TEST(GeometryBuild, RingOfEightAtTwoUnitsAndThreeDigitLabels) {
  Geometry g;
  g.build(2, "8");
  const auto table = rows(g);
  ASSERT_EQ(table.size(), 9u);
  EXPECT_EQ(table[0], Geometry::Row({"Cable", "From", "To", "Length"}));
  EXPECT_EQ(cables(table, 0),
            std::vector<std::string>({"1->3", "3->5", "5->7", "7->8", "8->6", "6->4", "4->2", "2->1"}));
  EXPECT_EQ(table[1], Geometry::Row({"1", "XA01", "XB03", "35cm"}));
  EXPECT_EQ(table[4], Geometry::Row({"4", "XA07", "XB08", "25cm"}));
  EXPECT_EQ(g.dimensions(), (std::array<unsigned, 3>{8, 0, 0}));
  g.build(1, "8x8x2");
  EXPECT_EQ(rows(g).back(), Geometry::Row({"128", "XA122", "XB121", "25cm", "YA80", "YB72", "60cm", "ZA128", "ZB64",
                                           "75cm"})) << "three-digit labels";
}

TEST(GeometryBuild, BadInputChangesNothing) {
  Geometry g;
  g.build(1, "2x4");
  const auto before = rows(g);
  EXPECT_TRUE(endsWith(errorOf([&] { g.build(1, "1x2x3x4"); }), "] geometry specification too long"));
  EXPECT_TRUE(endsWith(errorOf([&] { g.build(0, "2x2"); }), "] invalid node depth"));
  EXPECT_TRUE(endsWith(errorOf([&] { g.build(0, 2, 2, 0); }), "] invalid node depth"));
  EXPECT_EQ(errorOf([&] { g.build(1, "x"); }).rfind("[modules/geometry:", 0), 0u);
  // Lenient conversions would read "-1" as a ring of four billion servers.
  for (const char* bad : {"", "4x", "x4", "2xx2", "-1", "+2", " 2", "2 ", "2X2", "0", "0x2", "2x0x2", "9", "4x9",
                          "99999999999", "4294967298"}) {
    EXPECT_NE(errorOf([&] { g.build(1, bad); }), "") << bad;
  }
  EXPECT_TRUE(endsWith(errorOf([&] { g.build(1, "0000000002"); }), "] invalid ring size '0000000002'"));
  EXPECT_TRUE(endsWith(errorOf([&] { g.build(1, 0, 0, 0); }), "sizes 0x0x0: the first ring needs at least one server"));
  EXPECT_TRUE(endsWith(errorOf([&] { g.build(1, 2, 0, 3); }), "sizes 2x0x3: a third ring needs a second one"));
  EXPECT_TRUE(endsWith(errorOf([&] { g.build(1, "4x9"); }), "sizes 4x9x0: a ring has at most 8 servers"));
  EXPECT_EQ(rows(g), before);
  EXPECT_EQ(g.dimensions(), (std::array<unsigned, 3>{2, 4, 0}));
}

const std::string example =
    "{\"fabric\": {\n"
    "\t\"x-size\": 2,\n"
    "\t\"y-size\": 2,\n"
    "\t\"z-size\": 0,\n"
    "\t\"nodes\": [\n"
    "\t\t{\"desc\": \"node-a\", \"sciid\": \"0x000\", \"partition\": 0, \"osc\": 0, \"sync-only\": 0},\n"
    "\t\t{\"desc\": \"node-b\", \"sciid\": \"0x001\", \"partition\": 0, \"osc\": 1, \"sync-only\": 0},\n"
    "\t\t{\"desc\": \"node-c\", \"sciid\": \"0x010\", \"partition\": 1, \"osc\": 1, \"sync-only\": 0},\n"
    "\t\t{\"desc\": \"node-d\", \"sciid\": \"0x011\", \"partition\": 2, \"osc\": 2, \"sync-only\": 1},\n"
    "\t],\n"
    "\t\"partitions\": [\n"
    "\t\t{\"master\": \"0x000\", \"builder\": \"0x000\"},\n"
    "\t\t{\"master\": \"0x010\", \"builder\": \"0x000\"},\n"
    "\t\t{\"master\": \"0xfff\", \"builder\": \"0x000\"},\n"
    "\t]\n"
    "}}\n";

const Records exampleRecords = {{"node-a", 0}, {"node-b", 0}, {"node-c", 1}, {"node-d", -1}};

std::string partitionsOf(const std::string& t) { return t.substr(t.find("\"partitions\"")); }

TEST(GeometryFabric, ExampleByteExactSyncOnlyAndMasters) {
  Geometry g;
  g.build(1, "2x2");
  EXPECT_EQ(text(g, exampleRecords), example);
  EXPECT_EQ(g.fabricReport(exampleRecords),
            "----------------------------\nFabric file (fabric.json)\n----------------------------\n" + example);
  const std::string empty = text(g, {});
  EXPECT_NE(empty.find("\"nodes\": [\n\t],\n"), std::string::npos) << empty;
  EXPECT_EQ(partitionsOf(empty), "\"partitions\": [\n\t\t{\"master\": \"0xfff\", \"builder\": \"0x000\"},\n\t]\n}}\n");

  const std::string none = text(g, {{"a", -1}, {"b", -1}, {"c", -1}});
  EXPECT_NE(none.find("\"desc\": \"c\", \"sciid\": \"0x010\", \"partition\": 1, \"osc\": 1, \"sync-only\": 1},"),
            std::string::npos) << none;
  EXPECT_EQ(none.find("\"sync-only\": 0"), std::string::npos);
  EXPECT_EQ(partitionsOf(none), "\"partitions\": [\n\t\t{\"master\": \"0xfff\", \"builder\": \"0x000\"},\n"
                                "\t\t{\"master\": \"0xfff\", \"builder\": \"0x000\"},\n\t]\n}}\n");

  const std::string gap = text(g, {{"a", 2}, {"b", 0}, {"c", 0}});
  EXPECT_EQ(partitionsOf(gap), "\"partitions\": [\n\t\t{\"master\": \"0x001\", \"builder\": \"0x000\"},\n"
                               "\t\t{\"master\": \"0xfff\", \"builder\": \"0x000\"},\n"
                               "\t\t{\"master\": \"0x000\", \"builder\": \"0x000\"},\n\t]\n}}\n");
}

TEST(GeometryFabric, CapacityCoordinatesAndOsc) {
  Geometry g;
  g.build(1, "2x2");
  Records many;
  for (int i = 0; i < 6; ++i) many.push_back({"n" + std::to_string(i), 0});
  const std::string capped = text(g, many);
  EXPECT_NE(capped.find("\"n3\""), std::string::npos);
  EXPECT_EQ(capped.find("\"n4\""), std::string::npos);

  g.build(1, "8");
  const auto eight = g.fabricNodes(Records(8, {"", 0}));
  std::vector<std::string> ids;
  std::vector<int> osc;
  for (const auto& n : eight) ids.push_back(n.sciid), osc.push_back(n.osc);
  EXPECT_EQ(ids, std::vector<std::string>({"0x000", "0x007", "0x001", "0x006", "0x002", "0x005", "0x003", "0x004"}));
  EXPECT_EQ(osc, std::vector<int>({0, 1, 1, 0, 0, 1, 1, 0}));
  EXPECT_NE(text(g, {}).find("\t\"y-size\": 0,\n\t\"z-size\": 0,\n"), std::string::npos);

  g.build(1, "3");
  const auto three = g.fabricNodes(Records(3, {"", 0}));
  EXPECT_EQ(std::vector<int>({three[0].osc, three[1].osc, three[2].osc}), std::vector<int>({0, 2, 1}));

  // Odd rings in every dimension: each closes its ring with its own value.
  g.build(1, "3x3x3");
  const auto cube = g.fabricNodes(Records(27, {"", 0}));
  const std::map<std::size_t, std::pair<std::string, int>> expected = {
      {1, {"0x002", 2}}, {3, {"0x020", 2}}, {6, {"0x010", 1}}, {9, {"0x200", 1}}, {18, {"0x100", 2}}, {26, {"0x111", 1}}};
  for (const auto& [index, node] : expected) {
    EXPECT_EQ(cube[index].sciid, node.first) << index;
    EXPECT_EQ(cube[index].osc, node.second) << index;
  }
}

// Lengths by distance in server numbers, per height; 75 cm otherwise.
int tableLength(unsigned height, unsigned d) {
  static const std::map<unsigned, std::map<unsigned, int>> table = {
      {1, {{1, 25}, {2, 25}, {3, 35}, {4, 35}, {6, 45}, {8, 60}, {9, 60}}},
      {2, {{0, 25}, {1, 25}, {2, 35}, {3, 45}, {4, 60}}},
      {4, {{0, 25}, {1, 35}, {2, 60}}}};
  const auto& lengths = table.at(height);
  const auto found = lengths.find(d);
  return found == lengths.end() ? 75 : found->second;
}

// Every cable must join ring neighbours of its own dimension: their fabric
// addresses differ by one step in that coordinate only, so the cabling list
// and the fabric file describe the same torus.
void checkGeometry(Geometry& g, const Geometry::Config& c, unsigned height) {
  const std::string name = c.str().first + " at " + std::to_string(height) + "U";
  g.build(height, c.str().first);
  const std::array<unsigned, 3> sizes{c.x, c.y > 1 ? c.y : 0, c.z > 1 ? c.z : 0};
  ASSERT_EQ(g.dimensions(), sizes) << name;
  const auto table = rows(g);
  ASSERT_EQ(table.size(), c.n + 1) << name;
  const auto nodes = g.fabricNodes(Records(c.n, {"", 0}));
  ASSERT_EQ(nodes.size(), c.n);
  std::size_t dimension = 0;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (sizes[axis] == 0) continue;
    const std::size_t digit = 4 - axis;  // sciid "0x" + z y x
    std::vector<int> from(c.n + 1), to(c.n + 1);
    for (std::size_t r = 1; r < table.size(); ++r) {
      const unsigned a = std::stoul(table[r].at(1 + 3 * dimension).substr(2));
      const unsigned b = std::stoul(table[r].at(2 + 3 * dimension).substr(2));
      ASSERT_TRUE(a >= 1 && a <= c.n && b >= 1 && b <= c.n) << name;
      ++from[a], ++to[b];
      const unsigned d = a > b ? a - b : b - a;
      EXPECT_EQ(table[r].at(3 + 3 * dimension), std::to_string(tableLength(height, d)) + "cm") << name;
      EXPECT_NE(nodes[a - 1].osc, nodes[b - 1].osc) << name << " cable " << r;
      const std::string& sa = nodes[a - 1].sciid;
      const std::string& sb = nodes[b - 1].sciid;
      for (std::size_t other = 2; other < 5; ++other) {
        if (other == digit) continue;
        EXPECT_EQ(sa[other], sb[other]) << name << " cable " << r;
      }
      const unsigned step = (sb[digit] - sa[digit] + sizes[axis]) % sizes[axis];
      EXPECT_TRUE(step == 1 || step + 1 == sizes[axis]) << name << " cable " << r << " " << sa << " " << sb;
    }
    for (unsigned s = 1; s <= c.n; ++s) {
      EXPECT_EQ(from[s], 1) << name << " server " << s;
      EXPECT_EQ(to[s], 1) << name << " server " << s;
    }
    ++dimension;
  }
}

TEST(GeometryProperty, EveryGeometryIsATorusOfDistinctNeighbours) {
  Geometry g;
  g.configurations(512);
  std::vector<Geometry::Config> all;
  {
    const Geometry::Lock guard = g.lock();
    all.assign(g.configs_begin(), g.configs_end());
  }
  for (const Geometry::Config& c : all)
    for (const unsigned height : {1u, 2u, 4u}) checkGeometry(g, c, height);
}

TEST(GeometryConcurrency, LockedSequencesSeeTheirOwnBuild) {
  Geometry g;
  // Geometry text, header width of its cabling list, best candidate for t + 2 servers.
  const std::vector<std::tuple<std::string, std::size_t, std::string>> shapes = {
      {"2x4x2", 10, "2"}, {"4x4", 7, "3"}, {"8", 4, "2x2"}, {"3x5", 7, "5"}};
  std::vector<std::thread> threads;
  std::vector<int> mismatches(shapes.size(), 0);
  for (std::size_t t = 0; t < shapes.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        const Geometry::Lock guard = g.lock();
        g.build(1 + round % 2, std::get<0>(shapes[t]));
        g.configurations(static_cast<unsigned>(t + 2));
        const std::size_t header = g.wiring_begin()->size();
        const std::string best = g.configs_begin()->str().first;
        if (header != std::get<1>(shapes[t]) || best != std::get<2>(shapes[t])) ++mismatches[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(shapes.size(), 0));
}

class FabricFile : public ::testing::Test {
 protected:
  trl::test::ScratchRoot root;
  std::string dir = root.mkdir("/var/lib/tftpboot/trellium/qv-config");
  std::string target = dir + "/fabric.json";
  Geometry g;

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
    return names;
  }
};

TEST_F(FabricFile, ReplacedWholeReadableByTftpAndAPlantedLinkIsReplacedNotFollowed) {
  g.build(1, "2x2");
  const std::string victim = root.mkdir("/etc") + "/shadow";
  trl::test::writeFile(victim, "secret and much longer than the new file will be..............................");
  ASSERT_EQ(symlink(victim.c_str(), target.c_str()), 0);
  g.writeFabric(exampleRecords);
  EXPECT_EQ(trl::test::readFile(victim), "secret and much longer than the new file will be..............................");
  EXPECT_EQ(trl::test::readFile(target), example);
  struct stat st;
  ASSERT_EQ(lstat(target.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(entries(), std::vector<std::string>({"fabric.json"})) << "no staging file left";
}

TEST_F(FabricFile, FailuresLeaveNoStagingFile) {
  EXPECT_TRUE(endsWith(errorOf([&] { g.writeFabric(exampleRecords); }), "] fabric geometry not built"));
  g.build(1, "2x2");
  ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
  trl::test::writeFile(target + "/keep", "x");
  std::string error = errorOf<_SysError>([&] { g.writeFabric(exampleRecords); });
  EXPECT_NE(error.find("] rename failed with '"), std::string::npos) << error;
  EXPECT_EQ(entries(), std::vector<std::string>({"fabric.json"}));
  EXPECT_EQ(trl::test::readFile(target + "/keep"), "x");

  std::filesystem::remove_all(dir);
  error = errorOf<_SysError>([&] { g.writeFabric(exampleRecords); });
  EXPECT_NE(error.find("] constructing output stream on " + dir + "/.fabric.json.XXXXXX failed with '"),
            std::string::npos) << error;
}

}  // namespace
