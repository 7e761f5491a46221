#include "gui/chart_container.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <limits>

#include "modules/error.h"
#include "modules/nodes.h"
#include "web/chart.h"
#include "web/panel.h"
#include "web/standard_item_model.h"

namespace {

using Clock = std::chrono::system_clock;
constexpr double no_value = std::numeric_limits<double>::quiet_NaN();
constexpr int chart_width = 594;
constexpr int chart_height = 300;

// "Local time (CET)": the times are the management host's own.
std::string localTimeTitle(Clock::time_point now) {
  const std::time_t t = Clock::to_time_t(now);
  std::tm tm{};
  localtime_r(&t, &tm);
  char zone[32] = "";
  std::strftime(zone, sizeof zone, "%Z", &tm);
  return zone[0] ? std::string("Local time (") + zone + ")" : std::string("Local time");
}

}  // namespace

ChartContainer::ChartContainer(Trellium* manager) : HelpableContainer(manager) {
  setStyleClass("trl-chart");
  model_ = std::make_shared<web::StandardItemModel>(History::default_size, 2);
  model_->setHeaderData(0, std::string("Time unit(s)"));
  model_->setHeaderData(1, std::string("CPU Temp"));
  fillRows({}, Clock::now());

  auto panel = std::make_unique<web::Panel>();
  panel->setMargin(6);
  auto chart = std::make_unique<web::chart::CartesianChart>();
  chart->setModel(model_);
  chart->setXSeriesColumn(0);
  chart->setLegendEnabled(false);
  web::chart::Axis& x = chart->axis(web::chart::XAxis);
  x.setScale(web::chart::AxisScale::DateTime);
  x.setLabelFormat("hh:mm:ss");
  web::chart::DataSeries series(1, web::chart::SeriesType::Line);
  series.setShadow(web::chart::Shadow{3, 3, web::chart::Color{0, 0, 0, 127}, 3});
  series.setLatestValueShown(true);
  chart->addSeries(series);
  chart->resize(chart_width, chart_height);
  chart->setMargin(10);
  chart->setNoDataText("Choose a server and a sensor above");
  chart_ = panel->addWidget(std::move(chart));
  containerPanel_ = addWidget(std::move(panel));
}

void ChartContainer::fillRows(const std::vector<HistoryData>& samples, Clock::time_point now) {
  const int rows = model_->rowCount();
  for (int i = 0; i < rows; ++i) {
    const auto placeholder = now - std::chrono::seconds(IPMI::history_polling_interval * (rows - i));
    model_->setData(model_->index(i, 0), placeholder);
    model_->setData(model_->index(i, 1), no_value);
  }
  int row = rows - 1;
  for (auto sample = samples.rbegin(); sample != samples.rend() && row >= 0; ++sample, --row) {
    model_->setData(model_->index(row, 0), sample->time);
    model_->setData(model_->index(row, 1), sample->data);  // NaN leaves a gap
  }
}

std::pair<double, double> ChartContainer::yRange(double min, double max) {
  if (min == max) {
    const double half = min == 0 ? 1 : std::abs(min) * 0.5;
    return {min - half, max + half};
  }
  double margin = (max - min) * 0.5;
  if (min >= 0 && min < margin) margin = min;  // positive readings keep the axis at or above zero
  return {min - margin, max + margin};
}

std::string ChartContainer::unitOf(const std::string& reading) {
  const std::size_t blank = reading.find(' ');
  return blank == std::string::npos ? std::string() : reading.substr(blank + 1);
}

// The sensor table is read without the node table's lock: a sensor pass in
// progress holds the table's own lock until it ends.
std::string ChartContainer::unitOfSensor(const std::string& node, const std::string& sensor) const {
  std::shared_ptr<IPMI> session;
  {
    const Nodes::SharedAccess table(*nodes_);
    for (const Nodes::Node* n = table.begin(); n != table.end() && !session; ++n)
      if (n->eth0.name() == node) session = n->ipmiShared();
  }
  if (!session || sensor.empty()) return {};
  std::string unit;
  for (const auto& row : session->sensorTable())  // the last row of that name wins, as for the reading
    if (row.size() >= 2 && row[0] == sensor) unit = unitOf(row[1]);
  return unit;
}

void ChartContainer::drawRange(const std::vector<HistoryData>& samples) {
  double min = std::numeric_limits<double>::infinity(), max = -min;
  for (const HistoryData& sample : samples)
    if (!std::isnan(sample.data)) {
      min = std::min(min, sample.data);
      max = std::max(max, sample.data);
    }
  web::chart::Axis& y = chart_->axis(web::chart::YAxis);
  if (!std::isfinite(min)) {
    y.setAutoLimits();  // no reading: no other sensor's range either
    return;
  }
  const auto [low, high] = yRange(min, max);
  y.setRange(low, high);
}

void ChartContainer::update(int) {
  if (!nodes_) throw TRL_ERROR("nodes is NULL");
  const History::Snapshot history = nodes_->history().snapshot();
  const Clock::time_point now = Clock::now();
  fillRows(history.samples, now);
  drawRange(history.samples);

  const bool chosen = history.node != "unset" && !history.sensor.empty();
  const std::string unit = chosen ? unitOfSensor(history.node, history.sensor) : std::string();
  const bool anyReading = std::any_of(history.samples.begin(), history.samples.end(),
                                      [](const HistoryData& s) { return !std::isnan(s.data); });
  chart_->setTitle(chosen ? history.sensor + " on " + history.node : std::string());
  chart_->setNoDataText(!chosen                  ? "Choose a server and a sensor above"
                        : history.samples.empty() ? "Waiting for the first reading (one every 10 s)"
                        : anyReading              ? ""
                                                  : "No reading from this sensor");
  chart_->axis(web::chart::YAxis).setTitle(unit);
  chart_->axis(web::chart::XAxis).setTitle(localTimeTitle(now));
  chart_->series().front().setLatestValueShown(true, unit);
  chart_->update();
  seriesShown_.emit(history.node, history.sensor);
}
