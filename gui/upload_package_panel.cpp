#include "gui/upload_package_panel.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "gui/settings_tab.h"
#include "gui/trellium.h"
#include "gui/util.h"
#include "modules/error.h"
#include "modules/settings.h"
#include "web/application.h"
#include "web/box_layout.h"
#include "web/file_upload.h"
#include "web/message_box.h"
#include "web/progress_bar.h"
#include "web/progress_dialog.h"
#include "web/push_button.h"
#include "web/session.h"
#include "web/text.h"

UploadPackagePanel::UploadPackagePanel(Model::SettingsData& data, SettingsTab& tab)
    : web::Panel("Upload upgrade package"), data_(data), tab_(tab) {
  SettingsTab::frame(*this);
  note_ = addNew<web::Text>();
  note_->setStyleClass("trl-note trl-upload-note");
  reset();
  say("Choose a Trellium package file (.deb). It is checked, and you are asked, before anything is installed.");
}

void UploadPackagePanel::reset() {
  // Called from the upload widget's own signals: the old row goes once the
  // event is done.
  if (row_) web::dispose(removeWidget(row_));
  row_ = insertWidget(0, std::make_unique<web::Container>());
  auto* layout = row_->setLayout(std::make_unique<web::HBoxLayout>());
  layout->setContentsMargins(8, 8, 8, 4);
  layout->setSpacing(8);
  auto upload = std::make_unique<web::FileUpload>();
  upload->setProgressBar(std::make_unique<web::ProgressBar>());
  upload_ = layout->addWidget(std::move(upload), 0, web::AlignMiddle);
  uploadBtn_ = layout->addWidget(std::make_unique<web::PushButton>("Upload"), 0, web::AlignMiddle);
  uploadBtn_->disable();
  upload_->changed().connect(this, &UploadPackagePanel::fileChosenHandler);
  uploadBtn_->clicked().connect(this, &UploadPackagePanel::startUpload);
  upload_->fileTooLarge().connect([this] { fileTooLarge(); });
  upload_->uploaded().connect(this, &UploadPackagePanel::uploadedHandler);
}

void UploadPackagePanel::fileChosenHandler() {
  uploadBtn_->setDisabled(!upload_->canUpload());
  say("Press Upload to send " + upload_->clientFileName() +
      ". It is checked before anything is installed, and you are asked before it is.");
}

void UploadPackagePanel::startUpload() {
  uploadBtn_->disable();
  upload_->upload();
}

void UploadPackagePanel::fileTooLarge() {
  web::MessageBox::open("Error", "File " + upload_->clientFileName() + " too large to be uploaded");
  say("The largest upload is the web server's max-request-size (in /etc/trellium/wthttpd).");
  uploadBtn_->enable();
}

void UploadPackagePanel::uploadedHandler() {
  if (!data_.settings) throw TRL_ERROR("settings is NULL");
  const Settings& settings = *data_.settings;
  const std::string file = upload_->spoolFileName();
  const std::string name = upload_->clientFileName();
  say("Checking " + name + "\u2026");

  try {
    web::ProgressDialog checking(std::string(), std::string(), 0, 0);
    checking.setWindowTitle("Upgrade");
    checking.show();
    runWithProgress(checking, "Checking " + name, [&] { settings.validateTrellium(file); });
  } catch (const std::exception& e) {
    fail("Upgrade validation failed: " + std::string(e.what()),
         "Nothing was installed. The package manager's messages are in Trellium's log.");
    return;
  }

  web::MessageBox question("Info", "Upgrade validated. Proceed upgrading Trellium?", web::Icon::Question,
                           web::Yes | web::No);
  if (question.exec() != web::Yes) {
    TRL_LOG("[UploadPackagePanel] " << name << " not installed: the answer was not Yes");
    say("Nothing was installed.");
    reset();
    return;
  }
  web::MessageBox reload("Info", "Please reload this page after 30 seconds", web::Icon::Information, web::Ok);
  if (reload.exec() != web::Ok) {  // the page went away before its answer
    TRL_LOG("[UploadPackagePanel] " << name << " not installed: the page closed");
    reset();
    return;
  }

  say("Installing " + name + "\u2026");
  try {
    // Once the package manager runs, nothing may stop it half way: no Cancel.
    web::ProgressDialog installing(std::string(), std::string(), 0, 0);
    installing.setWindowTitle("Upgrade");
    installing.show();
    if (!tab_.act(SettingsTab::Action::Upgrade, name, [&] {
          runWithProgress(installing, "Installing " + name, [&] { settings.upgradeTrellium(file); });
        })) {
      say("Nothing was installed.");
      reset();
      return;
    }
  } catch (const std::exception& e) {
    fail("Upgrade failed: " + std::string(e.what()),
         "The installation did not finish. The package manager's messages are in Trellium's log; "
         "\"dpkg --audit\" on the management host says what is left to do.");
    return;
  }

  reset();
  say(name + " is installed. Trellium restarts now.");
  web::MessageBox::open("Info",
                        "The upgrade is installed. Trellium restarts now; this page loads the new version by "
                        "itself once it answers.",
                        web::NoButton);
  if (web::Application* app = web::Application::instance()) app->processEvents();
  Trellium::restart = true;
  TRL_LOG("exiting with restart flag set");
  TRL_LOG("pid = " << ::getpid());
  if (::kill(::getpid(), SIGTERM) != 0) throw TRL_SYSERROR("kill failed");
}

void UploadPackagePanel::fail(const std::string& text, const std::string& note) {
  TRL_LOG(text);
  web::MessageBox::open("Error", text);
  say(note);
  reset();
}

void UploadPackagePanel::say(const std::string& text) { note_->setText(text); }

void UploadPackagePanel::runWithProgress(web::ProgressDialog& dialog, const std::string& label,
                                         const std::function<void()>& work) {
  std::future<void> done = std::async(std::launch::async, work);
  const auto ended = [&done] { return done.wait_for(std::chrono::seconds(0)) == std::future_status::ready; };
  const auto start = std::chrono::steady_clock::now();
  web::Application* app = web::Application::instance();
  while (app && !app->session().dying() && !ended()) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    dialog.setLabelText(label + "\u2026 " + std::to_string(seconds) + " s");
    app->waitFor(ended, std::chrono::seconds(1));
  }
  done.get();
}
