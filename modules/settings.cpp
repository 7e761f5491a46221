#include "modules/settings.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <sstream>
#include <vector>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/paths.h"
#include "modules/utils.h"

namespace {

const char* const dpkg = "/usr/bin/dpkg";
const char* const dpkg_deb = "/usr/bin/dpkg-deb";
const char* const trellium_package = "trellium";
// A control file is a few kilobytes; anything much larger is not ours.
const off_t control_size_limit = 1 << 20;

// The package manager would read a name starting with "-" as one of its own
// options; the upload always hands over an absolute path.
void requirePackagePath(const std::string& file) {
  if (file.empty() || file.front() != '/') throw TRL_ERROR("package file is not an absolute path: " + file);
}

void run(std::vector<std::string> words) {
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(&word[0]);
  args.push_back(nullptr);
  launch(args.data(), 0, true, true);
}

// A directory of our own for one look into a package, removed with all
// that the package put there.
class WorkDir {
 public:
  WorkDir() : path_(trl::privateDir() + "/package-XXXXXX") {
    if (::mkdtemp(&path_[0]) == nullptr) throw TRL_SYSERROR("mkdtemp failed");
  }
  ~WorkDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  WorkDir(const WorkDir&) = delete;
  WorkDir& operator=(const WorkDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The uploaded package's own text goes into messages and the log: printable
// characters only, and not too many of them.
std::string printable(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (out.size() == 64) return out + "...";
    out += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
  }
  return out;
}

// The Package field of a control file that an uploaded package brought.
std::string packageField(const std::string& control) {
  struct stat st;
  // A link would make us read (and show) a file of the host instead.
  if (::lstat(control.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > control_size_limit)
    throw TRL_ERROR("not a Debian package: it has no usable control file");
  std::istringstream lines(trl::readWholeFile(control));
  const std::string field = "package:";
  for (std::string line; std::getline(lines, line);) {
    if (line.size() < field.size()) continue;
    std::string key = line.substr(0, field.size());
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (key != field) continue;
    const std::size_t begin = line.find_first_not_of(" \t", field.size());
    const std::size_t end = line.find_last_not_of(" \t\r");
    return begin == std::string::npos ? "" : line.substr(begin, end - begin + 1);
  }
  return "";
}

// Any package uploaded here would be installed as root: only Trellium's own
// gets as far as the package manager.
void requireTrelliumPackage(const std::string& file, const WorkDir& work) {
  const std::string control = work.path() + "/control";
  try {
    run({trl::sysPath(dpkg_deb), "--control", file, control});
  } catch (const _Error&) {
    throw TRL_ERROR("not a Debian package (or a damaged one); upload a Trellium package file");
  }
  const std::string name = packageField(control + "/control");
  if (name != trellium_package) throw TRL_ERROR("not a Trellium package: " + printable(name));
}

// The package manager's dry run reads no further than the control part, so
// a package cut short in transfer would pass it and fail half way through
// the installation. Unpacking every file of it (to be thrown away) finds
// the damage first.
void requireWholePackage(const std::string& file, const WorkDir& work) {
  try {
    run({trl::sysPath(dpkg_deb), "--extract", file, work.path() + "/files"});
  } catch (const _Error&) {
    throw TRL_ERROR("the package file is damaged or incomplete; upload it again");
  }
}

}  // namespace

void Settings::validateTrellium(const std::string& file) const {
  TRL_LOG("Validating Trellium from package file " << file);
  requirePackagePath(file);
  {
    const WorkDir work;
    requireTrelliumPackage(file, work);
    requireWholePackage(file, work);
  }
  run({trl::sysPath(dpkg), "--dry-run", "-i", file});
}

void Settings::upgradeTrellium(const std::string& file) const {
  TRL_LOG("Upgrading Trellium from package file " << file);
  requirePackagePath(file);
  // Nobody can answer dpkg's question about a configuration file that the
  // administrator changed (standard input is not a person here): without an
  // answer given in advance it would stop half way, the package half
  // installed. Keep the administrator's file; the package's version lands
  // beside it as FILE.dpkg-dist.
  run({trl::sysPath(dpkg), "--force-confdef", "--force-confold", "-i", file});
}
