#include "gui/wiring_picture.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "modules/error.h"
#include "web/text_format.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;

constexpr int slot_height = 14;    // one server in rack order
constexpr int block_height = 40;   // one collapsed layer
constexpr int block_gap = 6;
constexpr int full_servers = 64;   // drawn one by one up to this many
constexpr int max_servers = 512;   // the largest fabric, 8x8x8
constexpr int lane_pitch = 5;
constexpr int max_lanes = 24;      // more side by side become a weave nobody can follow
constexpr int port_size = 4;
constexpr int panel_top = 34;      // title and length headings above the servers
constexpr int panel_gap = 18;
constexpr int legend_line = 16;
constexpr int note_line = 12;
constexpr int min_width = 400;     // room for the legend's longest line

// Okabe-Ito colours, which colour-blind readers tell apart, and a dash
// pattern and a title on top, so that no reader depends on colour alone.
struct Style {
  char name;
  const char* colour;
  const char* dash;
  const char* line;
};
const Style styles[] = {{'X', "#0072b2", "", "solid"}, {'Y', "#d55e00", "6 3", "dashed"},
                        {'Z', "#009e73", "1.5 2.5", "dotted"}};

struct Cable {
  std::string number, from, to;  // as the list has them
  int a, b;                      // servers
  int cm;
};

struct Dimension {
  const Style* style;
  std::vector<Cable> cables;
};

// A server, or a layer of servers, in rack order.
struct Box {
  int top, height;
  std::string label, detail;
  std::string portA, portB;  // hover texts of its two ports; "" = none
  int yA() const { return top + height * 3 / 10; }
  int yB() const { return top + height * 7 / 10; }
};

// A cable, or a bundle of cables between two layers.
struct Link {
  int from, to;  // boxes
  int cm;
  int count;
  std::string title;
  int lane = 0;
};

struct Group {
  int cm, lanes, x, width;
};

struct Panel {
  const Style* style;
  int boxWidth;
  std::vector<Box> boxes;
  std::vector<Link> links;
  std::vector<std::string> note;  // under the boxes, for cables not drawn
  int noteCount = 0;
  std::vector<Group> groups;
  int width = 0, height = 0;
};

std::string str(int n) { return std::to_string(n); }

void escaped(std::string& out, const std::string& text) { web::appendEscaped(out, text); }

[[noreturn]] void malformed(std::size_t row, const std::string& why) {
  throw TRL_ERROR("cabling list row " + std::to_string(row) + ": " + why);
}

// "XA05" is port A of server 5 in dimension X.
int serverOf(const std::string& label, char prefix, char end, std::size_t row) {
  const bool readable = label.size() >= 3 && label.size() <= 6 && label[0] == prefix && label[1] == end &&
                        label.find_first_not_of("0123456789", 2) == std::string::npos;
  const int n = readable ? std::stoi(label.substr(2)) : 0;
  if (n < 1 || n > max_servers) malformed(row, "unreadable port label '" + label + "'");
  return n;
}

int centimetresOf(const std::string& text, std::size_t row) {
  const std::size_t digits = text.size() - std::min<std::size_t>(text.size(), 2);
  const bool readable = digits >= 1 && digits <= 3 && text.compare(digits, 2, "cm") == 0 &&
                        text.find_first_not_of("0123456789") == digits;
  if (!readable) malformed(row, "unreadable cable length '" + text + "'");
  return std::stoi(text.substr(0, digits));
}

std::vector<Dimension> parse(const Rows& rows, int* servers) {
  if (rows.empty()) throw TRL_ERROR("cabling list without a header row");
  const std::size_t width = rows[0].size();
  const std::size_t count = width >= 4 ? (width - 1) / 3 : 0;
  if (count < 1 || count > 3 || width != 1 + 3 * count)
    throw TRL_ERROR("cabling list header of " + std::to_string(width) + " cells");
  std::vector<Dimension> dims;
  for (std::size_t d = 0; d < count; ++d) dims.push_back({&styles[d], {}});
  *servers = 0;
  for (std::size_t r = 1; r < rows.size(); ++r) {
    const std::vector<std::string>& row = rows[r];
    if (row.size() != width) malformed(r, std::to_string(row.size()) + " cells, not " + std::to_string(width));
    for (std::size_t d = 0; d < count; ++d) {
      const char name = styles[d].name;
      Cable cable{row[0], row[1 + 3 * d], row[2 + 3 * d], 0, 0, 0};
      cable.a = serverOf(cable.from, name, 'A', r);
      cable.b = serverOf(cable.to, name, 'B', r);
      cable.cm = centimetresOf(row[3 + 3 * d], r);
      *servers = std::max({*servers, cable.a, cable.b});
      dims[d].cables.push_back(std::move(cable));
    }
  }
  return dims;
}

