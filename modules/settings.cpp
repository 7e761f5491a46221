#include "modules/settings.h"

#include <vector>

#include "modules/error.h"
#include "modules/paths.h"
#include "modules/utils.h"

namespace {

const char* const dpkg = "/usr/bin/dpkg";

// The package manager would read a name starting with "-" as one of its own
// options; the upload always hands over an absolute path.
void requirePackagePath(const std::string& file) {
  if (file.empty() || file.front() != '/') throw TRL_ERROR("package file is not an absolute path: " + file);
}

void runDpkg(std::vector<std::string> words) {
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(&word[0]);
  args.push_back(nullptr);
  launch(args.data(), 0, true, true);
}

}  // namespace

void Settings::validateTrellium(const std::string& file) const {
  TRL_LOG("Validating Trellium from package file " << file);
  requirePackagePath(file);
  runDpkg({trl::sysPath(dpkg), "--dry-run", "-i", file});
}

void Settings::upgradeTrellium(const std::string& file) const {
  TRL_LOG("Upgrading Trellium from package file " << file);
  requirePackagePath(file);
  runDpkg({trl::sysPath(dpkg), "-i", file});
}
