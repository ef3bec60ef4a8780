#include "platform/Dialogs.h"

#include <chrono>
#include <cstdlib>
#include <exception>
#include <future>
#include <thread>

#include "DialogThread.h"
#include "Installed.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace platform {
namespace {

detail::Installed<DialogPresenter> gPresenter(&makeDesktopDialogPresenter);

const std::vector<std::string> kDefaultButtons{"Aceptar"};

// The presenter's answer, made consistent: a button only with OK, and always
// one of the alert's (a button the presenter did not offer counts as the
// first, the default). A failing presenter counts as a dialog not shown.
AlertOutcome showAlert(DialogPresenter& presenter, const std::string& messageText, const std::string& informativeText,
                       const std::vector<std::string>& buttons) {
  // Names of files and texts from the server reach the screen escaped,
  // whichever presenter shows them.
  std::vector<std::string> shown;
  shown.reserve(buttons.size());
  for (const std::string& button : buttons) shown.push_back(escapeControlCharacters(button));
  AlertOutcome outcome;
  try {
    outcome = presenter.runAlertWithButtons(escapeControlCharacters(messageText, true),
                                            escapeControlCharacters(informativeText, true), shown);
  } catch (const std::exception& e) {
    log(std::string("No se pudo mostrar el aviso: ") + e.what());
    return {};
  }
  if (outcome.response != ModalResponse::OK) return {outcome.response, std::nullopt};
  if (!outcome.button || *outcome.button >= buttons.size()) outcome.button = 0;
  return outcome;
}

// A confirmation without a path is no choice at all: it counts as a cancel.
SavePanelOutcome showSavePanel(DialogPresenter& presenter, const std::vector<std::string>& types,
                               const std::string& directory, const std::string& file) {
  SavePanelOutcome outcome;
  try {
    outcome = presenter.runSavePanel(types, directory, file);
  } catch (const std::exception& e) {
    log(std::string("No se pudo mostrar el diálogo de guardar: ") + e.what());
    return {};
  }
  if (outcome.response == ModalResponse::OK && outcome.filename.empty()) {
    outcome.response = ModalResponse::Cancel;
  }
  if (outcome.response != ModalResponse::OK) outcome.filename.clear();
  return outcome;
}

}  // namespace

namespace detail {

namespace {

RunLoop* gDialogLoop = nullptr;
std::thread::id gDialogThread;

// At exit, the dialog thread is parked before the libraries it uses (GTK,
// X11) run their finalisers: otherwise a window's pending redraw on that
// thread would reach a display the finalisers have already taken down. A
// thread held in a dialog's own loop is not waited for longer than a moment.
void parkDialogThread() {
  if (std::this_thread::get_id() == gDialogThread) return;
  auto parked = std::make_shared<std::promise<void>>();
  std::future<void> done = parked->get_future();
  gDialogLoop->perform([parked] {
    parked->set_value();
    std::promise<void> never;
    never.get_future().wait();
  });
  done.wait_for(std::chrono::seconds(2));
}

}  // namespace

RunLoop& dialogLoop() {
  static RunLoop* loop = [] {
    auto ready = std::make_shared<std::promise<RunLoop*>>();
    std::future<RunLoop*> started = ready->get_future();
    std::thread thread([ready] {
      RunLoop& own = RunLoop::current();
      ready->set_value(&own);
      for (;;) own.run();  // a stop from a task on this thread ends one run only
    });
    gDialogThread = thread.get_id();
    thread.detach();
    gDialogLoop = started.get();
    std::atexit(parkDialogThread);
    return gDialogLoop;
  }();
  return *loop;
}

}  // namespace detail

AlertOutcome DialogPresenter::runAlertWithButtons(const std::string& messageText, const std::string& informativeText,
                                                  const std::vector<std::string>&) {
  ModalResponse response = runAlert(messageText, informativeText);
  if (response != ModalResponse::OK) return {response, std::nullopt};
  return {ModalResponse::OK, 0};
}

std::shared_ptr<DialogPresenter> dialogPresenter() { return gPresenter.get(); }

std::shared_ptr<DialogPresenter> setDialogPresenter(std::shared_ptr<DialogPresenter> presenter) {
  return gPresenter.replace(std::move(presenter));
}

std::vector<std::string> Alert::buttons() const { return buttons_.empty() ? kDefaultButtons : buttons_; }

ModalResponse Alert::runModal() {
  auto presenter = dialogPresenter();
  const std::vector<std::string> buttons = this->buttons();
  AlertOutcome outcome;
  detail::dialogLoop().performAndWait(
      [&] { outcome = showAlert(*presenter, messageText_, informativeText_, buttons); });
  chosenButton_ = outcome.button;
  return outcome.response;
}

void Alert::beginModal(Done done) {
  auto presenter = dialogPresenter();
  Activity activity = Application::sharedApplication().beginActivity("dialog");
  detail::dialogLoop().perform([presenter, messageText = messageText_, informativeText = informativeText_,
                                buttons = buttons(), done = std::move(done), activity = std::move(activity)]() mutable {
    AlertOutcome outcome = showAlert(*presenter, messageText, informativeText, buttons);
    // The activity moves with the answer and ends once done has run.
    RunLoop::main().perform([outcome, done = std::move(done), activity = std::move(activity)] {
      if (done) done(outcome.response, outcome.button);
    });
  });
}

int SavePanel::runModalForDirectory(const std::string& directory, const std::string& file) {
  auto presenter = dialogPresenter();
  SavePanelOutcome outcome;
  detail::dialogLoop().performAndWait([&] { outcome = showSavePanel(*presenter, allowedFileTypes_, directory, file); });
  response_ = outcome.response;
  filename_ = outcome.filename;
  return static_cast<int>(response_);
}

void SavePanel::beginModalForDirectory(const std::string& directory, const std::string& file, Done done) {
  auto presenter = dialogPresenter();
  Activity activity = Application::sharedApplication().beginActivity("dialog");
  detail::dialogLoop().perform([presenter, types = allowedFileTypes_, directory, file, done = std::move(done),
                                activity = std::move(activity)]() mutable {
    SavePanelOutcome outcome = showSavePanel(*presenter, types, directory, file);
    RunLoop::main().perform([outcome, done = std::move(done), activity = std::move(activity)] {
      if (done) done(outcome.response, outcome.filename);
    });
  });
}

}  // namespace platform
