// The back end of the web interface tests: the process-wide Modules on one
// scratch system root laid out by lab/make-sysroot.sh, for the whole test
// binary. Register it once per binary:
//   const auto* const backend = ::testing::AddGlobalTestEnvironment(new trl::test::GuiBackend);
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "gui/modules.h"
#include "tests/support/scratch.h"

namespace trl::test {

class GuiBackend : public ::testing::Environment {
 public:
  void SetUp() override {
    root_ = new ScratchRoot();  // kept to the end: the Modules live until exit
    const std::string command = std::string(TRL_SOURCE_DIR "/lab/make-sysroot.sh ") + root_->dir() + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    Modules::getInstance();
  }
  // The system root's directory.
  static const std::string& dir() { return root_->dir(); }

 private:
  static inline ScratchRoot* root_ = nullptr;
};

}  // namespace trl::test
