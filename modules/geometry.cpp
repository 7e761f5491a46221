#include "modules/geometry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "modules/base.h"
#include "modules/error.h"
#include "modules/files.h"
#include "modules/nodes.h"
#include "modules/paths.h"

const char* const Geometry::fabric_json = "/var/lib/tftpboot/trellium/qv-config/fabric.json";

namespace {

// The fabric address holds one digit per ring coordinate, and the candidates
// offered never exceed this size; larger rings would give ambiguous
// addresses (and, for absurd sizes, cabling lists beyond any memory).
const unsigned max_ring = 8;

const char* const divider = "----------------------------\n";

// The first half of a ring runs outward over the even positions and the
// second half comes back over the odd ones, so no cable spans more than two
// places. 2e < size is the integer form of e < (size - 0.5) / 2.
unsigned foldedPosition(unsigned e, unsigned size) { return 2 * e < size ? 2 * e : 2 * (size - e) - 1; }

void requireRing(unsigned size) {
  if (size == 0) throw TRL_ERROR("invalid ring size '0'");
}

// Strictly decimal: no sign, no blanks, no leading zero, nothing a lenient
// conversion would quietly wrap (a "-1" must not become a ring of four
// billion servers, nor "0000000002" pass for a ring of two).
unsigned parseSize(const std::string& part) {
  if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string::npos ||
      (part.size() > 1 && part[0] == '0'))
    throw TRL_ERROR("invalid ring size '" + part + "'");
  return static_cast<unsigned>(std::stoul(part));
}

// Adjacent separators give empty parts, which then fail as numbers.
std::vector<std::string> splitAtX(const std::string& text) {
  std::vector<std::string> parts(1);
  for (const char c : text) {
    if (c == 'x')
      parts.emplace_back();
    else
      parts.back() += c;
  }
  return parts;
}

// A Z ring without a Y ring has no place in the numbering of servers, and a
// missing X ring would divide by zero.
void requireSizes(unsigned x, unsigned y, unsigned z) {
  std::string why;
  if (x == 0)
    why = "the first ring needs at least one server";
  else if (x > max_ring || y > max_ring || z > max_ring)
    why = "a ring has at most " + to_string(max_ring) + " servers";
  else if (y == 0 && z != 0)
    why = "a third ring needs a second one";
  if (!why.empty())
    throw TRL_ERROR("invalid ring sizes " + to_string(x) + "x" + to_string(y) + "x" + to_string(z) + ": " + why);
}

std::string portLabel(const std::string& prefix, char end, unsigned server) {
  std::string number = to_string(server);
  if (number.size() < 2) number.insert(0, 2 - number.size(), '0');
  return prefix + end + number;
}

// Centimetres for two servers d places apart, each height rack units tall.
int cableLength(unsigned height, long long d) {
  const long long h = height;
  if (d == 1 / h || d == 2 / h) return 25;
  if (d == 3 / h || d == 4 / h) return 35;
  if (d == 6 / h) return 45;
  if (d == 8 / h || d == 9 / h) return 60;
  return 75;
}

Geometry::Row headerRow(unsigned x, unsigned y, unsigned z) {
  Geometry::Row row{"Cable"};
  for (const unsigned size : {x, y, z})
    if (size != 0) row.insert(row.end(), {"From", "To", "Length"});
  return row;
}

}  // namespace

Geometry::Config::Config(unsigned a, unsigned b, unsigned c) {
  std::array<unsigned, 3> s{a, b, c};
  std::sort(s.begin(), s.end());
  // The middle size first, the largest second: the usual way of naming a
  // torus; a one-dimensional geometry is (size, 1, 1).
  x = s[1];
  y = s[2];
  z = s[0];
  if (x == 1) std::swap(x, y);
  d = (x > 1) + (y > 1) + (z > 1);
  n = x * y * z;
  g = x * x + y * y + z * z;
}

bool Geometry::Config::operator<(const Config& other) const {
  if (n != other.n) return n > other.n;
  if (g != other.g) return g < other.g;
  return d > other.d;
}

bool Geometry::Config::operator==(const Config& other) const {
  return x == other.x && y == other.y && z == other.z;
}

std::pair<std::string, std::string> Geometry::Config::str() const {
  std::string text = to_string(x);
  if (y > 1) text += "x" + to_string(y);
  if (z > 1) text += "x" + to_string(z);
  return {text, "(" + to_string(n) + " nodes)"};
}

Geometry::Geometry() : x_dim(0), y_dim(0), z_dim(0) {}

Geometry::Lock Geometry::lock() const { return Lock(mutex_); }

