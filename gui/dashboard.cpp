#include "gui/dashboard.h"

#include "gui/overview_panel.h"
#include "gui/powercontrol_panel.h"
#include "gui/serverlist_panel.h"
#include "modules/error.h"
#include "modules/nodes.h"
#include "web/box_layout.h"

Dashboard::Dashboard(Trellium* app) : HelpableContainer(app) {
  auto* column = setLayout(std::make_unique<web::VBoxLayout>());
  column->setSpacing(0);
  overviewPanel_ = column->addWidget(std::make_unique<OverviewPanel>());
  powerControlPanel_ = column->addWidget(std::make_unique<PowerControlPanel>());
  serverListPanel_ = column->addWidget(std::make_unique<ServerListPanel>());
}

void Dashboard::update(int event) {
  TRL_LOG("[Dashboard] Updating");
  if (!overviewData_.nodes) throw TRL_ERROR("nodes is NULL");
  overviewData_.noOfNodes = overviewData_.noOfUpNodes = 0;
  {
    const Nodes::SharedAccess table(*overviewData_.nodes);
    for (const Nodes::Node* node = table.begin(); node != table.end(); ++node) {
      ++overviewData_.noOfNodes;
      if (node->powerStatus() == Nodes::Node::Up) ++overviewData_.noOfUpNodes;
    }
  }
  overviewPanel_->setData(overviewData_);
  overviewPanel_->setData(settingsData_);
  powerControlPanel_->setData(overviewData_);
  serverListPanel_->setData(overviewData_, event);
}
