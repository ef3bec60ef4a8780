#pragma once
// Modal alerts and the save dialog. They block the calling (main) thread until
// the user answers. Where they are shown depends on the presenter in force:
// GTK when a display is available, the terminal otherwise, or a scripted
// presenter installed by tests.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// The outcome of a modal dialog. NotShown means no dialog could be shown (no
// display, no terminal): it is not the user's cancel.
enum class ModalResponse { Cancel = 0, OK = 1, NotShown = -1 };

struct SavePanelOutcome {
  ModalResponse response = ModalResponse::NotShown;
  std::string filename;  // the chosen path, when response is OK
};

// Shows dialogs. Implementations: the desktop's (default) and scripted ones.
class DialogPresenter {
 public:
  virtual ~DialogPresenter() = default;
  virtual ModalResponse runAlert(const std::string& messageText,
                                 const std::string& informativeText) = 0;
  virtual SavePanelOutcome runSavePanel(const std::vector<std::string>& allowedFileTypes,
                                        const std::string& directory,
                                        const std::string& file) = 0;
};

// The presenter in force (the desktop's unless one was installed).
std::shared_ptr<DialogPresenter> dialogPresenter();
// Installs a presenter; nullptr restores the desktop's. Returns the previous one.
std::shared_ptr<DialogPresenter> setDialogPresenter(std::shared_ptr<DialogPresenter> presenter);

// The desktop's presenter: GTK when a display can be opened (decided at the
// first dialog), the terminal otherwise (standard input and standard error).
// Dialogs must be run on the main thread; from another thread they are sent
// there and the caller waits.
std::shared_ptr<DialogPresenter> makeDesktopDialogPresenter();

// A presenter on a terminal. An alert is logged (and written to output when
// the log does not already go there); when input is a terminal this process
// may read (not a background job), it waits for Enter and answers OK,
// otherwise NotShown. The save dialog asks for the path on the terminal and
// answers Cancel for an empty answer or end of input; NotShown when it cannot
// ask. A name without one of the allowed types gets the first one appended.
std::shared_ptr<DialogPresenter> makeTerminalDialogPresenter(int input, int output);

// NSAlert: a message text and an informative text below it.
class Alert {
 public:
  void setMessageText(std::string text) { messageText_ = std::move(text); }
  void setInformativeText(std::string text) { informativeText_ = std::move(text); }
  const std::string& messageText() const { return messageText_; }
  const std::string& informativeText() const { return informativeText_; }
  ModalResponse runModal();
  // Shows the alert without holding the caller: dialogs are shown one at a
  // time, in the order they were begun, on a thread of their own, and done
  // runs on the main thread with the answer (button 0 is OK; no button when
  // it was not shown). Any thread.
  void beginModal(std::function<void(ModalResponse, std::optional<std::size_t> button)> done);

 private:
  std::string messageText_;
  std::string informativeText_;
};

// NSSavePanel.
class SavePanel {
 public:
  void setAllowedFileTypes(std::vector<std::string> types) { allowedFileTypes_ = std::move(types); }
  // 1 = confirmed, 0 = cancelled, -1 = could not be shown.
  int runModalForDirectory(const std::string& directory, const std::string& file);
  // As Alert::beginModal: queued behind the other dialogs; done runs on the
  // main thread with the answer and the chosen path (empty unless OK).
  void beginModalForDirectory(const std::string& directory, const std::string& file,
                              std::function<void(ModalResponse, std::string filename)> done);
  ModalResponse response() const { return response_; }
  const std::string& filename() const { return filename_; }

 private:
  std::vector<std::string> allowedFileTypes_;
  ModalResponse response_ = ModalResponse::NotShown;
  std::string filename_;
};

}  // namespace platform
