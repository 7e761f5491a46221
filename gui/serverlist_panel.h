// The Dashboard's server column: one line per server (name, picture, power
// state in words) beside the detail panel of the server last clicked.
// Used only by its browser session, under the session's lock.
#pragma once

#include <string>
#include <vector>

#include "gui/model.h"
#include "modules/nodes.h"
#include "web/image.h"
#include "web/panel.h"

class ServerDetailContainer;
namespace web {
class GridLayout;
class HBoxLayout;
class Text;
}  // namespace web

// A server's picture in the column: on, off or error, framed when selected.
class ServerImage : public web::Image {
 public:
  // node is copied (records move when the table grows); sn is its index.
  ServerImage(const Nodes::Node& node, int sn);
  void selected(bool selected);
  bool isSelected() const { return selected_; }
  // Re-picks the picture; the second form first takes the record's new state.
  void update();
  void update(const Nodes::Node& node);
  const Nodes::Node& getNode() const { return node_; }
  int getSerialNumber() const { return sn_; }

  static std::string pictureFor(Nodes::Node::PowerStatus status, bool selected);

 private:
  void mouseOver();
  void mouseOut();

  bool selected_ = false;
  Nodes::Node node_;
  int sn_;
};

class ServerListPanel : public web::Panel {
 public:
  // Which field the last save changed, to find the server after the rebuild.
  enum Changed { NAME = 0, MAC = 1, MC_MAC = 2 };

  ServerListPanel();
  // Follows the registry: a power status event with as many servers as
  // pictures re-picks the pictures; anything else rebuilds the column, and
  // the detail panel stays open on its server while that is listed.
  void setData(const Model::OverviewData& data, int event);

  const std::vector<ServerImage*>& serverImages() const { return serverImageList_; }
  ServerDetailContainer* serverContainer() const { return serverContainer_; }
  int nodeNumber() const { return nodeNumber_; }

 private:
  void refreshPowerStatus(const std::vector<Nodes::Node>& records);
  void rebuild(const std::vector<Nodes::Node>& records);
  void buildColumn(const std::vector<Nodes::Node>& records);
  int serverToReopen(const std::vector<Nodes::Node>& records, const std::string& openServer);
  static std::string identity(const Nodes::Node& node);
  void openServerContainer(ServerImage* image, bool keepTypedText = false);
  void saveServerConfiguration();
  void powerOn(const std::string& mcMac);
  void powerOff(const std::string& mcMac);
  void shutDown(const std::string& mcMac);
  void reset(const std::string& mcMac);
  void sendPowerCommand(const std::string& mcMac, IPMI::power_t kind);

  Changed changed_ = NAME;
  std::string changedData_;
  Nodes* nodes_ = nullptr;
  web::GridLayout* gridLayout_ = nullptr;
  web::HBoxLayout* hboxLayout_ = nullptr;
  web::Container* gridContainer_;
  ServerDetailContainer* serverContainer_ = nullptr;
  std::string docRoot_;
  std::vector<ServerImage*> serverImageList_;
  std::vector<web::Text*> stateWords_;  // beside each picture, in the same order
  int nodeNumber_ = -1;
  std::vector<web::ScopedConnection> panelButtons_;  // the detail panel's buttons, bound to its server
};
