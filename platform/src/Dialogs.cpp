#include "platform/Dialogs.h"

#include <mutex>

#include "platform/Log.h"

namespace platform {
namespace {

// Until the desktop back end is in place: alerts go to the log, and the save
// dialog cannot be shown.
class LogOnlyPresenter final : public DialogPresenter {
 public:
  ModalResponse runAlert(const std::string& messageText, const std::string& informativeText) override {
    log("ALERTA: " + messageText + (informativeText.empty() ? "" : " — " + informativeText));
    return ModalResponse::NotShown;
  }
  SavePanelOutcome runSavePanel(const std::vector<std::string>&, const std::string&,
                                const std::string&) override {
    return {};
  }
};

std::mutex gMutex;
std::shared_ptr<DialogPresenter> gInstalled;

}  // namespace

std::shared_ptr<DialogPresenter> makeDesktopDialogPresenter();

std::shared_ptr<DialogPresenter> dialogPresenter() {
  std::lock_guard lock(gMutex);
  if (!gInstalled) gInstalled = makeDesktopDialogPresenter();
  return gInstalled;
}

std::shared_ptr<DialogPresenter> setDialogPresenter(std::shared_ptr<DialogPresenter> presenter) {
  std::lock_guard lock(gMutex);
  auto previous = std::move(gInstalled);
  gInstalled = std::move(presenter);
  return previous;
}

std::shared_ptr<DialogPresenter> makeDesktopDialogPresenter() {
  return std::make_shared<LogOnlyPresenter>();
}

ModalResponse Alert::runModal() { return dialogPresenter()->runAlert(messageText_, informativeText_); }

int SavePanel::runModalForDirectory(const std::string& directory, const std::string& file) {
  SavePanelOutcome outcome = dialogPresenter()->runSavePanel(allowedFileTypes_, directory, file);
  response_ = outcome.response;
  filename_ = outcome.response == ModalResponse::OK ? outcome.filename : std::string();
  return static_cast<int>(response_);
}

}  // namespace platform
