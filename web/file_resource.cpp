#include "web/file_resource.h"

#include "web/application.h"
#include "web/page.h"
#include "web/session.h"

namespace web {

FileResource::FileResource(const std::string& fileName, const std::string& mimeType)
    : fileName_(fileName), mimeType_(mimeType) {
  if (Application* app = Application::instance()) session_ = &app->session();
  publish();
}

FileResource::~FileResource() {
  if (session_ && !resourceId_.empty()) session_->removeDownload(resourceId_);
}

void FileResource::publish() {
  if (!session_) return;
  std::string name = suggested_;
  if (name.empty()) {
    const auto slash = fileName_.find_last_of('/');
    name = slash == std::string::npos ? fileName_ : fileName_.substr(slash + 1);
  }
  Session::Download d{fileName_, mimeType_, name};
  if (resourceId_.empty())
    resourceId_ = session_->addDownload(std::move(d));
  else
    session_->updateDownload(resourceId_, std::move(d));
}

void FileResource::setFileName(const std::string& path) {
  fileName_ = path;
  publish();
}

void FileResource::setMimeType(const std::string& mimeType) {
  mimeType_ = mimeType;
  publish();
}

void FileResource::suggestFileName(const std::string& name) {
  suggested_ = name;
  publish();
}

std::string FileResource::url() const {
  if (!session_ || resourceId_.empty()) return {};
  return std::string(route::Resource) + "?s=" + session_->id() + "&r=" + resourceId_;
}

}  // namespace web