std::string cableTitle(const Dimension& dim, const Cable& c) {
  return "Cable " + c.number + ", " + dim.style->name + " ring: " + c.from + " to " + c.to + ", " + str(c.cm) + " cm";
}

// Every server of 1 .. shown with its ports; the cables among them drawn, the
// others counted in a note that says whether they repeat the drawn pattern.
Panel serverPanel(const Dimension& dim, int shown, int servers) {
  Panel p{dim.style, 28, {}, {}, {}, 0, {}, 0, 0};
  std::map<int, std::string> portA, portB;
  for (const Cable& c : dim.cables) {
    portA[c.a] = c.from;
    portB[c.b] = c.to;
  }
  for (int s = 1; s <= shown; ++s)
    p.boxes.push_back({panel_top + (s - 1) * slot_height, slot_height, str(s), "", portA[s], portB[s]});
  std::set<std::tuple<int, int, int>> drawn;
  std::vector<const Cable*> rest;
  for (const Cable& c : dim.cables) {
    if (c.a <= shown && c.b <= shown) {
      p.links.push_back({c.a - 1, c.b - 1, c.cm, 1, cableTitle(dim, c)});
      drawn.emplace(c.a, c.b, c.cm);
    } else {
      rest.push_back(&c);
    }
  }
  if (rest.empty()) return p;
  const bool repeats = std::all_of(rest.begin(), rest.end(), [&](const Cable* c) {
    const int shift = (c->a - 1) / shown * shown;
    return (c->b - 1) / shown * shown == shift && drawn.count({c->a - shift, c->b - shift, c->cm}) > 0;
  });
  p.noteCount = static_cast<int>(rest.size());
  p.note.push_back("+" + str(p.noteCount) + " " + dim.style->name + " cables, not drawn:");
  if (repeats) {
    p.note.push_back("servers " + str(shown + 1) + "\u2013" + str(servers) + " are cabled");
    p.note.push_back("like 1\u2013" + str(shown) + ", layer by layer");
  } else {
    p.note.push_back("see the list below");
  }
  return p;
}

// Whole layers of `layer` servers as boxes, and the cables between two layers
// as one bundle with its count.
Panel layerPanel(const Dimension& dim, int layer, int servers) {
  Panel p{dim.style, 64, {}, {}, {}, 0, {}, 0, 0};
  const int layers = (servers + layer - 1) / layer;
  // The first and last port label of each end within each layer.
  std::vector<std::pair<std::string, std::string>> rangeA(layers), rangeB(layers);
  const auto widen = [](std::pair<std::string, std::string>& range, const std::string& label) {
    if (range.first.empty()) range.first = label;
    range.second = label;
  };
  std::vector<const Cable*> byA;
  for (const Cable& c : dim.cables) byA.push_back(&c);
  std::vector<const Cable*> byB = byA;
  std::sort(byA.begin(), byA.end(), [](const Cable* l, const Cable* r) { return l->a < r->a; });
  std::sort(byB.begin(), byB.end(), [](const Cable* l, const Cable* r) { return l->b < r->b; });
  for (const Cable* c : byA) widen(rangeA[(c->a - 1) / layer], c->from);
  for (const Cable* c : byB) widen(rangeB[(c->b - 1) / layer], c->to);
  for (int k = 0; k < layers; ++k) {
    const int first = k * layer + 1, last = std::min(servers, (k + 1) * layer);
    const std::string servers_text = str(first) + "\u2013" + str(last);
    const auto ports = [&](const std::pair<std::string, std::string>& range) {
      if (range.first.empty()) return std::string();
      return "Servers " + servers_text + ": ports " + range.first + "\u2013" + range.second;
    };
    p.boxes.push_back({panel_top + k * (block_height + block_gap), block_height, servers_text, "layer " + str(k + 1),
                       ports(rangeA[k]), ports(rangeB[k])});
  }
  std::map<std::tuple<int, int, int>, std::size_t> bundles;
  std::vector<std::pair<const Cable*, const Cable*>> span;  // first and last cable of each bundle
  for (const Cable& c : dim.cables) {
    const std::tuple<int, int, int> key{(c.a - 1) / layer, (c.b - 1) / layer, c.cm};
    const auto found = bundles.find(key);
    if (found == bundles.end()) {
      bundles.emplace(key, p.links.size());
      p.links.push_back({std::get<0>(key), std::get<1>(key), c.cm, 1, ""});
      span.emplace_back(&c, &c);
    } else {
      ++p.links[found->second].count;
      span[found->second].second = &c;
    }
  }
  for (std::size_t i = 0; i < p.links.size(); ++i) {
    Link& l = p.links[i];
    const Cable& first = *span[i].first;
    const Cable& last = *span[i].second;
    l.title = str(l.count) + " " + dim.style->name + " cables of " + str(l.cm) + " cm, layer " + str(l.from + 1) +
              " to layer " + str(l.to + 1) + ": " + first.from + " to " + first.to + " (cable " + first.number + ")";
    if (l.count > 1) l.title += " \u2026 " + last.from + " to " + last.to + " (cable " + last.number + ")";
  }
  p.note = {"A bundle joins each server", "of one layer to the server in", "the same place of the other."};
  return p;
}

