#include "web/file_upload.h"

#include <unistd.h>

#include "web/application.h"
#include "web/page.h"
#include "web/protocol.h"
#include "web/session.h"

namespace web {

FileUpload::FileUpload() { setInline(true); }

FileUpload::~FileUpload() { removeSpool(); }

void FileUpload::removeSpool() {
  if (!spoolFile_.empty()) ::unlink(spoolFile_.c_str());
  spoolFile_.clear();
}

ProgressBar* FileUpload::setProgressBar(std::unique_ptr<ProgressBar> bar) {
  progress_ = std::move(bar);
  if (progress_) {
    adopt(*progress_);
    progress_->hide();
  }
  markDirty();
  return progress_.get();
}

void FileUpload::upload() {
  Application* app = Application::instance();
  if (!app || !canUpload() || uploading_) return;
  uploading_ = true;
  if (progress_) {
    progress_->setValue(0);
    progress_->show();
  }
  app->session().expectUpload(id());
  const std::string url = std::string(route::Upload) + "?s=" + app->sessionId() + "&w=" + id();
  app->addCommand(command({"upload", id(), url}));
}

std::string FileUpload::stealSpooledFile() {
  std::string f;
  f.swap(spoolFile_);
  return f;
}

void FileUpload::addEventNames(std::string& names) const {
  Widget::addEventNames(names);
  names += names.empty() ? "change progress" : " change progress";
}

void FileUpload::handleEvent(const Event& event) {
  if (event.type == "change") {
    std::string name = event.value.value_or("");
    // Browsers report "C:\fakepath\name"; only the name is the person's.
    const auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    clientFileName_ = name;
    changed_.emit();
  } else if (event.type == "progress") {
    if (!uploading_) return;
    if (progress_) {
      progress_->setRange(0, static_cast<double>(event.total));
      progress_->setValue(static_cast<double>(event.loaded));
    }
    dataReceived_.emit(event.loaded, event.total);
  } else {
    Widget::handleEvent(event);
  }
}

void FileUpload::uploadFinished(const std::string& spoolFile, const std::string& clientName, std::int64_t size) {
  removeSpool();
  spoolFile_ = spoolFile;
  if (!clientName.empty()) clientFileName_ = clientName;
  size_ = size;
  uploading_ = false;
  if (progress_) progress_->setValue(progress_->maximum());
  uploaded_.emit();
}

void FileUpload::uploadTooLarge(std::int64_t size) {
  uploading_ = false;
  if (progress_) progress_->hide();
  tooLarge_.emit(size);
}

void FileUpload::visitChildren(const std::function<void(Widget&)>& fn) {
  if (progress_) fn(*progress_);
}

void FileUpload::renderElement(std::string& out) {
  openTag(out, "w-upload");
  out += "><input type=\"file\"";
  if (!isEnabled() || uploading_) out += " disabled";
  out += '>';
  if (progress_) progress_->render(out);
  out += "</";
  out += tagName();
  out += '>';
}

}  // namespace web