void Geometry::configurations(unsigned n) {
  std::vector<Config> found;
  for (unsigned i = max_ring; i >= 2; --i)
    for (unsigned j = i; j >= 1; --j)
      for (unsigned k = j; k >= 1; --k)
        if (i * j * k <= n) found.emplace_back(i, j, k);
  std::sort(found.begin(), found.end());
  const Lock guard(mutex_);
  configs.swap(found);
}

Geometry::config_iterator Geometry::configs_begin() const {
  const Lock guard(mutex_);
  return configs.begin();
}

Geometry::config_iterator Geometry::configs_end() const {
  const Lock guard(mutex_);
  return configs.end();
}

void Geometry::build(unsigned height, const std::string& text) {
  const std::vector<std::string> parts = splitAtX(text);
  if (parts.size() > 3) throw TRL_ERROR("geometry specification too long");
  std::array<unsigned, 3> sizes{0, 0, 0};
  for (std::size_t i = 0; i < parts.size(); ++i) sizes[i] = parseSize(parts[i]);
  build(height, sizes[0], sizes[1], sizes[2]);
}

void Geometry::build(unsigned height, unsigned x, unsigned y, unsigned z) {
  if (height == 0) throw TRL_ERROR("invalid node depth");
  requireSizes(x, y, z);
  std::vector<Row> rows{headerRow(x, y, z)};
  const unsigned servers = x * std::max(y, 1u) * std::max(z, 1u);
  for (unsigned r = 0; r < servers; ++r) {
    Row row{to_string(r + 1)};
    unsigned a = 0;
    unsigned b = 0;
    pair(r, 1, x, x, &a, &b);
    cable(row, "X", height, a, b);
    if (y != 0) {
      // Each Y ring lies within one Z layer, its servers x apart.
      const unsigned ring = r / y;
      const unsigned first = ring % x + x * y * (ring / x) + 1;
      cable(row, "Y", height, first + cablering(r, x, y), first + cablering(r + 1, x, y));
    }
    if (z != 0) {
      pair(r, x * y, z, 1, &a, &b);
      cable(row, "Z", height, a, b);
    }
    rows.push_back(std::move(row));
  }
  const Lock guard(mutex_);
  x_dim = x;
  y_dim = y;
  z_dim = z;
  wiring.swap(rows);
}

Geometry::wiring_iterator Geometry::wiring_begin() const {
  const Lock guard(mutex_);
  return wiring.begin();
}

Geometry::wiring_iterator Geometry::wiring_end() const {
  const Lock guard(mutex_);
  return wiring.end();
}

std::array<unsigned, 3> Geometry::dimensions() const {
  const Lock guard(mutex_);
  return {x_dim, y_dim, z_dim};
}

unsigned Geometry::cablering(unsigned i, unsigned stride, unsigned size) const {
  requireRing(size);
  return stride * foldedPosition(i % size, size);
}

unsigned Geometry::jsonring(unsigned i, unsigned stride, unsigned size) const {
  requireRing(size);
  const unsigned p = i % size;
  return stride * (p % 2 == 0 ? p / 2 : (size - p) + (p - 1) / 2);
}

void Geometry::pair(unsigned i, unsigned stride, unsigned size, unsigned block, unsigned* a, unsigned* b) const {
  if (a == nullptr) throw TRL_ERROR("a is NULL");
  if (b == nullptr) throw TRL_ERROR("b is NULL");
  requireRing(size);
  const unsigned base = (i / size) * block + 1;
  *a = base + cablering(i, stride, size);
  *b = base + cablering(i + 1, stride, size);
}

void Geometry::cable(Row& row, const std::string& prefix, unsigned height, unsigned a, unsigned b) {
  if (height == 0) throw TRL_ERROR("invalid node depth");
  const long long d = a > b ? static_cast<long long>(a) - b : static_cast<long long>(b) - a;
  row.push_back(portLabel(prefix, 'A', a));
  row.push_back(portLabel(prefix, 'B', b));
  row.push_back(to_string(cableLength(height, d)) + "cm");
}

