// Reading the leases file: its lease blocks, the latest lease per MAC, and
// the inotify watch on its directory.
#include "modules/leases.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>
#include <unordered_map>

#include "modules/error.h"
#include "modules/files.h"
#include "modules/paths.h"
#include "modules/sized_read.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // the server writes lower case only; anything else is not a lease
}

// Reads a decimal octet at text[at...]; -1 when missing or out of range.
int readOctet(std::string_view text, size_t& at) {
  int value = 0;
  size_t digits = 0;
  while (at < text.size() && isDigit(text[at])) {
    if (++digits > 3) return -1;
    value = value * 10 + (text[at++] - '0');
  }
  return digits == 0 || value > 255 ? -1 : value;
}

// "A.B.C.D {" at text[at...]; 0 when it is not one.
ipaddr readLeaseAddress(std::string_view text, size_t at) {
  ipaddr ip = 0;
  for (int i = 0; i < 4; ++i) {
    const int octet = readOctet(text, at);
    if (octet < 0) return 0;
    ip = (ip << 8) | static_cast<ipaddr>(octet);
    if (i < 3 && (at >= text.size() || text[at++] != '.')) return 0;
  }
  return text.compare(at, 2, " {") == 0 ? ip : 0;
}

// "xx:xx:xx:xx:xx:xx" in lower-case hexadecimal at text[at...]; 0 when not.
macaddr readMac(std::string_view text, size_t at) {
  if (at + 17 > text.size()) return 0;
  macaddr mac = 0;
  for (int i = 0; i < 6; ++i, at += 3) {
    const int hi = hexValue(text[at]), lo = hexValue(text[at + 1]);
    if (hi < 0 || lo < 0 || (i < 5 && text[at + 2] != ':')) return 0;
    mac = (mac << 8) | static_cast<macaddr>(hi * 16 + lo);
  }
  return mac;
}

const char* const inotify_flag_names[] = {"IN_ACCESS ", "IN_ATTRIB ", "IN_CLOSE_NOWRITE ", "IN_CLOSE_WRITE ",
                                          "IN_CREATE ", "IN_DELETE ", "IN_DELETE_SELF ", "IN_IGNORED ",
                                          "IN_ISDIR ", "IN_MODIFY ", "IN_MOVE_SELF ", "IN_MOVED_FROM ",
                                          "IN_MOVED_TO ", "IN_OPEN ", "IN_Q_OVERFLOW ", "IN_UNMOUNT "};
const uint32_t inotify_flags[] = {IN_ACCESS,      IN_ATTRIB,     IN_CLOSE_NOWRITE, IN_CLOSE_WRITE,
                                  IN_CREATE,      IN_DELETE,     IN_DELETE_SELF,   IN_IGNORED,
                                  IN_ISDIR,       IN_MODIFY,     IN_MOVE_SELF,     IN_MOVED_FROM,
                                  IN_MOVED_TO,    IN_OPEN,       IN_Q_OVERFLOW,    IN_UNMOUNT};

std::string firstFlagName(uint32_t mask) {
  for (size_t i = 0; i < sizeof inotify_flags / sizeof inotify_flags[0]; ++i)
    if (mask & inotify_flags[i]) return inotify_flag_names[i];
  return "";
}

}  // namespace

namespace {

// The leases file is a log: a MAC that moved keeps its old blocks. Only its
// latest address counts, so a rescan changes the table only when the table
// is out of date (merging every old block would count the move again on
// every rescan and restart the DHCP server each time). Each MAC keeps the
// place of its first lease, so new servers are numbered in the order they
// first appeared, not in the order of their latest renewals.
std::vector<LeasesReader::Lease> latestPerMac(const std::vector<LeasesReader::Lease>& leases) {
  std::vector<LeasesReader::Lease> latest;
  std::unordered_map<macaddr, size_t> place;
  for (const LeasesReader::Lease& lease : leases) {
    const auto found = place.emplace(lease.mac, latest.size());
    if (found.second)
      latest.push_back(lease);
    else
      latest[found.first->second].ip = lease.ip;
  }
  return latest;
}

bool startsWith(std::string_view text, size_t at, size_t end, const char* word) {
  const size_t n = std::strlen(word);
  return end - at >= n && text.compare(at, n, word) == 0;
}

// Whether text[at, end) leaves a quoted string open, given whether it began
// inside one. A backslash escapes the next character.
bool quoteOpenAfter(std::string_view text, size_t at, size_t end, bool open) {
  for (; at < end; ++at) {
    if (open && text[at] == '\\')
      ++at;
    else if (text[at] == '"')
      open = !open;
  }
  return open;
}

}  // namespace

