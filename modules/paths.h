// Every fixed path of the system goes through sysPath(), which puts the
// system root in front. The root is set once at start (--sysroot DIR); empty
// means the real paths. Tests, the lab and the demo use a scratch root.
#pragma once

#include <string>

namespace trl {

void setSysroot(const std::string& dir);
// The form the root is kept in: "/srv/root/" is "/srv/root", "/" is "" (the
// real paths). A relative path throws _Error.
std::string normalSysroot(const std::string& dir);
const std::string& sysroot();
// "/etc/hosts" -> sysroot + "/etc/hosts". The argument must be absolute.
std::string sysPath(const std::string& fixed);

}  // namespace trl

namespace trl {

// The state directory's private part (mode 0700, created on first use):
// caches and reports that other local users must neither read nor replace.
std::string privateDir();

}  // namespace trl
