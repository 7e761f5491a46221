// The data records the shell hands to the tabs: plain structures of
// back-end pointers and a few values. The modules stay owned by Modules;
// the pointers are null until the shell sets them.
#pragma once

#include <string>

class Deployment;
class Geometry;
class Nodes;
class Settings;

namespace Model {

struct OverviewData {
  Nodes* nodes = nullptr;
  int noOfNodes = 0;
  int noOfUpNodes = 0;
  // Carried, but nothing fills or shows them.
  int noOfHealthyNodes = 0;
  int cpuUtilization = 0;
  int memUtilization = 0;
};

struct SettingsData {
  Settings* settings = nullptr;
  Nodes* nodes = nullptr;
  // The last values applied in this session.
  std::string ipmiUserName;
  std::string ipmiPassword;
};

struct NodeTableData {
  Nodes* nodes = nullptr;
};

struct GeneralConfigData {
  Geometry* geometry = nullptr;
  Nodes* nodes = nullptr;
  int noOfNodes = 0;
  int nodeHeight = 1;
  std::string geometryType;
};

struct WiringTableData {
  Geometry* geometry = nullptr;
  int noOfNodes = 8;
  int nodeHeight = 1;
  std::string geometryType;
};

struct DeploymentData {
  Deployment* deployment = nullptr;
};

}  // namespace Model
