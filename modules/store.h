// A growable array of fixed-size records that lives in a file through a
// shared memory mapping: the array in memory is the file. No header, no
// count: the file is the records back to back. The owner serialises access.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "modules/error.h"
#include "modules/paths.h"

template <typename T>
class Store {
  static_assert(std::is_trivially_copyable<T>::value, "records are moved as raw bytes");

 public:
  static constexpr const char* path_base = "/var/lib/trellium";
  static constexpr int granularity = 10;
  static constexpr size_t pagesize = 4096;

  Store(const char* name, bool persistent, bool truncate)
      : path(trl::sysPath(path_base) + "/" + name + ".db"), persistent(persistent) {
    TRL_LOG("loading " << path);
    map_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (map_fd < 0) throw TRL_SYSERROR("open failed");
    try {
      if (truncate && ::ftruncate(map_fd, 0) != 0) throw TRL_SYSERROR("ftruncate failed");
      struct stat st;
      if (::fstat(map_fd, &st) != 0) throw TRL_SYSERROR("fstat failed");
      const size_t length = static_cast<size_t>(st.st_size);
      // Records are written through the mapping: every page of the file
      // must be backed (a sparse file on a full disk would raise SIGBUS).
      if (length > 0) {
        const int failed = ::posix_fallocate(map_fd, 0, static_cast<off_t>(length));
        if (failed != 0) {
          errno = failed;
          throw TRL_SYSERROR("posix_fallocate failed");
        }
      }
      map_len = roundToPage(length);
      void* map = ::mmap(nullptr, map_len, PROT_READ | PROT_WRITE, MAP_SHARED, map_fd, 0);
      if (map == MAP_FAILED) {
        map_len = 0;
        throw TRL_SYSERROR("mmap failed");
      }
      elem_start = static_cast<T*>(map);
      elem_end = elem_max = elem_start + length / sizeof(T);
    } catch (...) {
      // Never trim or unlink here: a file we failed to map still holds the table.
      ::close(map_fd);
      throw;
    }
  }

  ~Store() { release(); }

  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  void commit() {
    TRL_LOG("Flushing to mapped file");
    if (::fdatasync(map_fd) != 0) throw TRL_SYSERROR("fdatasync failed");
    TRL_LOG("Flushing to mapped file done");
  }

  void reserve(int n) {
    const long free_slots = elem_max - elem_end;
    if (free_slots >= n) return;
    const long missing = n - free_slots;
    const size_t grown = capacity() + static_cast<size_t>((missing + granularity - 1) / granularity * granularity);
    // The mapping is written at once: a page the file system cannot back
    // would kill the process with SIGBUS on a full disk. The space is
    // reserved first, and a failure leaves the store as it was.
    const int failed = ::posix_fallocate(map_fd, 0, static_cast<off_t>(grown * sizeof(T)));
    if (failed != 0) {
      errno = failed;
      throw TRL_SYSERROR("posix_fallocate failed");
    }
    elem_max = elem_start + grown;
    resizeFile();
    remap();
  }

  void push_back(const T& rec) {
    reserve(1);
    *elem_end = rec;
    ++elem_end;
  }

  void pop_back() {
    if (elem_end == elem_start) return;
    --elem_end;
    compact();
  }

  T* erase(T* p) {
    if (p < elem_start || p >= elem_end) throw TRL_SYSERROR("Out of bound deletion");
    const long index = p - elem_start;
    std::memmove(static_cast<void*>(p), static_cast<const void*>(p + 1),
                 static_cast<size_t>(elem_end - p - 1) * sizeof(T));
    --elem_end;
    compact();
    return elem_start + index;  // compact() may have moved the mapping
  }

  void compact() {
    if (elem_max - elem_end < granularity + 1) return;
    elem_max -= granularity;
    resizeFile();
    remap();
  }

  void remap() {
    const size_t new_len = roundToPage(capacity() * sizeof(T));
    if (new_len == map_len) return;
    void* map = ::mremap(elem_start, map_len, new_len, MREMAP_MAYMOVE);
    if (map == MAP_FAILED) throw TRL_SYSERROR("mmap/mremap failed");
    const size_t count = size(), cap = capacity();
    map_len = new_len;
    elem_start = static_cast<T*>(map);
    elem_end = elem_start + count;
    elem_max = elem_start + cap;
  }

  void clear() { elem_end = elem_start; }

  size_t size() const { return static_cast<size_t>(elem_end - elem_start); }
  size_t capacity() const { return static_cast<size_t>(elem_max - elem_start); }
  T* begin() { return elem_start; }
  T* end() { return elem_end; }
  const T* begin() const { return elem_start; }
  const T* end() const { return elem_end; }
  T& operator[](int i) { return elem_start[i]; }
  const T& operator[](int i) const { return elem_start[i]; }
  int getMapFd() const { return map_fd; }

 private:
  static size_t roundToPage(size_t bytes) {
    const size_t pages = (bytes + pagesize - 1) / pagesize;
    return (pages == 0 ? 1 : pages) * pagesize;
  }

  void resizeFile() {
    if (::ftruncate(map_fd, static_cast<off_t>(capacity() * sizeof(T))) != 0) throw TRL_SYSERROR("ftruncate failed");
  }

  // Orderly close: each step runs whatever the previous one did.
  void release() {
    const size_t in_use = size() * sizeof(T);
    if (map_len != 0 && ::munmap(elem_start, map_len) != 0) TRL_SYSWARN("munmap failed");
    map_len = 0;
    elem_start = elem_end = elem_max = nullptr;
    if (map_fd < 0) return;
    if (::ftruncate(map_fd, static_cast<off_t>(in_use)) != 0) TRL_SYSWARN("ftruncate failed");
    if (::close(map_fd) != 0) TRL_SYSWARN("close failed");
    map_fd = -1;
    if (!persistent && ::unlink(path.c_str()) != 0) TRL_SYSWARN("unlink failed");
  }

  std::string path;
  bool persistent;
  int map_fd = -1;
  size_t map_len = 0;
  T* elem_start = nullptr;
  T* elem_end = nullptr;
  T* elem_max = nullptr;
};
