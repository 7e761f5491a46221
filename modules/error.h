// Exception classes, warnings and the log line shared by every source file.
#pragma once

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace trl {

// The build maps the source root away from __FILE__ (-fmacro-prefix-map), so
// "modules/utils.cpp" is left; messages show it without the extension.
template <std::size_t N>
constexpr std::array<char, N> sourceName(const char (&file)[N]) {
  std::array<char, N> out{};
  std::size_t end = N - 1;
  for (std::size_t i = N - 1; i-- > 0;) {
    if (file[i] == '.') { end = i; break; }
    if (file[i] == '/') break;
  }
  for (std::size_t i = 0; i < end; ++i) out[i] = file[i];
  return out;
}

}  // namespace trl

// The current source file as shown in messages, e.g. "modules/utils".
#define TRL_HERE                                                                 \
  ([]() -> const char* {                                                       \
    static constexpr auto trl_name_ = ::trl::sourceName(__FILE__);             \
    return trl_name_.data();                                                   \
  }())

class _Error : public std::exception {
 public:
  std::string message;
  _Error(const char* file, int line, const char* s) : _Error(file, line, std::string(s)) {}
  _Error(const char* file, int line, const std::string& s)
      : message("[" + std::string(file) + ":" + std::to_string(line) + "] " + s) {}
  virtual ~_Error() = default;
  const char* what() const noexcept override { return message.c_str(); }
};

class _SysError : public std::exception {
 public:
  std::string message;
  // These read errno: build the object directly after the failed call.
  _SysError(const char* file, int line, const char* s) : _SysError(file, line, std::string(s), errno) {}
  _SysError(const char* file, int line, const std::string& s) : _SysError(file, line, s, errno) {}
  // For call sites whose message needs work (allocation, formatting) that may
  // change errno before the object exists: the caller saved errno first.
  _SysError(const char* file, int line, const std::string& s, int saved_errno)
      : message("[" + std::string(file) + ":" + std::to_string(line) + "] " + s + " with '" +
                std::strerror(saved_errno) + "'") {}
  virtual ~_SysError() = default;
  const char* what() const noexcept override { return message.c_str(); }
};

class _BareError : public std::exception {
 public:
  std::string message;
  explicit _BareError(const char* s) : message(s) {}
  virtual ~_BareError() = default;
  const char* what() const noexcept override { return message.c_str(); }
};

// Builds an error at the call site. TRL_SYSERROR saves errno before the
// message expression runs, so "open " + path cannot clobber it.
#define TRL_ERROR(...) _Error(TRL_HERE, __LINE__, __VA_ARGS__)
#define TRL_SYSERROR(...)                                                        \
  ([&]() {                                                                     \
    const int trl_errno_ = errno;                                              \
    return _SysError(TRL_HERE, __LINE__, std::string(__VA_ARGS__), trl_errno_);\
  }())

inline void _Warn(const char* file, int line, std::string s) {
  std::cout << ("[" + std::string(file) + ":" + std::to_string(line) + "] " + s + "\n") << std::flush;
}

inline void _SysWarn(const char* file, int line, std::string s) {
  const int e = errno;
  std::cout << ("[" + std::string(file) + ":" + std::to_string(line) + "] " + s + " with '" +
                std::strerror(e) + "'\n")
            << std::flush;
}

#define TRL_WARN(...) _Warn(TRL_HERE, __LINE__, __VA_ARGS__)
#define TRL_SYSWARN(...)                                                         \
  do {                                                                         \
    const int trl_errno_ = errno;                                              \
    std::string trl_msg_(__VA_ARGS__);                                         \
    errno = trl_errno_;                                                        \
    _SysWarn(TRL_HERE, __LINE__, trl_msg_);                                    \
  } while (0)

// "[%Y-%m-%d %H:%M:%S]" in local time.
static inline std::string currentTime() {
  const time_t now = time(nullptr);
  struct tm tm_now;
  localtime_r(&now, &tm_now);
  char buf[32];
  strftime(buf, sizeof buf, "[%Y-%m-%d %H:%M:%S]", &tm_now);
  return buf;
}

// One log line: time, source position, kernel thread id, message. The line is
// built first and written with one call so that threads do not interleave.
#define TRL_LOG(expr)                                                            \
  do {                                                                         \
    std::ostringstream trl_line_;                                              \
    trl_line_ << currentTime() << "[" << TRL_HERE << ":" << __LINE__ << "]["   \
              << static_cast<long>(syscall(SYS_gettid)) << "] " << expr << "\n"; \
    std::cout << trl_line_.str() << std::flush;                                \
  } while (0)
