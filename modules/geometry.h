// Fabric geometry: which ring sizes the servers can form, how they are
// cabled, and which ring coordinates each server gets in the fabric
// description file that the fabric adapters fetch over TFTP.
#pragma once

#include <array>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

class Nodes;

// One server's line in the fabric description file.
struct FabricNode {
  std::string desc;   // eth0 host name
  std::string sciid;  // "0x" + Z, Y and X ring coordinates
  int partition;      // -1 in the node record: no partition
  int osc;            // 0, 1 or 2; ring neighbours never share a value
};

// One browser window may build while another reads, so every operation on
// the built state takes the instance's lock. A caller that combines calls
// (configurations, then iterating; build, then writing the fabric file and
// reading the cabling list) holds lock() across them: iterators are valid
// only while it is held. Lock order: this lock before the node table's.
class Geometry {
 public:
  // One candidate geometry, normalised so that equal shapes compare equal.
  struct Config {
    unsigned x;  // ring size of dimension X
    unsigned y;  // ring size of dimension Y; 1 when one-dimensional
    unsigned z;  // ring size of dimension Z; 1 when fewer than three dimensions
    unsigned d;  // number of sizes above 1
    unsigned n;  // servers, x * y * z
    unsigned g;  // x² + y² + z²: smaller is closer to a cube

    Config(unsigned a, unsigned b, unsigned c);
    // More servers first, then closer to a cube, then more dimensions.
    bool operator<(const Config& other) const;
    bool operator==(const Config& other) const;
    // The geometry text ("2x4x2", parsed back by build) and "(16 nodes)".
    std::pair<std::string, std::string> str() const;
  };

  // What the fabric description needs of one node record.
  struct FabricRecord {
    std::string desc;  // eth0 host name
    int partition;     // -1: no partition
  };

  typedef std::vector<std::string> Row;
  typedef std::vector<Config>::const_iterator config_iterator;
  typedef std::vector<Row>::const_iterator wiring_iterator;
  typedef std::unique_lock<std::recursive_mutex> Lock;

  static const char* const fabric_json;

  Geometry();
  Geometry(const Geometry&) = delete;
  Geometry& operator=(const Geometry&) = delete;

  Lock lock() const;

  // Replaces the candidates with every geometry of at most n servers, best first.
  void configurations(unsigned n);
  config_iterator configs_begin() const;
  config_iterator configs_end() const;

  // Parses a geometry text such as "2x4x2", then builds it.
  void build(unsigned height, const std::string& text);
  // Ring sizes of 0 mean the dimension is absent; height is in rack units.
  void build(unsigned height, unsigned x, unsigned y, unsigned z);
  wiring_iterator wiring_begin() const;
  wiring_iterator wiring_end() const;
  // x_dim, y_dim, z_dim of the last build; all 0 before the first.
  std::array<unsigned, 3> dimensions() const;

  // Placement offset of ring element i in a folded ring.
  unsigned cablering(unsigned i, unsigned stride, unsigned size) const;
  // Ring element at position i: the inverse of cablering.
  unsigned jsonring(unsigned i, unsigned stride, unsigned size) const;
  // The two servers (numbered from 1) joined by cable i of a family of rings.
  void pair(unsigned i, unsigned stride, unsigned size, unsigned block, unsigned* a, unsigned* b) const;
  // Appends a cable's two port labels and its length to a cabling-list row.
  static void cable(Row& row, const std::string& prefix, unsigned height, unsigned a, unsigned b);

  // The servers' fabric entries for the last build, in node-table order;
  // records beyond the geometry's capacity are left out.
  std::vector<FabricNode> fabricNodes(const std::vector<FabricRecord>& records) const;
  // The fabric description text for the last build.
  void fabricText(std::ostream& out, const std::vector<FabricRecord>& records) const;
  // The status report's fabric section.
  std::string fabricReport(const std::vector<FabricRecord>& records) const;
  // Replaces the fabric description file for the last build.
  void writeFabric(const std::vector<FabricRecord>& records) const;

  // The same three from the current node table. The table's shared lock is
  // held only while the records are copied, never while text is produced or
  // the file written, so a slow disk cannot hold up the table's writers.
  void buildFabric(Nodes& nodes) const;
  template <typename Stream>
  void buildFabric(Nodes& nodes, Stream& out) const;
  std::string toString(Nodes& nodes) const;

  // The geometry text the web interface last applied, "" before the first.
  // The fabric file is one for the whole cluster, so every browser window
  // re-selects this one rather than a choice of its own: a window that opens
  // or refreshes never undoes what another window chose.
  void choose(const std::string& text);
  std::string chosen() const;

 private:
  // {eth0 host name, partition} of every record, in table order.
  static std::vector<FabricRecord> fabricRecords(Nodes& nodes);

  mutable std::recursive_mutex mutex_;
  // guarded by mutex_
  std::vector<Config> configs;
  std::vector<Row> wiring;
  unsigned x_dim;
  unsigned y_dim;
  unsigned z_dim;
  std::string chosen_;
};

// Any output stream will do (a file, a string stream); the records are read
// after the geometry lock is taken, so they meet the geometry they are laid
// out on.
template <typename Stream>
void Geometry::buildFabric(Nodes& nodes, Stream& out) const {
  const Lock guard(mutex_);
  fabricText(out, fabricRecords(nodes));
}
