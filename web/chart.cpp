#include "web/chart.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>

#include "web/any_text.h"
#include "web/date_format.h"

namespace web::chart {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// A step of 1, 2 or 5 times a power of ten giving about `count` ticks.
double niceStep(double span, int count) {
  if (span <= 0) return 1;
  const double raw = span / count;
  const double p = std::pow(10.0, std::floor(std::log10(raw)));
  for (const double m : {1.0, 2.0, 5.0, 10.0})
    if (raw <= m * p) return m * p;
  return 10 * p;
}

// Steps in seconds that read well on a clock.
double timeStep(double span, int count) {
  static const double steps[] = {1,    2,    5,     10,    15,    30,    60,     120,    300,
                                 600,  900,  1800,  3600,  7200,  10800, 21600,  43200,  86400,
                                 172800, 604800, 2592000, 31536000};
  const double raw = span / count;
  for (const double s : steps)
    if (s >= raw) return s;
  return steps[sizeof steps / sizeof steps[0] - 1];
}

// Light lines behind the series.
const char* const grid = "#e6e9ee";

// About how wide a text of 11 px is: enough to make room for it.
double textWidth(const std::string& text) { return 6.5 * static_cast<double>(text.size()); }

void line(std::string& out, double x1, double y1, double x2, double y2, const char* colour) {
  out += "<line x1=\"" + num(x1) + "\" x2=\"" + num(x2) + "\" y1=\"" + num(y1) + "\" y2=\"" + num(y2) +
         "\" stroke=\"" + colour + "\"/>";
}

// A text element; the text is escaped.
void text(std::string& out, double x, double y, const char* anchor, const char* cls, const std::string& content) {
  out += "<text x=\"" + num(x) + "\" y=\"" + num(y) + "\" text-anchor=\"" + anchor + "\" class=\"" + cls + "\">";
  appendEscaped(out, content);
  out += "</text>";
}

// A reading as people write it: 41, 12.06, 3000 (six significant digits).
std::string valueLabel(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string numberLabel(double v, double step) {
  char buf[32];
  const int decimals = step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step)));
  std::snprintf(buf, sizeof buf, "%.*f", decimals, std::abs(v) < step * 1e-9 ? 0.0 : v);
  return buf;
}

}  // namespace

std::string Color::css() const {
  return "rgb(" + std::to_string(red) + "," + std::to_string(green) + "," + std::to_string(blue) + ")";
}

void Axis::setRange(double minimum, double maximum) {
  min_ = minimum;
  max_ = maximum;
  auto_ = false;
}

void Axis::setMinimum(double minimum) {
  if (auto_) max_ = minimum + 1;
  min_ = minimum;
  auto_ = false;
}

void Axis::setMaximum(double maximum) {
  if (auto_) min_ = maximum - 1;
  max_ = maximum;
  auto_ = false;
}

void Axis::setAutoLimits() { auto_ = true; }

CartesianChart::CartesianChart() {
  resize(600, 400);
  x_.setScale(AxisScale::Linear);
}

CartesianChart::~CartesianChart() = default;

void CartesianChart::setModel(std::shared_ptr<AbstractItemModel> model) {
  model_ = std::move(model);
  connections_.clear();
  if (model_) {
    auto redraw = [this] { markDirty(); };
    connections_.emplace_back(model_->dataChanged().connect(redraw));
    connections_.emplace_back(model_->rowsInserted().connect(redraw));
    connections_.emplace_back(model_->rowsRemoved().connect(redraw));
    connections_.emplace_back(model_->modelReset().connect(redraw));
  }
  markDirty();
}

void CartesianChart::setXSeriesColumn(int column) {
  xColumn_ = column;
  markDirty();
}

void CartesianChart::addSeries(const DataSeries& series) {
  series_.push_back(series);
  markDirty();
}

void CartesianChart::removeSeries(int modelColumn) {
  series_.erase(std::remove_if(series_.begin(), series_.end(),
                               [&](const DataSeries& s) { return s.modelColumn() == modelColumn; }),
                series_.end());
  markDirty();
}

void CartesianChart::setLegendEnabled(bool on) {
  legend_ = on;
  markDirty();
}

void CartesianChart::setTitle(const std::string& title) {
  title_ = title;
  markDirty();
}

void CartesianChart::setNoDataText(const std::string& text) {
  noData_ = text;
  markDirty();
}

void CartesianChart::setPlotAreaPadding(int pixels, unsigned sides) {
  if (sides & 1) padding_[0] = pixels;  // top
  if (sides & 2) padding_[1] = pixels;  // right
  if (sides & 4) padding_[2] = pixels;  // bottom
  if (sides & 8) padding_[3] = pixels;  // left
  markDirty();
}

