// The line chart's SVG.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "web/chart.h"
#include "web/date_format.h"
#include "web/standard_item_model.h"

using namespace web;
using namespace web::chart;
using Clock = std::chrono::system_clock;

namespace {

std::shared_ptr<StandardItemModel> history(const std::vector<double>& values, Clock::time_point end) {
  auto model = std::make_shared<StandardItemModel>(static_cast<int>(values.size()), 2);
  model->setHeaderData(0, std::string("Time unit(s)"));
  model->setHeaderData(1, std::string("CPU Temp"));
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto t = end - std::chrono::seconds(10 * (values.size() - i));
    model->setData(model->index(static_cast<int>(i), 0), t);
    model->setData(model->index(static_cast<int>(i), 1), values[i]);
  }
  return model;
}

int count(const std::string& s, const std::string& what) {
  int n = 0;
  for (auto p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

// 14:07:SS local time on Tuesday, 5 March 2024.
Clock::time_point fixedTime(int seconds = 30) {
  std::tm tm{};
  tm.tm_year = 2024 - 1900;
  tm.tm_mon = 2;
  tm.tm_mday = 5;
  tm.tm_hour = 14;
  tm.tm_min = 7;
  tm.tm_sec = seconds;
  tm.tm_isdst = -1;
  return Clock::from_time_t(std::mktime(&tm));
}

}  // namespace

TEST(Chart, TimeAxisLinesGapsAndShadow) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto end = fixedTime();
  CartesianChart chart;
  chart.setModel(history({40, 42, nan, 44, 45, nan, nan, 41}, end));
  chart.setXSeriesColumn(0);
  chart.axis(XAxis).setScale(AxisScale::DateTime);
  chart.axis(XAxis).setLabelFormat("hh:mm:ss");
  chart.axis(YAxis).setRange(38, 46);
  DataSeries s(1, SeriesType::Line);
  s.setShadow(Shadow{3, 3, Color{0, 0, 0, 127}, 3});
  chart.addSeries(s);
  chart.resize(594, 300);
  const std::string svg = chart.svg();
  EXPECT_NE(svg.find("width=\"594.0\" height=\"300.0\""), std::string::npos);
  // Three pieces: 40-42, 44-45, 41 (a lone point starts a piece too).
  const auto d = svg.find("<path d=\"");
  ASSERT_NE(d, std::string::npos);
  const std::string path = svg.substr(d, svg.find('"', d + 9) - d);
  EXPECT_EQ(count(path, "M"), 3);
  EXPECT_EQ(count(path, "L"), 2);
  EXPECT_NE(svg.find("feDropShadow dx=\"3.0\" dy=\"3.0\""), std::string::npos);
  EXPECT_NE(svg.find("flood-opacity=\"0.5\""), std::string::npos);
  // Y labels from the set range; X labels as clock times.
  EXPECT_NE(svg.find(">38</text>"), std::string::npos);
  EXPECT_NE(svg.find(">46</text>"), std::string::npos);
  // Samples from 14:06:10 to 14:07:20: a label every 15 s on the clock.
  EXPECT_NE(svg.find(">14:06:15</text>"), std::string::npos);
  EXPECT_NE(svg.find(">14:07:15</text>"), std::string::npos);
  EXPECT_EQ(svg.find(">14:06:10</text>"), std::string::npos);
}

TEST(Chart, AxisTitlesGridLatestValueAndNoDataText) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const auto end = fixedTime();
  CartesianChart chart;
  chart.setModel(history({40, 42.5, nan}, end));
  chart.axis(XAxis).setScale(AxisScale::DateTime);
  chart.axis(XAxis).setTitle("Local time");
  chart.axis(YAxis).setTitle("<C>");
  chart.axis(YAxis).setRange(38, 46);
  DataSeries s(1);
  s.setLatestValueShown(true, "C");
  chart.addSeries(s);
  chart.setNoDataText("No reading");
  chart.resize(594, 300);
  std::string svg = chart.svg();
  EXPECT_NE(svg.find(">&lt;C&gt;</text>"), std::string::npos) << "titles are escaped";
  EXPECT_NE(svg.find(">Local time</text>"), std::string::npos);
  // The last point with a value (the NaN after it is skipped), marked and written.
  EXPECT_NE(svg.find(">42.5 C</text>"), std::string::npos);
  EXPECT_NE(svg.find("data-x=\"" + std::to_string(Clock::to_time_t(end) - 20) + ".000\" data-y=\"42.5\""),
            std::string::npos);
  EXPECT_EQ(count(svg, "<circle"), 1);
  EXPECT_EQ(svg.find("No reading"), std::string::npos) << "only while there is no point";
  // Vertical grid lines run the plot's height at each time label.
  EXPECT_GE(count(svg, "stroke=\"#e6e9ee\""), count(svg, "class=\"w-chart-label\""));

  chart.setModel(history({nan, nan}, end));
  svg = chart.svg();
  EXPECT_NE(svg.find(">No reading</text>"), std::string::npos);
  EXPECT_EQ(svg.find("<circle"), std::string::npos);
}

TEST(Chart, EmptyHistoryDrawsAxesWithoutALineAndModelChangesRedraw) {
  auto model = history(std::vector<double>(40, std::numeric_limits<double>::quiet_NaN()), Clock::now());
  CartesianChart chart;
  chart.setModel(model);
  chart.axis(XAxis).setScale(AxisScale::DateTime);
  chart.addSeries(DataSeries(1));
  const std::string svg = chart.svg();
  EXPECT_EQ(svg.find("<path"), std::string::npos);
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  chart.html();
  EXPECT_FALSE(chart.isDirty());
  model->setData(model->index(1, 1), 9.0);
  EXPECT_TRUE(chart.isDirty());
}

TEST(DateFormat, Patterns) {
  const auto t = fixedTime(9);
  EXPECT_EQ(formatTime(t, "hh:mm:ss"), "14:07:09");
  EXPECT_EQ(formatTime(t, "yyyy-MM-dd"), "2024-03-05");
  EXPECT_EQ(formatTime(t, "d/M h:mm AP"), "5/3 2:07 PM");
  EXPECT_EQ(formatTime(t, "'at' hh"), "at 14");
  EXPECT_EQ(formatTime(t, "ddd MMM d hh:mm:ss yyyy"), "Tue Mar 5 14:07:09 2024");
  EXPECT_EQ(formatTime(t, "dddd d MMMM"), "Tuesday 5 March");
}
