// The Dashboard's counts: how many servers are known and how many are on,
// the latter also as a bar. Used only by its browser session, under its lock.
#pragma once

#include "gui/model.h"
#include "web/panel.h"

namespace web {
class ProgressBar;
class Text;
}  // namespace web

class OverviewPanel : public web::Panel {
 public:
  OverviewPanel();
  void setData(const Model::OverviewData& data);
  // Only checks that the settings module is there.
  void setData(const Model::SettingsData& data);

  // The share of servers on, in whole percent (rounded down; 0 without servers).
  static int onlinePercent(int noOfNodes, int noOfUpNodes);
  std::string totalText() const;
  std::string onlineText() const;
  double barValue() const;

 private:
  web::Text* addLabel(const char* markup);

  int lineCount_ = 0;
  web::Text* noOfNodesLabel_ = nullptr;
  web::Text* noOfNodes_ = nullptr;
  web::Text* noOfUpNodesLabel_ = nullptr;
  web::Text* noOfUpNodes_ = nullptr;
  web::ProgressBar* noOfUpNodesProgressBar_ = nullptr;
};
