// The cabling picture as an XML parser reads it: well-formed for every
// geometry, every cable of the list drawn or counted, outside text escaped.
#include <expat.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "gui/wiring_picture.h"
#include "modules/error.h"
#include "modules/geometry.h"
#include "tests/support/scratch.h"

namespace {

using Rows = std::vector<Geometry::Row>;

// What a strict XML parser found in a picture.
struct Parsed {
  std::string error;                  // "" when well-formed
  std::map<std::string, int> cables;  // data-count summed per data-dim
  int drawn = 0;                      // single cables drawn one by one
  std::string titles;                 // the text of every <title>, joined
};

Parsed parse(const std::string& svg) {
  Parsed parsed;
  std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate("UTF-8"), XML_ParserFree);
  struct State {
    Parsed* out;
    int inTitle = 0;
  } state{&parsed};
  XML_SetUserData(parser.get(), &state);
  XML_SetElementHandler(
      parser.get(),
      [](void* data, const XML_Char* name, const XML_Char** attributes) {
        auto* s = static_cast<State*>(data);
        if (std::string(name) == "title") ++s->inTitle;
        std::string dim, cls;
        int count = 0;
        for (int i = 0; attributes[i]; i += 2) {
          const std::string key = attributes[i];
          if (key == "data-dim") dim = attributes[i + 1];
          if (key == "data-count") count = std::stoi(attributes[i + 1]);
          if (key == "class") cls = attributes[i + 1];
        }
        if (!dim.empty()) s->out->cables[dim] += count;
        if (cls == "c" && count == 1) ++s->out->drawn;
      },
      [](void* data, const XML_Char* name) {
        auto* s = static_cast<State*>(data);
        if (std::string(name) != "title") return;
        --s->inTitle;
        s->out->titles += '\n';
      });
  XML_SetCharacterDataHandler(parser.get(), [](void* data, const XML_Char* text, int length) {
    auto* s = static_cast<State*>(data);
    if (s->inTitle) s->out->titles.append(text, static_cast<std::size_t>(length));
  });
  if (XML_Parse(parser.get(), svg.data(), static_cast<int>(svg.size()), 1) == XML_STATUS_ERROR)
    parsed.error = std::string(XML_ErrorString(XML_GetErrorCode(parser.get()))) + " at line " +
                   std::to_string(XML_GetCurrentLineNumber(parser.get())) + " column " +
                   std::to_string(XML_GetCurrentColumnNumber(parser.get()));
  return parsed;
}

Rows cablingList(unsigned height, const std::string& geometry) {
  Geometry g;
  g.build(height, geometry);
  return {g.wiring_begin(), g.wiring_end()};
}

TEST(WiringPicture, EveryGeometryUpTo512IsWellFormedAndAccountsForEveryCable) {
  Geometry configs;
  configs.configurations(512);
  ASSERT_EQ(std::distance(configs.configs_begin(), configs.configs_end()), 119);
  for (auto c = configs.configs_begin(); c != configs.configs_end(); ++c) {
    const std::string text = c->str().first;
    const Rows rows = cablingList(1, text);
    const Parsed parsed = parse(wiringPicture(rows));
    ASSERT_EQ(parsed.error, "") << text;
    const std::string dims = "XYZ";
    for (std::size_t d = 0; d < (rows[0].size() - 1) / 3; ++d)
      EXPECT_EQ(parsed.cables.at(dims.substr(d, 1)), static_cast<int>(rows.size()) - 1) << text << " " << dims[d];
    EXPECT_EQ(parsed.cables.size(), (rows[0].size() - 1) / 3) << text;
    if (c->n <= 16) {
      EXPECT_EQ(parsed.drawn, static_cast<int>(rows.size() - 1) * c->d) << text << ": all drawn";
    }
  }
}

TEST(WiringPicture, HoverTextsNameThePortsAndLengths) {
  const Parsed small = parse(wiringPicture(cablingList(2, "2x4x2")));
  EXPECT_NE(small.titles.find("Cable 1, X ring: XA01 to XB02, 25 cm"), std::string::npos) << small.titles;
  EXPECT_NE(small.titles.find("\nXB02\n"), std::string::npos) << "a port's own label";
  // Beyond 64 servers: one layer drawn, the others counted, Z as bundles.
  const Parsed large = parse(wiringPicture(cablingList(1, "8x8x8")));
  EXPECT_EQ(large.drawn, 2 * 64);
  EXPECT_EQ(parse(wiringPicture(cablingList(1, "4x4x4"))).drawn, 2 * 64) << "64 Z cables would be a weave";
  EXPECT_NE(large.titles.find("64 Z cables of 75 cm, layer 1 to layer 3: ZA01 to ZB129 (cable 1)"), std::string::npos)
      << large.titles;
}

TEST(WiringPicture, OutsideTextIsEscapedAndBadListsAreRefused) {
  Rows rows = cablingList(1, "2");
  rows[1][0] = "1\"><script>alert(1)</script>";
  const std::string svg = wiringPicture(rows);
  EXPECT_EQ(parse(svg).error, "");
  EXPECT_EQ(svg.find("<script"), std::string::npos);

  const auto refused = [](Rows list) { return trl::test::errorOf<_Error>([&] { wiringPicture(list); }); };
  EXPECT_NE(refused({}).find("without a header row"), std::string::npos);
  Rows bad = cablingList(1, "4x4");
  bad[3].pop_back();
  EXPECT_NE(refused(bad).find("cabling list row 3: 6 cells, not 7"), std::string::npos);
  bad = cablingList(1, "4x4");
  bad[2][4] = "XA02";
  EXPECT_NE(refused(bad).find("unreadable port label 'XA02'"), std::string::npos) << "a Y column";
  bad[2][4] = "YA999";
  EXPECT_NE(refused(bad).find("unreadable port label 'YA999'"), std::string::npos) << "beyond 512 servers";
  bad = cablingList(1, "4x4");
  bad[1][3] = "25 cm";
  EXPECT_NE(refused(bad).find("unreadable cable length '25 cm'"), std::string::npos);
}

}  // namespace
