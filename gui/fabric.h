// The Fabric geometry tab: every geometry the known servers allow, best
// first, and the height of the servers; a choice rebuilds the Wiring tab
// (through the shell) and with it the fabric description file.
// Used only inside its session, under the session's lock (not thread-safe).
#pragma once

#include <memory>
#include <string>

#include "gui/helpable_container.h"
#include "gui/model.h"

namespace web {
class ComboBox;
class Container;
class GridLayout;
class StandardItemModel;
class TableView;
class Text;
}  // namespace web

class FabricTab : public HelpableContainer {
 public:
  explicit FabricTab(Trellium* manager);

  // Recounts the servers, refills the list and selects again: the geometry
  // last applied (by any window) while it is offered, else the first row.
  // The height returns to 1U.
  void update(int event) override;
  // The height choice shows the "node-height" help while it has the focus.
  virtual void addHelpMessage();

  // The selection handler: a geometry was selected, by a click or by update.
  void userSelectGeometry();
  // The selected geometry text (row 0's without a selection, "" without
  // rows); kept in generalConfigData_.geometryType.
  std::string getGeometry();
  // The chosen height in rack units; kept in generalConfigData_.nodeHeight.
  int getNodeHeight();

  Model::GeneralConfigData& generalConfigData() { return generalConfigData_; }
  web::TableView* geometryTable() const { return geometryTable_; }
  web::ComboBox* nodeHeightCombo() const { return nodeHeightCombo_; }
  web::Text* statusText() const { return statusText_; }

 private:
  void addFabricSelectionPanel();
  // Has the shell rebuild the Wiring tab for the selection, remembers the
  // geometry for every window, and says what happened.
  void applySelection();
  // A person's choice rewrites the fabric description file: a line of the
  // audit log first. False (and the page says why) when it cannot be written.
  bool auditSelection();

  bool refilling_ = false;  // update() applies the selection once, at its end
  web::Container* fabricSelectionPanel_ = nullptr;
  web::Text* nodeHeightLabel_ = nullptr;
  web::ComboBox* nodeHeightCombo_ = nullptr;
  web::TableView* geometryTable_ = nullptr;
  std::shared_ptr<web::StandardItemModel> geometryModel_;
  web::GridLayout* inputGrid_ = nullptr;
  web::Text* statusText_ = nullptr;
  Model::GeneralConfigData generalConfigData_;
};
