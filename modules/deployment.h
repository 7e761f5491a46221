// Network boot options: every operating system installed under the TFTP tree
// is an option, and the chosen one becomes the PXELINUX configuration of
// every known server, one file per server named after its eth0 MAC address.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

class Nodes;

// Several browser windows may apply options at once, so every operation that
// touches the applied state takes the instance's lock. Lock order: this lock
// before the node table's.
class Deployment {
 private:
  struct Options {
    std::vector<std::string> descriptions;
    std::vector<std::string> dirs;
  };

 public:
  static const char* const tftp_path;  // the per-server files
  static const char* const os_path;    // one subdirectory per option

  // Scans the options (fixed for the life of the object), then applies the first.
  explicit Deployment(Nodes& nodes);
  // Removes every per-server file this object wrote.
  ~Deployment();
  Deployment(const Deployment&) = delete;
  Deployment& operator=(const Deployment&) = delete;

  // Applies option entry to every server in the node table; -1 re-applies
  // the current option.
  void select(int entry);
  int current() const;
  // "unset" when no option is applied.
  std::string currentDesc() const;

  // "00-25-90-ab-cd-ef": the file name part of a server's MAC address.
  static std::string macstr(unsigned long long mac);
  // Writes target from the template source, with each "serial X" naming the port.
  static void config(const std::string& source, const std::string& target, int serial);
  // Deletes the files of servers that were absent at the last application.
  void clear();
  // Deletes the files of every server ever seen.
  void clearall();

  // The options' texts, in option order.
  const std::vector<std::string> descriptions;

 private:
  Deployment(Nodes& nodes, Options options);
  static Options scan();
  void applyLocked(int entry);
  // Marks in server_map which servers the table holds; false when it is empty.
  bool markPresent();
  void clearLocked();
  void removeAbsent();
  void removeAllQuietly() noexcept;
  static void removeServerFile(unsigned long long mac);

  Nodes& nodes;
  const std::vector<std::string> dirs;
  int current_entry = 0;
  std::map<unsigned long long, bool> server_map;  // true: in the table at the last application
  mutable std::mutex mutex_;
};
