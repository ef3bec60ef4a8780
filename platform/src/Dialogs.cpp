#include "platform/Dialogs.h"

#include <mutex>


namespace platform {
namespace {

std::mutex gMutex;
std::shared_ptr<DialogPresenter> gInstalled;

}  // namespace

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

ModalResponse Alert::runModal() { return dialogPresenter()->runAlert(messageText_, informativeText_); }

int SavePanel::runModalForDirectory(const std::string& directory, const std::string& file) {
  SavePanelOutcome outcome = dialogPresenter()->runSavePanel(allowedFileTypes_, directory, file);
  response_ = outcome.response;
  filename_ = outcome.response == ModalResponse::OK ? outcome.filename : std::string();
  return static_cast<int>(response_);
}

}  // namespace platform
