// The Wiring tab: the cabling scheme and the cabling list of the geometry the
// Fabric geometry tab selected. Building the list is also the moment the
// fabric description file is rewritten.
// Used only inside its session, under the session's lock (not thread-safe).
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "gui/helpable_container.h"
#include "gui/model.h"

namespace web {
class Container;
class StandardItemModel;
class TableView;
}  // namespace web

class Wiring : public HelpableContainer {
 public:
  explicit Wiring(Trellium* manager);

  // Rebuilds from wiringTableData_: the cabling list, the fabric file, the
  // picture and the table. A list that cannot be built or a file that cannot
  // be written is shown in the tab, in red, in place of the list; the file
  // on disk then stays as it was.
  void update(int event) override;

  Model::WiringTableData& wiringTableData() { return wiringTableData_; }
  Model::NodeTableData& nodeTableData() { return nodeTableData_; }
  // What the last update could not do, for the person; "" when it did all.
  const std::string& error() const { return error_; }
  web::TableView* wiringTable() const { return wiringTable_; }
  const std::shared_ptr<web::StandardItemModel>& model() const { return model_; }

 private:
  void addWiringTable(web::Container* parent);
  void showError(const std::string& what, const std::string& advice, const std::exception& e);

  web::Container* container_;  // the picture, then the table
  web::TableView* wiringTable_ = nullptr;
  std::shared_ptr<web::StandardItemModel> model_;
  Model::WiringTableData wiringTableData_;
  Model::NodeTableData nodeTableData_;
  std::string error_;
};