// Cables of one length share a group of lanes headed by that length; each
// takes the first lane that is free over its whole run, so no two overlap.
void layOut(Panel& p) {
  std::map<int, std::vector<Link*>> byLength;
  for (Link& l : p.links) byLength[l.cm].push_back(&l);
  const auto run = [&p](const Link* l) {
    const int a = p.boxes[l->from].yA(), b = p.boxes[l->to].yB();
    return std::make_pair(std::min(a, b), std::max(a, b));
  };
  int x = p.boxWidth + port_size + 6;
  for (auto& [cm, links] : byLength) {
    std::stable_sort(links.begin(), links.end(), [&](const Link* a, const Link* b) { return run(a) < run(b); });
    std::vector<int> laneEnd;
    for (Link* l : links) {
      const auto [top, bottom] = run(l);
      const auto free = std::find_if(laneEnd.begin(), laneEnd.end(), [top = top](int end) { return end + 2 < top; });
      l->lane = static_cast<int>(free - laneEnd.begin());
      if (free == laneEnd.end()) laneEnd.push_back(bottom);
      else *free = bottom;
    }
    const int lanes = static_cast<int>(laneEnd.size());
    p.groups.push_back({cm, lanes, x, std::max(lanes * lane_pitch + 4, 36)});
    x += p.groups.back().width + 6;
  }
  p.width = std::max(x, 130);
  const int boxesEnd = p.boxes.empty() ? panel_top : p.boxes.back().top + p.boxes.back().height;
  p.height = boxesEnd + 6 + static_cast<int>(p.note.size()) * note_line;
}

int laneX(const Panel& p, const Link& l) {
  for (const Group& g : p.groups)
    if (g.cm == l.cm) return g.x + 2 + l.lane * lane_pitch + lane_pitch / 2;
  return 0;
}

// Out from port A, along its lane, back into port B, with rounded corners.
std::string route(int x, int lane, int ya, int yb) {
  const int sign = yb >= ya ? 1 : -1;
  const int r = std::min(3, std::abs(yb - ya) / 2);
  return "M" + str(x) + " " + str(ya) + "H" + str(lane - r) + "Q" + str(lane) + " " + str(ya) + " " + str(lane) + " " +
         str(ya + sign * r) + "V" + str(yb - sign * r) + "Q" + str(lane) + " " + str(yb) + " " + str(lane - r) + " " +
         str(yb) + "H" + str(x);
}

void port(std::string& out, const std::string& cls, int x, int y, const std::string& title) {
  if (title.empty()) return;
  out += "<rect class=\"" + cls + "\" x=\"" + str(x) + "\" y=\"" + str(y - port_size / 2) + "\" width=\"" +
         str(port_size) + "\" height=\"" + str(port_size) + "\"><title>";
  escaped(out, title);
  out += "</title></rect>";
}

