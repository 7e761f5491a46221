// The Monitoring tab's chart: the shared sensor history (one sensor of one
// server, a sample every 10 s) as a line over the last 40 sampling times,
// in the management host's local time, with the sensor's unit and its
// latest value. Used only by its browser session, under the session's lock.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gui/helpable_container.h"
#include "modules/history.h"
#include "web/signals.h"

class Nodes;
namespace web {
class Panel;
class StandardItemModel;
namespace chart {
class CartesianChart;
}
}  // namespace web

class ChartContainer : public HelpableContainer {
 public:
  explicit ChartContainer(Trellium* manager);
  // Redraws from the history (any event; the shell sends its rounds).
  void update(int fd) override;
  void setModule(Nodes* nodes) { nodes_ = nodes; }
  const std::shared_ptr<web::StandardItemModel>& model() const { return model_; }
  web::chart::CartesianChart* chart() const { return chart_; }
  // After every redraw: the server and the sensor the history records, so
  // that the page's choices can follow a choice made on another page.
  web::Signal<std::string, std::string>& seriesShown() { return seriesShown_; }

  // The Y axis range for a series' extremes: half the spread added on both
  // sides, but never below zero for readings that are all positive; a
  // constant reading c gets c / 2 on both sides (1 for 0).
  static std::pair<double, double> yRange(double min, double max);
  // The unit of a reading as the sensor table writes it: "41 C" -> "C",
  // "N/A" -> "".
  static std::string unitOf(const std::string& reading);
  // The 40 rows for the samples (oldest first) at time now: row i holds
  // now - 10 * (40 - i) seconds and no value, then the samples fill the
  // rows from the last one upwards with their own times and values.
  void fillRows(const std::vector<HistoryData>& samples, std::chrono::system_clock::time_point now);

 private:
  std::string unitOfSensor(const std::string& node, const std::string& sensor) const;
  void drawRange(const std::vector<HistoryData>& samples);

  web::Panel* containerPanel_;
  web::chart::CartesianChart* chart_;
  std::shared_ptr<web::StandardItemModel> model_;
  Nodes* nodes_ = nullptr;
  web::Signal<std::string, std::string> seriesShown_;
};
