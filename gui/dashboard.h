// The first tab: the counts, the group power commands and the server column
// with its detail panel. One per browser session; used only by that session,
// under its lock.
#pragma once

#include "gui/helpable_container.h"
#include "gui/model.h"

class Nodes;
class OverviewPanel;
class PowerControlPanel;
class ServerListPanel;
class Settings;

class Dashboard : public HelpableContainer {
 public:
  explicit Dashboard(Trellium* app);
  // Follows the registry's events (0: refresh everything).
  void update(int event) override;
  void setModule(Nodes* nodes) { overviewData_.nodes = nodes; }
  void setModule(Settings* settings) { settingsData_.settings = settings; }

  OverviewPanel* overviewPanel() const { return overviewPanel_; }
  PowerControlPanel* powerControlPanel() const { return powerControlPanel_; }
  ServerListPanel* serverListPanel() const { return serverListPanel_; }

 private:
  OverviewPanel* overviewPanel_;
  PowerControlPanel* powerControlPanel_;
  ServerListPanel* serverListPanel_;
  Model::OverviewData overviewData_;
  Model::SettingsData settingsData_;
};
