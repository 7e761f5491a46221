#include "modules/deployment.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/nodes.h"
#include "modules/paths.h"
#include "modules/unique_fd.h"

const char* const Deployment::tftp_path = "/var/lib/tftpboot/trellium/pxelinux.cfg";
const char* const Deployment::os_path = "/var/lib/tftpboot/trellium/os";

namespace {

// The description is the first line of NAME, cut at this many bytes.
const std::size_t description_max = 127;

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// The option directories belong to whoever installs an operating system, so
// a NAME or PXELINUX that is a FIFO, a device or a directory must neither
// block the program nor be read as text: such a file counts as unreadable.
int openRegular(const std::string& path, int& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0)
    error = errno;
  else if (!S_ISREG(st.st_mode))
    error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  else
    return fd;
  ::close(fd);
  return -1;
}

// Up to limit bytes from the start of the file.
std::string readAtMost(int fd, std::size_t limit, const std::string& path) {
  std::string text(limit, '\0');
  std::size_t done = 0;
  while (done < limit) {
    const ssize_t n = ::read(fd, &text[done], limit - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw TRL_SYSERROR("constructing input stream on " + path + " failed");
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  text.resize(done);
  return text;
}

// Log lines carry names from the TFTP tree: a control character in a
// directory name must not start a forged line of its own.
std::string printable(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return text;
}

// Bytes in a UTF-8 sequence that starts with lead, 0 when lead cannot start one.
std::size_t sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xc2 && lead <= 0xdf) return 2;
  if (lead >= 0xe0 && lead <= 0xef) return 3;
  if (lead >= 0xf0 && lead <= 0xf4) return 4;
  return 0;
}

// The description is shown in every browser, which needs UTF-8: bytes that
// are not are replaced by '?', and a character that the length limit cut in
// two is left out rather than shown as garbage. (Overlong forms are accepted;
// the text is only ever displayed.)
std::string displayable(const std::string& raw, bool cut) {
  std::string out;
  std::size_t i = 0;
  while (i < raw.size()) {
    const std::size_t length = sequenceLength(static_cast<unsigned char>(raw[i]));
    std::size_t good = length == 0 ? 0 : 1;
    while (good > 0 && good < length && i + good < raw.size() &&
           (static_cast<unsigned char>(raw[i + good]) & 0xc0) == 0x80)
      ++good;
    if (length != 0 && good == length) {
      out.append(raw, i, length);
      i += length;
    } else if (cut && length != 0 && i + good == raw.size()) {
      break;
    } else {
      out += '?';
      i += std::max<std::size_t>(good, 1);
    }
  }
  return out;
}

// The first line of a NAME file, as "%127[^\n]" reads it: no text at all is
// "failed to match"; like a C string it ends at a NUL byte.
std::string firstLine(int fd, const std::string& path) {
  const std::string head = readAtMost(fd, description_max, path);
  const std::string line = head.substr(0, head.find('\n'));
  if (line.empty()) throw TRL_ERROR("failed to match");
  const bool cut = line.size() == description_max;
  return displayable(line.substr(0, line.find('\0')), cut);
}

std::string wholeTemplate(const std::string& path) {
  int error = 0;
  const trl::UniqueFd file(openRegular(path, error));
  if (file.get() < 0) {
    errno = error;
    throw TRL_SYSERROR("constructing input stream on " + path + " failed");
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw TRL_SYSERROR("constructing input stream on " + path + " failed");
    if (n == 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// Every "serial X", left to right, names the console port.
std::string withSerialPort(const std::string& text, int serial) {
  const std::string placeholder = "serial X";
  const std::string port = "serial " + std::to_string(serial);
  std::string out;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(placeholder, from)) != std::string::npos; from = at + placeholder.size())
    out.append(text, from, at - from).append(port);
  return out.append(text, from, std::string::npos);
}

// The entries of dir except "." and "..", in version order (centos-6.9
// before centos-6.10).
std::vector<std::string> versionSortedEntries(const std::string& dir) {
  const std::unique_ptr<DIR, DirCloser> listing(::opendir(dir.c_str()));
  if (!listing) throw TRL_SYSERROR("failed to list directory");
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(listing.get());
    if (entry == nullptr) {
      if (errno != 0) throw TRL_SYSERROR("failed to list directory");
      break;
    }
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end(),
            [](const std::string& a, const std::string& b) { return ::strverscmp(a.c_str(), b.c_str()) < 0; });
  return names;
}

std::string serverFile(unsigned long long mac) {
  return trl::sysPath(Deployment::tftp_path) + "/01-" + Deployment::macstr(mac);
}

}  // namespace

Deployment::Deployment(Nodes& nodes) : Deployment(nodes, scan()) {}

Deployment::Deployment(Nodes& nodes, Options options)
    : descriptions(std::move(options.descriptions)), nodes(nodes), dirs(std::move(options.dirs)) {
  try {
    select(0);
  } catch (...) {
    // No destructor runs for an object that never finished construction,
    // and the files written so far would outlive the program.
    const std::lock_guard<std::mutex> guard(mutex_);
    removeAllQuietly();
    throw;
  }
}

