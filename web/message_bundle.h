// Texts by key from XML files of <message id="key">text</message> entries.
// A message may hold markup; it comes back as written.
#pragma once

#include <optional>
#include <string>
#include <unordered_map>

namespace web {

class MessageBundle {
 public:
  // Reads path + ".xml" (or path itself when it names the file). The second
  // argument is accepted for familiarity: files are always read at once.
  // Throws std::runtime_error with the file name when it cannot be read.
  void use(const std::string& path, bool loadInMemory = true);
  std::optional<std::string> resolve(const std::string& key) const;
  // The text, or "??key??" when there is none.
  std::string tr(const std::string& key) const;
  std::size_t size() const { return messages_.size(); }

 private:
  std::unordered_map<std::string, std::string> messages_;
};

}  // namespace web
