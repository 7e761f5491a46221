// The Servers tab: the node table as an editable grid. Host names, MAC
// addresses and partitions are edited in place and written to the record and
// to disk at once; a double click on a power cell powers that server up or
// down; "Delete node" and "Clear" forget servers after asking. The line
// under the grid says what is wrong with the cluster's configuration.
// Used only inside its session, under the session's lock (not thread-safe).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gui/helpable_container.h"
#include "gui/model.h"
#include "web/event.h"
#include "web/item_model.h"

class ComboItemDelegate;
namespace web {
class PushButton;
class StandardItem;
class StandardItemModel;
class TableView;
class Text;
}  // namespace web

class NodeConfig : public HelpableContainer {
 public:
  // What the grid shows of one record, copied under the table's lock.
  struct Server {
    std::uint64_t eth0Mac = 0, mcMac = 0;  // which record it is
    std::string name, mcIp, mcMacText, eth0Ip, eth0MacText, brand, error;
    int power = 0;  // Nodes::Node::PowerStatus
    int partition = 0;
  };

  explicit NodeConfig(Trellium* manager);

  // A power-status event rewrites the power cells while the grid shows the
  // same servers in the same rows. Any other event, or other servers, bring
  // every cell up to date: rows whose server stayed change only where a
  // value did, and a new number of servers rebuilds the grid.
  void update(int event) override;
  // A cell the person changed (by typing, a drop or a choice), written into
  // its server's record and committed.
  void cellChanged(web::StandardItem* item);
  // A double click on a power cell powers the server down or up, after asking.
  void handleDoubleClick(const web::ModelIndex& index, const web::MouseEvent& event);
  void commit();
  // The "Clear" button: forgets every server, after asking.
  void reset();
  // The "Delete node" button: forgets the selected server, after asking.
  void deleteNode();
  // A click in the grid shows the grid's help.
  void addHelpMessage();

  // The partition choices: "-1" up to count - 1. A count below 1 is refused.
  static std::vector<std::string> partitionChoices(int count);

  Model::NodeTableData& nodeTableData() { return nodeTableData_; }
  web::TableView* nodeTable() const { return nodeTable_; }
  const std::shared_ptr<web::StandardItemModel>& model() const { return model_; }
  web::Text* warningText() const { return warningText_; }
  web::PushButton* clearButton() const { return clearBtn_; }
  web::PushButton* deleteButton() const { return deleteBtn_; }
  const std::vector<std::string>& offeredPartitions() const { return offeredPartitions_; }

 private:
  struct Columns;
  using Key = std::pair<std::uint64_t, std::uint64_t>;

  void addNodeTable();
  Columns columns() const;
  std::vector<Server> readServers();
  void rebuild(const std::vector<Server>& servers, const Columns& c);
  void refreshRows(const std::vector<Server>& servers, const Columns& c);
  void setPowerCell(web::StandardItem& item, const Server& server) const;
  void offerPartitions(int count);
  void updateWarning(bool empty);
  // Shows a typed value the record refused: the cell goes back to the
  // record's value, marked with the reason, and a box says it.
  // (say false: the page was told already).
  void refuse(web::StandardItem& item, const std::string& typed, const std::string& reason, bool say = true);
  // The name of the server in row (takes the table's shared lock).
  std::string serverName(int row) const;

  web::Text* warningText_ = nullptr;
  web::TableView* nodeTable_ = nullptr;
  std::shared_ptr<web::StandardItemModel> model_;
  web::PushButton* clearBtn_ = nullptr;
  web::PushButton* deleteBtn_ = nullptr;
  std::shared_ptr<ComboItemDelegate> comboDelegate_;
  Model::NodeTableData nodeTableData_;
  int noOfNodes_ = 0;
  int noOfPartition_ = 1;
  std::vector<std::string> offeredPartitions_;
  std::vector<Key> keys_;  // the record each row shows
  bool refreshing_ = false;  // cells change by update(), not by a person
};
