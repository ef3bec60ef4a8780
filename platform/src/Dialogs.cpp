#include "platform/Dialogs.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/RunLoop.h"

namespace platform {
namespace {

std::mutex gMutex;
std::shared_ptr<DialogPresenter> gInstalled;

// The dialogs begun without waiting: shown one at a time, in order, by one
// thread that lives as long as the process.
class DialogQueue {
 public:
  static DialogQueue& shared() {
    static DialogQueue* queue = new DialogQueue();
    return *queue;
  }
  void add(std::function<void()> show) {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(show));
    if (!started_) {
      started_ = true;
      std::thread([this] { serve(); }).detach();
    }
    wake_.notify_one();
  }

 private:
  void serve() {
    for (;;) {
      std::function<void()> show;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return !pending_.empty(); });
        show = std::move(pending_.front());
        pending_.pop_front();
      }
      show();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> pending_;
  bool started_ = false;
};

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

void Alert::beginModal(std::function<void(ModalResponse, std::optional<std::size_t>)> done) {
  DialogQueue::shared().add([message = messageText_, informative = informativeText_, done = std::move(done)] {
    const ModalResponse response = dialogPresenter()->runAlert(message, informative);
    std::optional<std::size_t> button;
    if (response == ModalResponse::OK) button = 0;
    RunLoop::main().perform([done, response, button] { done(response, button); });
  });
}

void SavePanel::beginModalForDirectory(const std::string& directory, const std::string& file,
                                       std::function<void(ModalResponse, std::string)> done) {
  DialogQueue::shared().add([types = allowedFileTypes_, directory, file, done = std::move(done)] {
    SavePanelOutcome outcome = dialogPresenter()->runSavePanel(types, directory, file);
    std::string filename = outcome.response == ModalResponse::OK ? outcome.filename : std::string();
    RunLoop::main().perform(
        [done, response = outcome.response, filename] { done(response, filename); });
  });
}

int SavePanel::runModalForDirectory(const std::string& directory, const std::string& file) {
  SavePanelOutcome outcome = dialogPresenter()->runSavePanel(allowedFileTypes_, directory, file);
  response_ = outcome.response;
  filename_ = outcome.response == ModalResponse::OK ? outcome.filename : std::string();
  return static_cast<int>(response_);
}

}  // namespace platform
