// Reading a large file in one go: its size from fstat, then one read into
// memory mapped for it (more only if the file grows meanwhile). For the
// leases file, which an append-only log makes many megabytes long and which
// every rescan reads whole. The memory is mapped with its pages populated
// in one call: heap memory of that size would fault in page by page on
// every rescan, which costs several times the read itself; and it goes back
// to the system as soon as the text is dropped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace trl {

class SizedRead {
 public:
  // "constructing input stream on PATH failed" when the file cannot be read.
  explicit SizedRead(const std::string& path);
  ~SizedRead();
  SizedRead(const SizedRead&) = delete;
  SizedRead& operator=(const SizedRead&) = delete;

  std::string_view text() const { return {data_, used_}; }

 private:
  void reserve(size_t size, const std::string& failed);

  char* data_ = nullptr;
  size_t mapped_ = 0;  // bytes mapped at data_
  size_t used_ = 0;    // bytes read
};

}  // namespace trl
