// The page's link to the server at a glance: connected or not, in words and
// a shape, and the time of the last update the page received. The client
// script fills it in (it alone knows), after every update and whenever the
// link changes; put one in a status or tool bar.
#pragma once

#include "web/widget.h"

namespace web {

class ConnectionStatus : public Widget {
 public:
  ConnectionStatus();

 protected:
  void renderElement(std::string& out) override;
};

}  // namespace web