Deployment::~Deployment() {
  const std::lock_guard<std::mutex> guard(mutex_);
  removeAllQuietly();
}

Deployment::Options Deployment::scan() {
  const std::string root = trl::sysPath(os_path);
  Options options;
  for (const std::string& entry : versionSortedEntries(root)) {
    const std::string name_path = root + "/" + entry + "/NAME";
    int error = 0;
    trl::UniqueFd name_file(openRegular(name_path, error));
    if (name_file.get() < 0) {
      TRL_LOG("skipping " << printable(name_path) << " (" << std::strerror(error) << " on NAME)");
      continue;
    }
    const std::string pxelinux_path = root + "/" + entry + "/PXELINUX";
    const trl::UniqueFd pxelinux(openRegular(pxelinux_path, error));
    if (pxelinux.get() < 0) {
      TRL_LOG("skipping " << printable(pxelinux_path) << " (" << std::strerror(error) << " on pxelinux)");
      continue;
    }
    TRL_LOG("opened " << printable(pxelinux_path));
    const std::string description = firstLine(name_file.get(), name_path);
    options.descriptions.push_back(description);
    options.dirs.push_back(entry);
    name_file.close("close failed");
    TRL_LOG("found [" << printable(entry) << "] [" << printable(description) << "]");
  }
  return options;
}

void Deployment::select(int entry) {
  const std::lock_guard<std::mutex> guard(mutex_);
  applyLocked(entry);
}

int Deployment::current() const {
  const std::lock_guard<std::mutex> guard(mutex_);
  return current_entry;
}

std::string Deployment::currentDesc() const {
  const std::lock_guard<std::mutex> guard(mutex_);
  return current_entry == -1 ? "unset" : descriptions[static_cast<std::size_t>(current_entry)];
}

std::string Deployment::macstr(unsigned long long mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x-%02x-%02x-%02x-%02x-%02x", static_cast<unsigned>((mac >> 40) & 0xff),
                static_cast<unsigned>((mac >> 32) & 0xff), static_cast<unsigned>((mac >> 24) & 0xff),
                static_cast<unsigned>((mac >> 16) & 0xff), static_cast<unsigned>((mac >> 8) & 0xff),
                static_cast<unsigned>(mac & 0xff));
  return text;
}

void Deployment::config(const std::string& source, const std::string& target, int serial) {
  trl::replaceFile(target, withSerialPort(wholeTemplate(source), serial));
}

void Deployment::clear() {
  const std::lock_guard<std::mutex> guard(mutex_);
  clearLocked();
}

void Deployment::clearall() {
  const std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& server : server_map) removeServerFile(server.first);
  current_entry = -1;
}

void Deployment::applyLocked(int entry) {
  TRL_LOG("[Deployment] select(" << entry << ")");
  // Below -1 is no option either, and would index outside the list.
  if (entry < -1 || entry >= static_cast<int>(dirs.size())) throw TRL_ERROR("impossible entry selected");
  if (entry == -1) entry = current_entry;
  if (entry == -1) return;
  if (!markPresent()) {
    // Nothing to configure, but servers that left still lose their files;
    // the option stays chosen for the servers that come next.
    removeAbsent();
    return;
  }
  clearLocked();
  const std::string source = trl::sysPath(os_path) + "/" + dirs[static_cast<std::size_t>(entry)] + "/PXELINUX";
  for (const auto& server : server_map) {
    if (!server.second) continue;
    const std::string target = serverFile(server.first);
    TRL_LOG("configuring " << printable(source) << " to " << target);
    config(source, target, Nodes::Node::serverSerialport(server.first));
  }
  current_entry = entry;
}

bool Deployment::markPresent() {
  std::vector<unsigned long long> macs;
  bool any = false;
  {
    const Nodes::SharedAccess table(nodes);
    any = table.begin() != table.end();
    for (const Nodes::Node* node = table.begin(); node != table.end(); ++node)
      if (node->eth0.mac() != 0) macs.push_back(node->eth0.mac());
  }
  for (auto& server : server_map) server.second = false;
  for (const unsigned long long mac : macs) server_map[mac] = true;
  return any;
}

void Deployment::clearLocked() {
  removeAbsent();
  current_entry = -1;
}

void Deployment::removeAbsent() {
  for (const auto& server : server_map) {
    if (server.second) continue;
    TRL_LOG("Unlink " << macstr(server.first));
    removeServerFile(server.first);
  }
}

void Deployment::removeAllQuietly() noexcept {
  // One file that cannot go must not keep the others.
  for (const auto& server : server_map) {
    try {
      removeServerFile(server.first);
    } catch (const std::exception& e) {
      TRL_WARN(e.what());
    }
  }
}

void Deployment::removeServerFile(unsigned long long mac) {
  const std::string path = serverFile(mac);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw TRL_SYSERROR("unlink failed");
}
