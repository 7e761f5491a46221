// A line chart drawn on the server as inline SVG: X from one model column
// (numbers or time points), one line per series column, NaN leaving a gap,
// an optional shadow under each line, a light grid at the axis labels, axis
// titles, and optionally the latest value written beside its line.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "web/item_model.h"
#include "web/widget.h"

namespace web::chart {

enum class AxisId { X, Y };
constexpr AxisId XAxis = AxisId::X;
constexpr AxisId YAxis = AxisId::Y;
enum class AxisScale { Linear, DateTime };  // DateTime: values are time points
enum class SeriesType { Line, Point };

struct Color {
  int red = 0, green = 0, blue = 0, alpha = 255;
  std::string css() const;  // "rgb(r,g,b)"
  double opacity() const { return alpha / 255.0; }
};

struct Shadow {
  double offsetX = 0, offsetY = 0;
  Color color{0, 0, 0, 0};
  double blur = 0;
  bool none() const { return color.alpha == 0; }
};

class Axis {
 public:
  void setScale(AxisScale scale) { scale_ = scale; }
  AxisScale scale() const { return scale_; }
  // Time labels with the patterns of formatTime ("hh:mm:ss"); numbers ignore it.
  void setLabelFormat(const std::string& format) { format_ = format; }
  const std::string& labelFormat() const { return format_; }
  void setRange(double minimum, double maximum);
  void setMinimum(double minimum);
  void setMaximum(double maximum);
  void setAutoLimits();
  bool autoLimits() const { return auto_; }
  double minimum() const { return min_; }
  double maximum() const { return max_; }
  void setVisible(bool visible) { visible_ = visible; }
  bool isVisible() const { return visible_; }
  // Y: written above the labels (a unit: "C", "RPM"); X: under them.
  void setTitle(const std::string& title) { title_ = title; }
  const std::string& title() const { return title_; }

 private:
  AxisScale scale_ = AxisScale::Linear;
  std::string format_;
  std::string title_;
  double min_ = 0, max_ = 0;
  bool auto_ = true;
  bool visible_ = true;
};

class DataSeries {
 public:
  explicit DataSeries(int modelColumn, SeriesType type = SeriesType::Line) : column_(modelColumn), type_(type) {}
  int modelColumn() const { return column_; }
  SeriesType type() const { return type_; }
  void setShadow(const Shadow& shadow) { shadow_ = shadow; }
  const Shadow& shadow() const { return shadow_; }
  void setPenColor(const Color& color) { pen_ = color; }
  const Color& penColor() const { return pen_; }
  void setPenWidth(double width) { penWidth_ = width; }
  double penWidth() const { return penWidth_; }
  // Marks the last point that has a value and writes that value beside it
  // (six significant digits), followed by a blank and unit when one is given.
  void setLatestValueShown(bool shown, const std::string& unit = {}) {
    latest_ = shown;
    unit_ = unit;
  }
  bool latestValueShown() const { return latest_; }
  const std::string& unit() const { return unit_; }

 private:
  int column_;
  SeriesType type_;
  Shadow shadow_;
  Color pen_{0, 84, 166, 255};
  double penWidth_ = 2;
  bool latest_ = false;
  std::string unit_;
};

class CartesianChart : public Widget {
 public:
  CartesianChart();
  ~CartesianChart() override;

  void setModel(std::shared_ptr<AbstractItemModel> model);
  const std::shared_ptr<AbstractItemModel>& model() const { return model_; }
  void setXSeriesColumn(int column);
  int xSeriesColumn() const { return xColumn_; }
  // Changes to an axis or series show at the next update; call update().
  Axis& axis(AxisId id) { return id == AxisId::X ? x_ : y_; }
  void addSeries(const DataSeries& series);
  void removeSeries(int modelColumn);
  std::vector<DataSeries>& series() { return series_; }
  void setLegendEnabled(bool on);
  void setTitle(const std::string& title);
  // Written in the middle of the plot while no series has a point.
  void setNoDataText(const std::string& text);
  // Room around the plot area for the axis labels (it grows by itself for
  // axis titles and latest values).
  void setPlotAreaPadding(int pixels, unsigned sides = 15);
  // Redraws (after changes to axes or series).
  void update() { markDirty(); }

  // The SVG alone (for files and tests).
  std::string svg() const;

 protected:
  void renderElement(std::string& out) override;

 private:
  std::shared_ptr<AbstractItemModel> model_;
  std::vector<ScopedConnection> connections_;
  std::vector<DataSeries> series_;
  Axis x_, y_;
  std::string title_;
  std::string noData_;
  int xColumn_ = 0;
  int padding_[4] = {10, 20, 40, 55};  // top right bottom left
  bool legend_ = false;
};

}  // namespace web::chart
