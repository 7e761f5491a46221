#include "paths.h"

#include "error.h"

namespace trl {

namespace {
std::string& root() {
  static std::string value;
  return value;
}
}  // namespace

void setSysroot(const std::string& dir) {
  std::string clean = dir;
  while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
  if (clean == "/") clean.clear();
  if (!clean.empty() && clean.front() != '/') throw TRL_ERROR("system root must be an absolute path: " + dir);
  root() = clean;
}

const std::string& sysroot() { return root(); }

std::string sysPath(const std::string& fixed) {
  if (fixed.empty() || fixed.front() != '/') throw TRL_ERROR("not an absolute path: " + fixed);
  return root() + fixed;
}

}  // namespace trl
