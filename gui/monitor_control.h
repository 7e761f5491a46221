// The Monitoring tab: a server and a sensor to choose, a warning line, the
// chart of the chosen sensor's history and the chosen server's sensor
// table. The choice lives in the one shared History, so every page charts
// the same series and each page's choices follow a choice made on another.
// Used only by its browser session, under the session's lock.
#pragma once

#include <string>

#include "gui/helpable_container.h"
#include "modules/ipmi.h"

class ChartContainer;
class MonitorTable;
class Nodes;
namespace web {
class ComboBox;
class GridLayout;
class Text;
}  // namespace web

class MonitorControl : public HelpableContainer {
 public:
  explicit MonitorControl(Trellium* manager);
  // A node-list event returns the tab, and the shared history, to the first
  // server with a controller. A full refresh (0, a new page) shows what the
  // history already records when that server is still listed.
  void update(int fd) override;
  // Hands the registry to the tab, its chart and its table.
  void setModule(Nodes* nodes);
  ChartContainer* chartContainer() const { return chartContainer_; }
  MonitorTable* monitorTable() const { return monitorTable_; }
  web::ComboBox* nodeNameCombo() const { return nodeNameCombo_; }
  web::ComboBox* sensorCombo() const { return sensorCombo_; }
  web::Text* warningText() const { return warning_; }

 private:
  // The person (or a node-list event) chose a server: the history records
  // it, with its first sensor.
  void nodeChanged();
  void sensorChanged();
  // Shows a server's table and sensors; the sensor chosen is the first
  // (pickFirst) or the one the history records.
  void showServer(const std::string& name, bool pickFirst);
  // Fills the sensor combo with the names of the table's rows (each once).
  // With pickFirst the first becomes the history's sensor; without, the
  // combo shows the sensor the history records (the first when none is).
  void updateSensorCombo(const IPMI::SensorList& rows, bool pickFirst);
  void updateWarning(const std::string& text);
  // Another page changed the shared choice: this page's combos follow.
  void followHistory(const std::string& node, const std::string& sensor);

  web::Text* nodeNameLabel_;
  web::Text* warning_;
  web::Text* sensorLabel_;
  web::ComboBox* nodeNameCombo_;
  web::ComboBox* sensorCombo_;
  web::GridLayout* grid_;
  web::Container* container_;
  ChartContainer* chartContainer_;
  MonitorTable* monitorTable_;
  Nodes* nodes_ = nullptr;
};
