#include "modules/sized_read.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "modules/error.h"
#include "modules/unique_fd.h"

namespace trl {

std::string readSized(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const std::string failed = "constructing input stream on " + path + " failed";
  if (!fd) throw TRL_SYSERROR(failed);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw TRL_SYSERROR(failed);
  // One byte of room beyond the size shows the end of the file without a
  // second call; a file that grew gets more room and more reads.
  std::string text(static_cast<size_t>(st.st_size > 0 ? st.st_size : 0) + 1, '\0');
  size_t used = 0;
  for (;;) {
    if (used == text.size()) text.resize(text.size() * 2);
    const ssize_t n = ::read(fd.get(), &text[used], text.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw TRL_SYSERROR(failed);
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  text.resize(used);
  return text;
}

}  // namespace trl
