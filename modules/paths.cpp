#include "modules/paths.h"

#include "modules/error.h"

namespace trl {

namespace {
std::string& root() {
  static std::string value;
  return value;
}
}  // namespace

std::string normalSysroot(const std::string& dir) {
  std::string clean = dir;
  while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
  if (clean == "/") clean.clear();
  if (!clean.empty() && clean.front() != '/') throw TRL_ERROR("system root must be an absolute path: " + dir);
  return clean;
}

void setSysroot(const std::string& dir) { root() = normalSysroot(dir); }

const std::string& sysroot() { return root(); }

std::string sysPath(const std::string& fixed) {
  if (fixed.empty() || fixed.front() != '/') throw TRL_ERROR("not an absolute path: " + fixed);
  return root() + fixed;
}

}  // namespace trl

#include <sys/stat.h>

namespace trl {

namespace {
void ensureDirectory(const std::string& path, mode_t mode) {
  if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) throw TRL_SYSERROR("mkdir " + path + " failed");
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) throw TRL_SYSERROR("stat " + path + " failed");
  // A link planted in place of the directory would redirect what we write.
  if (!S_ISDIR(st.st_mode)) throw TRL_ERROR(path + " is not a directory");
}
}  // namespace

std::string privateDir() {
  const std::string state = sysPath("/var/lib/trellium");
  ensureDirectory(state, 0755);
  const std::string dir = state + "/private";
  ensureDirectory(dir, 0700);
  if (::chmod(dir.c_str(), 0700) != 0) throw TRL_SYSERROR("chmod " + dir + " failed");
  return dir;
}

}  // namespace trl
