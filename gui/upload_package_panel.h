// Uploading a new Trellium package: the upload with its progress, then the
// check, the question, the installation and the restart into the new
// version. The package manager runs on a thread of its own while the page
// stays live, a progress dialog showing. Used only inside its session,
// under the session's lock (not thread-safe).
#pragma once

#include <functional>
#include <string>

#include "gui/model.h"
#include "web/panel.h"

class SettingsTab;
namespace web {
class Container;
class FileUpload;
class ProgressDialog;
class PushButton;
class Text;
}  // namespace web

class UploadPackagePanel : public web::Panel {
 public:
  UploadPackagePanel(Model::SettingsData& data, SettingsTab& tab);

  // A fresh, empty upload widget and a disabled "Upload" button.
  void reset();
  // A file was chosen: "Upload" can be pressed.
  void fileChosenHandler();
  void fileTooLarge();
  // The package is on the server: check it, ask, install it, restart.
  void uploadedHandler();

  web::FileUpload* upload() const { return upload_; }
  web::PushButton* uploadButton() const { return uploadBtn_; }
  web::Text* noteText() const { return note_; }

 private:
  void startUpload();
  // Runs work (the package manager) on a thread of its own while dialog
  // shows the label and the seconds so far; the page stays live. Returns
  // when work has ended, also when the session ends first: an installation
  // is never left half way. Rethrows what work threw.
  static void runWithProgress(web::ProgressDialog& dialog, const std::string& label,
                              const std::function<void()>& work);
  // "Error" with the text, the text in the log, the note under the upload,
  // and the panel reset.
  void fail(const std::string& text, const std::string& note);
  // The line under the upload: what happened, what to do next.
  void say(const std::string& text);

  web::Container* row_ = nullptr;  // the upload widget and the button, replaced by reset()
  web::FileUpload* upload_ = nullptr;
  web::PushButton* uploadBtn_ = nullptr;
  web::Text* note_;
  Model::SettingsData& data_;
  SettingsTab& tab_;
};