std::string CartesianChart::svg() const {
  const double width = Widget::width().unit() == Length::Unit::Pixel ? Widget::width().value() : 600;
  const double height = Widget::height().unit() == Length::Unit::Pixel ? Widget::height().value() : 400;
  const std::string uid = id();

  // The values, as numbers (time points in seconds).
  const int rows = model_ ? model_->rowCount() : 0;
  std::vector<double> xs(static_cast<std::size_t>(rows), NaN);
  for (int r = 0; r < rows; ++r) xs[static_cast<std::size_t>(r)] = asNumber(model_->data(model_->index(r, xColumn_)));
  std::vector<std::vector<double>> ys;
  for (const auto& s : series_) {
    std::vector<double> col(static_cast<std::size_t>(rows), NaN);
    for (int r = 0; r < rows; ++r)
      col[static_cast<std::size_t>(r)] = asNumber(model_->data(model_->index(r, s.modelColumn())));
    ys.push_back(std::move(col));
  }
  // The last row of each series with a point, and the text written beside it.
  std::vector<int> lastRow(series_.size(), -1);
  std::vector<std::string> latestText(series_.size());
  double latestWidth = 0;
  for (std::size_t i = 0; i < series_.size(); ++i) {
    for (int r = rows - 1; r >= 0 && lastRow[i] < 0; --r) {
      const auto at = static_cast<std::size_t>(r);
      if (!std::isnan(xs[at]) && !std::isnan(ys[i][at])) lastRow[i] = r;
    }
    if (!series_[i].latestValueShown() || lastRow[i] < 0) continue;
    latestText[i] = valueLabel(ys[i][static_cast<std::size_t>(lastRow[i])]);
    if (!series_[i].unit().empty()) latestText[i] += " " + series_[i].unit();
    latestWidth = std::max(latestWidth, textWidth(latestText[i]) + 12);
  }

  // The plot area: room for the title, the axis titles and the latest values.
  const double left = padding_[3];
  const double top = padding_[0] + (title_.empty() ? 0 : 20) + (y_.title().empty() ? 0 : 14);
  const double right = std::max<double>(padding_[1], latestWidth);
  const double bottom = x_.title().empty() ? padding_[2] : std::max(padding_[2], 44);
  const double plotW = std::max(10.0, width - left - right);
  const double plotH = std::max(10.0, height - top - bottom);

  auto range = [](const std::vector<double>& v, double& lo, double& hi) {
    lo = std::numeric_limits<double>::infinity();
    hi = -lo;
    for (const double d : v)
      if (!std::isnan(d)) {
        lo = std::min(lo, d);
        hi = std::max(hi, d);
      }
  };
  double xMin, xMax;
  if (x_.autoLimits()) {
    range(xs, xMin, xMax);
  } else {
    xMin = x_.minimum();
    xMax = x_.maximum();
  }
  if (!std::isfinite(xMin) || !std::isfinite(xMax)) xMin = 0, xMax = 1;
  if (xMax <= xMin) xMax = xMin + 1;
  double yMin, yMax;
  if (y_.autoLimits()) {
    yMin = std::numeric_limits<double>::infinity();
    yMax = -yMin;
    for (const auto& col : ys) {
      double lo, hi;
      range(col, lo, hi);
      yMin = std::min(yMin, lo);
      yMax = std::max(yMax, hi);
    }
    if (!std::isfinite(yMin) || !std::isfinite(yMax)) yMin = 0, yMax = 1;
    if (yMax <= yMin) yMin -= 1, yMax += 1;
  } else {
    yMin = y_.minimum();
    yMax = y_.maximum();
    if (yMax <= yMin) yMax = yMin + 1;
  }
  const auto px = [&](double x) { return left + (x - xMin) / (xMax - xMin) * plotW; };
  const auto py = [&](double y) { return top + plotH - (y - yMin) / (yMax - yMin) * plotH; };

  std::string out;
  out.reserve(4096);
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(width) + "\" height=\"" + num(height) +
         "\" viewBox=\"0 0 " + num(width) + " " + num(height) + "\" class=\"w-chart-svg\">";
  out += "<defs><clipPath id=\"" + uid + "-clip\"><rect x=\"" + num(left) + "\" y=\"" + num(top) + "\" width=\"" +
         num(plotW) + "\" height=\"" + num(plotH) + "\"/></clipPath>";
  for (std::size_t i = 0; i < series_.size(); ++i) {
    const Shadow& sh = series_[i].shadow();
    if (sh.none()) continue;
    out += "<filter id=\"" + uid + "-shadow" + std::to_string(i) +
           "\" x=\"-10%\" y=\"-10%\" width=\"120%\" height=\"120%\"><feDropShadow dx=\"" + num(sh.offsetX) +
           "\" dy=\"" + num(sh.offsetY) + "\" stdDeviation=\"" + num(sh.blur / 2) + "\" flood-color=\"" +
           sh.color.css() + "\" flood-opacity=\"" + num(sh.color.opacity()) + "\"/></filter>";
  }
  out += "</defs>";
  if (!title_.empty()) text(out, width / 2, 16, "middle", "w-chart-title", title_);
  out += "<rect x=\"" + num(left) + "\" y=\"" + num(top) + "\" width=\"" + num(plotW) + "\" height=\"" +
         num(plotH) + "\" fill=\"none\" stroke=\"#bbb\"/>";

  // Y axis: grid lines and labels, the title above the labels.
  if (y_.isVisible()) {
    const double step = niceStep(yMax - yMin, 5);
    for (double v = std::ceil(yMin / step) * step; v <= yMax + step * 1e-9; v += step) {
      const double y = py(v);
      line(out, left, y, left + plotW, y, grid);
      text(out, left - 6, y + 4, "end", "w-chart-label", numberLabel(v, step));
    }
    if (!y_.title().empty()) {
      const bool fits = textWidth(y_.title()) <= left - 6;
      text(out, fits ? left - 6 : 2, top - 8, fits ? "end" : "start", "w-chart-axis-title", y_.title());
    }
  }
  // X axis: time or numbers, a grid line at every label, the title below.
  if (x_.isVisible()) {
    const bool time = x_.scale() == AxisScale::DateTime;
    const int labels = std::max(2, static_cast<int>(plotW / 90));
    const double step = time ? timeStep(xMax - xMin, labels) : niceStep(xMax - xMin, labels);
    for (double v = std::ceil(xMin / step) * step; v <= xMax + step * 1e-9; v += step) {
      const double x = px(v);
      line(out, x, top, x, top + plotH, grid);
      line(out, x, top + plotH, x, top + plotH + 5, "#888");
      std::string label;
      if (time) {
        const auto tp = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::duration<double>(v)));
        label = formatTime(tp, x_.labelFormat().empty() ? "hh:mm:ss" : x_.labelFormat());
      } else {
        label = numberLabel(v, step);
      }
      text(out, x, top + plotH + 18, "middle", "w-chart-label", label);
    }
    if (!x_.title().empty()) text(out, left + plotW / 2, top + plotH + 34, "middle", "w-chart-axis-title", x_.title());
  }

  // The series: one path per series, a new piece after every gap.
  bool anyPoint = false;
  out += "<g clip-path=\"url(#" + uid + "-clip)\">";
  for (std::size_t i = 0; i < series_.size(); ++i) {
    const DataSeries& s = series_[i];
    std::string d;
    bool pen = false;
    for (int r = 0; r < rows; ++r) {
      const double x = xs[static_cast<std::size_t>(r)], y = ys[i][static_cast<std::size_t>(r)];
      if (std::isnan(x) || std::isnan(y)) {
        pen = false;
        continue;
      }
      d += (pen ? "L" : "M") + num(px(x)) + " " + num(py(y)) + " ";
      pen = s.type() == SeriesType::Line;
    }
    if (d.empty()) continue;
    anyPoint = true;
    out += "<path d=\"" + d + "\" fill=\"none\" stroke=\"" + s.penColor().css() + "\" stroke-opacity=\"" +
           num(s.penColor().opacity()) + "\" stroke-width=\"" + num(s.penWidth()) + "\"";
    if (s.type() == SeriesType::Point) out += " stroke-linecap=\"round\"";
    if (!s.shadow().none()) out += " filter=\"url(#" + uid + "-shadow" + std::to_string(i) + ")\"";
    out += "/>";
  }
  out += "</g>";
  if (!anyPoint && !noData_.empty()) text(out, left + plotW / 2, top + plotH / 2, "middle", "w-chart-nodata", noData_);

  // The latest values: a dot on the point, the value beside it (kept inside
  // the plot's height), and the point's own numbers for scripts.
  for (std::size_t i = 0; i < series_.size(); ++i) {
    if (latestText[i].empty()) continue;
    const double xv = xs[static_cast<std::size_t>(lastRow[i])], yv = ys[i][static_cast<std::size_t>(lastRow[i])];
    const double x = px(xv), y = std::clamp(py(yv), top, top + plotH);
    char data[80];
    std::snprintf(data, sizeof data, " data-x=\"%.3f\" data-y=\"%.9g\"", xv, yv);
    out += "<g class=\"w-chart-latest\"";
    out += data;
    out += "><circle cx=\"" + num(x) + "\" cy=\"" + num(y) + "\" r=\"3.5\" fill=\"" + series_[i].penColor().css() +
           "\"/>";
    text(out, x + 7, std::clamp(y + 4, top + 10, top + plotH), "start", "w-chart-value", latestText[i]);
    out += "</g>";
  }
  if (legend_ && model_) {
    double y = top + 12;
    for (const auto& s : series_) {
      out += "<rect x=\"" + num(left + plotW - 110) + "\" y=\"" + num(y - 8) + "\" width=\"10\" height=\"10\" fill=\"" +
             s.penColor().css() + "\"/>";
      text(out, left + plotW - 95, y + 1, "start", "w-chart-label", asString(model_->headerData(s.modelColumn())));
      y += 16;
    }
  }
  out += "</svg>";
  return out;
}

void CartesianChart::renderElement(std::string& out) {
  openTag(out, "w-chart");
  out += '>';
  out += svg();
  out += "</div>";
}

}  // namespace web::chart