void drawPanel(std::string& out, const Panel& p, int x0, int y0) {
  const Style& s = *p.style;
  const char name[] = {s.name, '\0'};
  out += "<g transform=\"translate(" + str(x0) + " " + str(y0) + ")\" stroke=\"" + s.colour + "\" fill=\"" + s.colour +
         "\"><text class=\"t\" x=\"0\" y=\"11\">" + name + " rings</text>";
  for (const Group& g : p.groups)
    out += "<text class=\"g\" x=\"" + str(g.x + g.width / 2) + "\" y=\"27\">" + str(g.cm) + " cm</text>";
  for (const Box& b : p.boxes) {
    out += "<rect class=\"b\" x=\"0\" y=\"" + str(b.top) + "\" width=\"" + str(p.boxWidth) + "\" height=\"" +
           str(b.height - 2) + "\"/>";
    const int text = b.detail.empty() ? b.top + b.height / 2 + 2 : b.top + b.height / 2 - 2;
    out += "<text class=\"s\" x=\"" + str(p.boxWidth / 2) + "\" y=\"" + str(text) + "\">";
    escaped(out, b.label);
    if (!b.detail.empty()) {
      out += "<tspan x=\"" + str(p.boxWidth / 2) + "\" dy=\"11\">";
      escaped(out, b.detail);
      out += "</tspan>";
    }
    out += "</text>";
    port(out, "pa", p.boxWidth, b.yA(), b.portA);
    port(out, "pb", p.boxWidth, b.yB(), b.portB);
  }
  out += "<g fill=\"none\"";
  if (*s.dash) out += std::string(" stroke-dasharray=\"") + s.dash + "\"";
  out += ">";
  const int start = p.boxWidth + port_size;
  for (const Link& l : p.links) {
    const int lane = laneX(p, l);
    const int ya = p.boxes[l.from].yA(), yb = p.boxes[l.to].yB();
    const std::string d = route(start, lane, ya, yb);
    out += std::string("<g class=\"c\" data-dim=\"") + name + "\" data-count=\"" + str(l.count) + "\"><title>";
    escaped(out, l.title);
    out += "</title><path class=\"h\" d=\"" + d + "\"/><path class=\"" + (l.count > 1 ? "l w" : "l") + "\" d=\"" + d +
           "\"/>";
    if (l.count > 1)
      out += "<text class=\"n\" x=\"" + str(lane + 3) + "\" y=\"" + str((ya + yb) / 2 + 3) + "\">" + str(l.count) +
             "</text>";
    out += "</g>";
  }
  out += "</g>";
  if (!p.note.empty()) {
    const int top = p.height - static_cast<int>(p.note.size()) * note_line + 6;
    out += "<text class=\"m\"";
    if (p.noteCount > 0)
      out += std::string(" data-dim=\"") + name + "\" data-count=\"" + str(p.noteCount) + "\"";
    out += " y=\"" + str(top) + "\">";
    for (std::size_t i = 0; i < p.note.size(); ++i) {
      out += "<tspan x=\"0\" dy=\"" + str(i == 0 ? 0 : note_line) + "\">";
      escaped(out, p.note[i]);
      out += "</tspan>";
    }
    out += "</text>";
  }
  out += "</g>";
}

// One line per dimension (its line style and its cables by length), then
// the port marks.
void drawLegend(std::string& out, const std::vector<Dimension>& dims) {
  int y = 12;
  for (const Dimension& d : dims) {
    std::map<int, int> lengths;
    for (const Cable& c : d.cables) ++lengths[c.cm];
    std::string text = std::string(1, d.style->name) + " rings, " + d.style->line + " line: " +
                       str(static_cast<int>(d.cables.size())) + " cables";
    const char* sep = " (";
    for (const auto& [cm, n] : lengths) {
      text += sep + str(cm) + " cm: " + str(n);
      sep = ", ";
    }
    if (!lengths.empty()) text += ")";
    out += "<path class=\"l\" d=\"M0 " + str(y - 4) + "H28\" stroke=\"" + d.style->colour + "\"";
    if (*d.style->dash) out += std::string(" stroke-dasharray=\"") + d.style->dash + "\"";
    out += "/><text x=\"34\" y=\"" + str(y) + "\">" + text + "</text>";
    y += legend_line;
  }
  out += "<g stroke=\"#1d2733\" fill=\"#1d2733\"><rect class=\"pa\" x=\"12\" y=\"" + str(y - 8) +
         "\" width=\"4\" height=\"4\"/><rect class=\"pb\" x=\"100\" y=\"" + str(y - 8) +
         "\" width=\"4\" height=\"4\"/></g><text x=\"20\" y=\"" + str(y - 4) +
         "\">port A (From)</text><text x=\"108\" y=\"" + str(y - 4) +
         "\">port B (To) \u00b7 server 1 at the top \u00b7 hover for port labels</text>";
}

