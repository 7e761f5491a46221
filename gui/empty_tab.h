// A tab whose content is still to come: it holds its place, its title and
// its help, and ignores events.
#pragma once

#include "helpable_container.h"

class EmptyTab : public HelpableContainer {
 public:
  using HelpableContainer::HelpableContainer;
  void update(int) override {}
};