// Line by line: a lease block runs from a line "lease A.B.C.D {" to a line
// that starts with "}" (or the next lease line), and its MAC is the first
// well-formed line that begins with "hardware ethernet" (after indentation).
// Nothing inside a quoted string counts, wherever it stands: a client
// chooses its own uid and host name, and dhcpd writes them word for word
// (a client of another hardware type gets "hardware token-ring" and could
// otherwise put an honest server's MAC on a line of its own). Linear in the
// text, whatever the text holds.
std::vector<LeasesReader::Lease> LeasesReader::parse(std::string_view text) {
  std::vector<LeasesReader::Lease> leases;
  ipaddr ip = 0;  // the open block's address; 0 outside a block
  macaddr mac = 0;
  const auto closeBlock = [&] {
    if (ip != 0 && mac != 0) leases.push_back({ip, mac});
    ip = 0;
    mac = 0;
  };
  bool quoted = false;  // a quoted string runs on from an earlier line
  for (size_t line = 0; line < text.size();) {
    size_t end = text.find('\n', line);
    if (end == std::string::npos) end = text.size();
    size_t at = line;
    if (!quoted) {
      at = text.find_first_not_of(" \t", line);
      if (at == std::string::npos || at > end) at = end;
      if (startsWith(text, at, end, "lease ")) {
        closeBlock();
        ip = readLeaseAddress(text, at + 6);
      } else if (ip != 0 && startsWith(text, at, end, "}")) {
        closeBlock();
      } else if (ip != 0 && mac == 0 && startsWith(text, at, end, "hardware ethernet ")) {
        mac = readMac(text, at + 18);
      }
    }
    quoted = quoteOpenAfter(text, at, end, quoted);
    line = end + 1;
  }
  closeBlock();
  return leases;
}

LeasesReader::LeasesReader() {
  const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) throw TRL_SYSERROR("inotify_init1 failed");
  notify_ = trl::UniqueFd(fd, "close notifyFd failed");
  TRL_LOG("notifyFd created = " << fd);
  addWatch();
}

void LeasesReader::addWatch() {
  if (inotify_add_watch(notify_.get(), trl::sysPath(dhcp_leases_dir).c_str(), IN_MODIFY | IN_MOVED_TO | IN_IGNORED) < 0)
    throw TRL_SYSERROR("inotify_add_watch failed");
}

std::vector<LeasesReader::Lease> LeasesReader::read() const {
  const std::string path = trl::sysPath(dhcp_leases);
  TRL_LOG("parsing " << path);
  const trl::SizedRead file(path);
  return latestPerMac(parse(file.text()));
}

// Returns whether the records call for a rescan of the leases file. The
// watch is edge-triggered, so the queue is read to its end: a record left
// behind would wait for the next change of the directory.
bool LeasesReader::readEvents() {
  bool relevant = false;
  for (bool first = true;; first = false) {
    alignas(struct inotify_event) char buffer[272];
    ssize_t length;
    do {
      length = ::read(notify_.get(), buffer, sizeof buffer);
    } while (length < 0 && errno == EINTR);
    if (length < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) throw TRL_SYSERROR("read failed");
      if (first) TRL_LOG("Nothing to read or read blocked");
      return relevant;
    }
    if (length <= static_cast<ssize_t>(sizeof(struct inotify_event))) {
      TRL_LOG("Read length too short");
      return relevant;
    }
    if (readRecords(buffer, length)) relevant = true;
  }
}

// Every record of a read is looked at: our own DHCP restart's one
// replacement is skipped, but a lease appended right after it still calls
// for a rescan.
bool LeasesReader::readRecords(const char* buffer, ssize_t length) {
  uint32_t last_mask = 0;
  bool relevant = false;
  for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= length;) {
    struct inotify_event event;
    std::memcpy(&event, buffer + at, sizeof event);
    const char* name = buffer + at + sizeof event;
    const ssize_t name_room = length - at - static_cast<ssize_t>(sizeof event);
    at += static_cast<ssize_t>(sizeof event + event.len);
    last_mask = event.mask;
    // A record cut off by the end of the buffer names nothing we can trust.
    if (event.len == 0 || static_cast<ssize_t>(event.len) > name_room) continue;
    const std::string file(name, strnlen(name, event.len));
    TRL_LOG("File changed: " << file);
    if (file != dhcp_leases_filename) continue;
    if ((event.mask & IN_MOVED_TO) && !monitor_moved_to) {
      TRL_LOG("Change initiated by DHCP server restarting. Ignore leases file replacement");
      monitor_moved_to = true;
      continue;
    }
    if (!relevant)
      TRL_LOG("leases file modified or replaced; event.mask=" << event.mask << " or " << firstFlagName(event.mask));
    relevant = true;
  }
  if (relevant) return true;
  if (last_mask & (IN_ISDIR | IN_IGNORED)) {
    addWatch();
    return true;
  }
  return false;
}
