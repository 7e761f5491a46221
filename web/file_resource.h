// A file offered for download to one session only: its URL carries the
// session's id and works for no other. Made inside a session (a handler or
// the application's construction); outside one it has no URL.
#pragma once

#include <string>

namespace web {

class Session;

class FileResource {
 public:
  explicit FileResource(const std::string& fileName = {}, const std::string& mimeType = "application/octet-stream");
  ~FileResource();
  FileResource(const FileResource&) = delete;
  FileResource& operator=(const FileResource&) = delete;

  void setFileName(const std::string& path);
  const std::string& fileName() const { return fileName_; }
  void setMimeType(const std::string& mimeType);
  const std::string& mimeType() const { return mimeType_; }
  // The name the browser saves it under (default: the file's own name).
  void suggestFileName(const std::string& name);
  const std::string& suggestedFileName() const { return suggested_; }
  std::string url() const;

 private:
  void publish();

  std::string fileName_, mimeType_, suggested_;
  Session* session_ = nullptr;
  std::string resourceId_;
};

}  // namespace web
