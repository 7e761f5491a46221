#include "modules/sized_read.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "modules/error.h"
#include "modules/unique_fd.h"

namespace trl {

SizedRead::SizedRead(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const std::string failed = "constructing input stream on " + path + " failed";
  if (!fd) throw TRL_SYSERROR(failed);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw TRL_SYSERROR(failed);
  // One byte of room beyond the size shows the end of the file without a
  // second call; a file that grew gets more room and more reads.
  reserve(static_cast<size_t>(st.st_size > 0 ? st.st_size : 0) + 1, failed);
  for (;;) {
    if (used_ == mapped_) reserve(mapped_ * 2, failed);
    const ssize_t n = ::read(fd.get(), data_ + used_, mapped_ - used_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw TRL_SYSERROR(failed);
    if (n == 0) break;
    used_ += static_cast<size_t>(n);
  }
}

SizedRead::~SizedRead() {
  if (data_) ::munmap(data_, mapped_);
}

void SizedRead::reserve(size_t size, const std::string& failed) {
  void* const at = data_ ? ::mremap(data_, mapped_, size, MREMAP_MAYMOVE)
                         : ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                                  -1, 0);
  if (at == MAP_FAILED) throw TRL_SYSERROR(failed);
  data_ = static_cast<char*>(at);
  mapped_ = size;
}

}  // namespace trl
