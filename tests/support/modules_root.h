// The web interface's tests share the process's one back end (Modules): it
// is made once per test binary, in a scratch system root laid out as a
// management host by lab/make-sysroot.sh. A binary registers it once:
//   const auto* const backend = ::testing::AddGlobalTestEnvironment(new trl::test::ModulesRoot);
// with the back end's default configuration, or with its own.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "gui/modules.h"
#include "gui/trellium.h"
#include "tests/support/scratch.h"
#include "web/environment.h"

namespace trl::test {

class ModulesRoot : public ::testing::Environment {
 public:
  explicit ModulesRoot(Nodes::Config config = {}) : config_(std::move(config)) {}
  void SetUp() override {
    // Kept to the end of the process: the back end outlives every test.
    root() = new ScratchRoot();
    const std::string command = std::string(TRL_SOURCE_DIR "/lab/make-sysroot.sh ") + dir() + " >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    Modules::create(config_);
  }
  static const std::string& dir() { return root()->dir(); }

 private:
  const Nodes::Config config_;
  static ScratchRoot*& root() {
    static ScratchRoot* scratch = nullptr;
    return scratch;
  }
};

// A session as the web server's factory makes one, on the shared back end:
// the shell built with the build's resources, the modules handed over,
// every tab refreshed.
inline std::unique_ptr<Trellium> openTrellium(web::Environment env) {
  env.setAppRoot(TRL_BINARY_DIR "/resources/");
  auto app = std::make_unique<Trellium>(env);
  app->initWidgets();
  app->setModules(Modules::getInstance());
  app->setTabModules();
  app->update();
  return app;
}

}  // namespace trl::test