std::vector<FabricNode> Geometry::fabricNodes(const std::vector<FabricRecord>& records) const {
  const Lock guard(mutex_);
  const unsigned xs = std::max(x_dim, 1u);
  const unsigned ys = std::max(y_dim, 1u);
  const unsigned zs = std::max(z_dim, 1u);
  // Each ring's own numbers step by 1 or 2 (never 0 modulo 3) between ring
  // neighbours, odd rings closing with a 2; summing them keeps that true
  // across all dimensions at once.
  std::vector<int> yosc(ys, 0);
  for (unsigned j = 0; j < y_dim; ++j) {
    const unsigned p = jsonring(j, 1, ys);
    yosc[j] = p % 2 == 1 ? 1 : (p == y_dim - 1 ? 2 : 0);
  }
  std::vector<int> zosc(zs, 0);
  for (unsigned k = 0; k < z_dim; ++k) {
    const unsigned p = jsonring(k, 1, zs);
    if (z_dim % 2 == 1)
      zosc[k] = p % 2 == 1 ? 2 : (p == z_dim - 1 ? 1 : 0);
    else
      zosc[k] = p % 2 == 1 ? 1 : 0;
  }
  const std::size_t count = std::min<std::size_t>(records.size(), std::size_t{xs} * ys * zs);
  std::vector<FabricNode> nodes;
  nodes.reserve(count);
  for (std::size_t index = 0; index < count; ++index) {
    const unsigned i = index % xs;
    const unsigned j = (index / xs) % ys;
    const unsigned k = index / (std::size_t{xs} * ys);
    const unsigned xc = jsonring(i, 1, xs);
    const unsigned yc = jsonring(j, 1, ys);
    const unsigned zc = jsonring(k, 1, zs);
    const int xosc = xc % 2 == 1 ? 1 : (x_dim != 0 && xc == x_dim - 1 ? 2 : 0);
    int osc = xosc;
    if (y_dim != 0) osc = (xosc + yosc[j] + (z_dim != 0 ? zosc[k] : 0)) % 3;
    nodes.push_back({records[index].desc, "0x" + to_string(zc) + to_string(yc) + to_string(xc),
                     records[index].partition, osc});
  }
  return nodes;
}

void Geometry::fabricText(std::ostream& out, const std::vector<FabricRecord>& records) const {
  const Lock guard(mutex_);
  std::vector<FabricNode> nodes = fabricNodes(records);
  int maxPart = 1;
  for (const FabricNode& node : nodes)
    if (node.partition >= maxPart) maxPart = node.partition + 1;

  out << "{\"fabric\": {\n"
      << "\t\"x-size\": " << x_dim << ",\n"
      << "\t\"y-size\": " << y_dim << ",\n"
      << "\t\"z-size\": " << z_dim << ",\n"
      << "\t\"nodes\": [\n";
  // Servers in no partition form one more, sync-only partition without a
  // master; the first server of every other partition is its master.
  bool unassigned = false;
  std::map<int, std::string> masters;
  for (FabricNode& node : nodes) {
    if (node.partition == -1) {
      node.partition = maxPart;
      unassigned = true;
    }
    if (node.partition != maxPart) masters.emplace(node.partition, node.sciid);
    out << "\t\t{\"desc\": \"" << node.desc << "\", \"sciid\": \"" << node.sciid
        << "\", \"partition\": " << node.partition << ", \"osc\": " << node.osc
        << ", \"sync-only\": " << (node.partition == maxPart ? 1 : 0) << "},\n";
  }
  out << "\t],\n"
      << "\t\"partitions\": [\n";
  for (int p = 0; p < maxPart; ++p) {
    const auto master = masters.find(p);
    out << "\t\t{\"master\": \"" << (master != masters.end() ? master->second : "0xfff")
        << "\", \"builder\": \"0x000\"},\n";
  }
  if (unassigned) out << "\t\t{\"master\": \"0xfff\", \"builder\": \"0x000\"},\n";
  out << "\t]\n"
      << "}}\n";
}

std::string Geometry::fabricReport(const std::vector<FabricRecord>& records) const {
  std::ostringstream out;
  out << divider << "Fabric file (fabric.json)\n" << divider;
  fabricText(out, records);
  return out.str();
}

void Geometry::writeFabric(const std::vector<FabricRecord>& records) const {
  const Lock guard(mutex_);
  // Without a build the file would tell every adapter it is alone.
  if (x_dim == 0) throw TRL_ERROR("fabric geometry not built");
  std::ostringstream text;
  fabricText(text, records);
  trl::replaceFile(trl::sysPath(fabric_json), text.str());
}

std::vector<Geometry::FabricRecord> Geometry::fabricRecords(Nodes& nodes) {
  std::vector<FabricRecord> records;
  const Nodes::SharedAccess table(nodes);
  records.reserve(static_cast<std::size_t>(table.end() - table.begin()));
  for (const Nodes::Node* node = table.begin(); node != table.end(); ++node)
    records.push_back({node->eth0.name(), node->partition});
  return records;
}

void Geometry::buildFabric(Nodes& nodes) const {
  const Lock guard(mutex_);
  writeFabric(fabricRecords(nodes));
}

void Geometry::choose(const std::string& text) {
  const Lock guard(mutex_);
  chosen_ = text;
}

std::string Geometry::chosen() const {
  const Lock guard(mutex_);
  return chosen_;
}

std::string Geometry::toString(Nodes& nodes) const {
  const Lock guard(mutex_);
  return fabricReport(fabricRecords(nodes));
}
