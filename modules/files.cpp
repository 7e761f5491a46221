#include "modules/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "modules/error.h"
#include "modules/unique_fd.h"

namespace trl {

namespace {

std::string stagingPattern(const std::string& target) {
  const size_t slash = target.rfind('/');
  return target.substr(0, slash + 1) + "." + target.substr(slash + 1) + ".XXXXXX";
}

// Owns the staging file until it has been renamed into place.
class StagingFile {
 public:
  // Hidden, so that nothing serving the directory (the TFTP tree) lists it.
  explicit StagingFile(const std::string& target) : path_(stagingPattern(target)) {
    fd_ = mkostemp(path_.data(), O_CLOEXEC);
    if (fd_ < 0) {
      renamed_ = true;  // nothing was created, nothing to remove
      throw TRL_SYSERROR("constructing output stream on " + stagingPattern(target) + " failed");
    }
  }
  ~StagingFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!renamed_) ::unlink(path_.c_str());
  }
  StagingFile(const StagingFile&) = delete;
  StagingFile& operator=(const StagingFile&) = delete;

  void write(const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw TRL_SYSERROR("writing " + path_ + " failed");
      done += static_cast<size_t>(n);
    }
  }
  void finish(mode_t mode) {
    if (::fchmod(fd_, mode) != 0) throw TRL_SYSERROR("chmod " + path_ + " failed");
    // Without this a crash soon after the rename can leave an empty file.
    if (::fdatasync(fd_) != 0) throw TRL_SYSERROR("fdatasync " + path_ + " failed");
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw TRL_SYSERROR("writing " + path_ + " failed");
  }
  const std::string& path() const { return path_; }
  void renameOver(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) throw TRL_SYSERROR("rename failed");
    renamed_ = true;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool renamed_ = false;
};

}  // namespace

std::string readWholeFile(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) throw TRL_SYSERROR("constructing input stream on " + path + " failed");
  std::string text;
  struct stat st;
  if (::fstat(fd.get(), &st) == 0 && st.st_size > 0) text.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw TRL_SYSERROR("constructing input stream on " + path + " failed");
    if (n == 0) return text;
    text.append(buffer, static_cast<size_t>(n));
  }
}

void replaceFile(const std::string& target, const std::string& text,
                 const std::function<void(const std::string& staged)>& before_rename, int new_mode) {
  struct stat st;
  const bool exists = ::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  const mode_t mode = new_mode >= 0 ? static_cast<mode_t>(new_mode) : exists ? (st.st_mode & 07777) : 0644;
  StagingFile staging(target);
  staging.write(text);
  staging.finish(mode);
  if (before_rename) before_rename(staging.path());
  staging.renameOver(target);
}

void removeStagingLeftovers(const std::string& target) {
  const size_t slash = target.rfind('/');
  const std::string dir = target.substr(0, slash + 1), prefix = "." + target.substr(slash + 1) + ".";
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
  if (!listing) return;
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string name = entry->d_name;
    // mkostemp's six characters after the name.
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
    TRL_LOG("removing staging leftover " << dir << name);
    if (::unlink((dir + name).c_str()) != 0) TRL_SYSWARN("unlink " + dir + name + " failed");
  }
}

}  // namespace trl
