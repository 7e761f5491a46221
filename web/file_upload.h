// Sends a file the person chooses to the server. The browser posts it on
// upload(); the server spools it to a private file and then emits uploaded(),
// or fileTooLarge() when it exceeds the server's request size limit.
#pragma once

#include <cstdint>
#include <memory>

#include "web/progress_bar.h"
#include "web/widget.h"

namespace web {

class FileUpload : public Widget {
 public:
  FileUpload();
  ~FileUpload() override;  // removes a spooled file nobody took

  // Shown while the file is sent; owned by the upload widget.
  ProgressBar* setProgressBar(std::unique_ptr<ProgressBar> bar);
  ProgressBar* progressBar() const { return progress_.get(); }

  // Whether a file is chosen.
  bool canUpload() const { return !clientFileName_.empty(); }
  bool isUploading() const { return uploading_; }
  void upload();

  // The name of the file on the person's computer (no directories).
  const std::string& clientFileName() const { return clientFileName_; }
  // The server's copy, valid after uploaded().
  const std::string& spoolFileName() const { return spoolFile_; }
  // Takes the spooled file: it is no longer removed with the widget.
  std::string stealSpooledFile();
  std::int64_t uploadedSize() const { return size_; }

  EventSignal<>& changed() { return changed_; }  // a file was chosen
  Signal<>& uploaded() { return uploaded_; }
  Signal<std::int64_t>& fileTooLarge() { return tooLarge_; }  // the size the browser announced
  Signal<std::int64_t, std::int64_t>& dataReceived() { return dataReceived_; }  // sent, total

  void handleEvent(const Event& event) override;
  void visitChildren(const std::function<void(Widget&)>& fn) override;

  // From the session, when the server has the file or refused it.
  void uploadFinished(const std::string& spoolFile, const std::string& clientName, std::int64_t size);
  void uploadTooLarge(std::int64_t size);

 protected:
  void addEventNames(std::string& names) const override;
  void renderElement(std::string& out) override;

 private:
  void removeSpool();

  std::unique_ptr<ProgressBar> progress_;
  std::string clientFileName_;
  std::string spoolFile_;
  EventSignal<> changed_{this};
  Signal<> uploaded_;
  Signal<std::int64_t> tooLarge_;
  Signal<std::int64_t, std::int64_t> dataReceived_;
  std::int64_t size_ = 0;
  bool uploading_ = false;
};

}  // namespace web