const char* const style_sheet =
    "<style>"
    ".trl-wiring{max-width:100%;height:auto}"
    ".trl-wiring text{font:10px tahoma,arial,verdana,sans-serif;fill:#1d2733;stroke:none}"
    ".trl-wiring .t{font-weight:bold;fill:inherit}"
    ".trl-wiring .g,.trl-wiring .s{font-size:9px;text-anchor:middle}"
    ".trl-wiring .m{font-size:9px}"
    ".trl-wiring .b{fill:#eef3fa;stroke:#8a9bb0;stroke-width:1}"
    ".trl-wiring .pb{fill:#fff;stroke-width:1}"
    ".trl-wiring .l{fill:none;stroke-width:1.5}"
    ".trl-wiring .w{stroke-width:3}"
    ".trl-wiring .h{fill:none;stroke:transparent;stroke-width:7;stroke-dasharray:none}"
    ".trl-wiring .c:hover .l{stroke-width:3.5}"
    ".trl-wiring .n{font-size:9px;font-weight:bold;paint-order:stroke;stroke:#fff;stroke-width:3}"
    "</style>";

}  // namespace

std::string wiringPicture(const Rows& rows) {
  int servers = 0;
  const std::vector<Dimension> dims = parse(rows, &servers);

  // A Z layer holds the servers between two Z neighbours: the shortest Z
  // cable spans exactly one.
  int layer = 0;
  if (dims.size() == 3 && !dims[2].cables.empty()) {
    int span = servers;
    for (const Cable& c : dims[2].cables) span = std::min(span, std::abs(c.b - c.a));
    if (span >= 1 && span <= full_servers && span < servers && servers % span == 0) layer = span;
  }
  // Beyond what fits one layer stands for all, or the first 64 servers
  // without layers.
  const int shown = servers <= full_servers ? servers : layer ? layer : full_servers;

  std::vector<Panel> panels;
  for (const Dimension& d : dims) {
    panels.push_back(serverPanel(d, shown, servers));
    layOut(panels.back());
    const bool acrossLayers = layer && std::all_of(d.cables.begin(), d.cables.end(), [&](const Cable& c) {
      return (c.a - 1) / layer != (c.b - 1) / layer;
    });
    int lanes = 0;
    for (const Group& g : panels.back().groups) lanes += g.lanes;
    if (acrossLayers && (shown < servers || lanes > max_lanes)) {
      panels.back() = layerPanel(d, layer, servers);
      layOut(panels.back());
    }
  }

  const int legendHeight = static_cast<int>(dims.size() + 1) * legend_line + 6;
  int width = 0, height = 0;
  for (const Panel& p : panels) {
    width += (width ? panel_gap : 0) + p.width;
    height = std::max(height, p.height);
  }
  width = std::max(width, min_width);
  height += legendHeight;

  std::string out;
  out.reserve(2048 + 400 * rows.size());
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"trl-wiring\" role=\"img\" width=\"" + str(width) +
         "\" height=\"" + str(height) + "\" viewBox=\"0 0 " + str(width) + " " + str(height) +
         "\"><title>Cabling scheme: servers in rack order, cables per ring dimension</title>";
  out += style_sheet;
  drawLegend(out, dims);
  int x = 0;
  for (const Panel& p : panels) {
    drawPanel(out, p, x, legendHeight);
    x += p.width + panel_gap;
  }
  out += "</svg>";
  return out;
}
