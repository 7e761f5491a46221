// The Monitoring tab's sensor table: every threshold sensor of the chosen
// server with its reading and its state, as the server's controller last
// reported them, or the reason there are none (said through warning()).
// Used only by its browser session, under the session's lock.
#pragma once

#include <memory>
#include <string>

#include "gui/helpable_container.h"
#include "modules/ipmi.h"
#include "web/signals.h"

class Nodes;
namespace web {
class Panel;
class StandardItemModel;
class TableView;
}  // namespace web

class MonitorTable : public HelpableContainer {
 public:
  explicit MonitorTable(Trellium* manager);
  // At every sampling round and power status change: the readings follow
  // the controller, and a controller that stops answering empties the table
  // with a "connection error" warning instead of leaving old readings up.
  void update(int fd) override;
  // The server was chosen: reads its table (logged).
  void update(Nodes* nodes);
  void setModule(Nodes* nodes) { nodes_ = nodes; }
  void setHostname(const std::string& name) { hostname_ = name; }
  const std::string& hostname() const { return hostname_; }
  const std::shared_ptr<IPMI>& getIPMI() const { return ipmi_; }
  // Why the table is empty ("" when it is not); emitted at every read.
  web::Signal<std::string>& warning() { return warn_; }
  // Emitted by a sampling round that changed the list of sensor names
  // (a first sensor pass completed, a controller came back).
  web::Signal<>& sensorsChanged() { return sensorsChanged_; }

  // The table shown: the header row, then one row per sensor. Texts from
  // the controller are shown as plain text; a known state word gets the
  // class that colours and marks it.
  void setRows(const IPMI::SensorList& rows);
  const IPMI::SensorList& rows() const { return rows_; }
  // The style class of a state word: "trl-sensor-critical", or "" for a
  // word the system does not write.
  static std::string stateClass(const std::string& state);

  web::TableView* view() const { return nodeTable_; }
  const std::shared_ptr<web::StandardItemModel>& model() const { return model_; }
  web::Panel* panel() const { return containerPanel_; }

 private:
  bool read(Nodes& nodes);  // true when the sensor names changed
  void showNothing(const std::string& why);
  static bool sameNames(const IPMI::SensorList& a, const IPMI::SensorList& b);

  web::Signal<std::string> warn_;
  web::Signal<> sensorsChanged_;
  web::TableView* nodeTable_;
  std::shared_ptr<web::StandardItemModel> model_;
  web::Panel* containerPanel_;
  std::shared_ptr<IPMI> ipmi_;
  std::string hostname_;
  IPMI::SensorList rows_;
  Nodes* nodes_ = nullptr;
};
