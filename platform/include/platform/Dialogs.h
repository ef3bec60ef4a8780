#pragma once
// Modal alerts and the save dialog. Every dialog runs on one dialog thread of
// its own, one at a time, in the order requested: GTK when a display is
// available, the terminal otherwise, or a scripted presenter installed by
// tests. A queued dialog (beginModal...) answers on the main thread and never
// holds the caller; the blocking forms (runModal...) wait for their turn and
// for the user.

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

struct AlertOutcome {
  ModalResponse response = ModalResponse::NotShown;
  std::optional<std::size_t> button;  // the chosen button (0 = first), when OK
};

// Shows dialogs. Implementations: the desktop's (default) and scripted ones.
// The dialog queue calls a presenter on the dialog thread only, one call at a
// time; a presenter installed by tests is called there too.
class DialogPresenter {
 public:
  virtual ~DialogPresenter() = default;
  virtual ModalResponse runAlert(const std::string& messageText, const std::string& informativeText) = 0;
  // An alert with its buttons in order (never empty; the first is the
  // default). Dismissing it without choosing chooses the first. By default
  // the plain alert is shown and OK means the first button.
  virtual AlertOutcome runAlertWithButtons(const std::string& messageText, const std::string& informativeText,
                                           const std::vector<std::string>& buttons);
  virtual SavePanelOutcome runSavePanel(const std::vector<std::string>& allowedFileTypes, const std::string& directory,
                                        const std::string& file) = 0;
};

// The presenter in force (the desktop's unless one was installed).
std::shared_ptr<DialogPresenter> dialogPresenter();
// Installs a presenter; nullptr restores the desktop's. Returns the previous
// one. A dialog uses the presenter in force when it was requested.
std::shared_ptr<DialogPresenter> setDialogPresenter(std::shared_ptr<DialogPresenter> presenter);

// The desktop's presenter: GTK when a display can be opened (decided at the
// first dialog), the terminal otherwise (standard input and standard error).
// It runs every dialog on the dialog thread, where GTK is initialised and
// runs; called from another thread it sends the dialog there and waits.
std::shared_ptr<DialogPresenter> makeDesktopDialogPresenter();

// A presenter on a terminal. An alert is logged (and written to output when
// the log does not already go there). When input is a terminal this process
// may read (not a background job), it asks: with one button it waits for
// Enter; with several it lists them numbered from 1 and reads a number, an
// empty answer or end of input choosing the first. Otherwise NotShown. The
// save dialog shows the proposed path and reads a path: "." takes the
// proposal, a relative path is taken in the proposed folder, and an empty
// answer or end of input cancels; NotShown when it cannot ask. A name without
// one of the allowed types gets the first one appended.
std::shared_ptr<DialogPresenter> makeTerminalDialogPresenter(int input, int output);

// NSAlert: a message text, an informative text below it, and its buttons.
class Alert {
 public:
  using Done = std::function<void(ModalResponse, std::optional<std::size_t> button)>;

  void setMessageText(std::string text) { messageText_ = std::move(text); }
  void setInformativeText(std::string text) { informativeText_ = std::move(text); }
  const std::string& messageText() const { return messageText_; }
  const std::string& informativeText() const { return informativeText_; }
  // Adds a button after those already added; the first added is the default.
  // Without any, the alert has one button, "Aceptar".
  void addButtonWithTitle(std::string title) { buttons_.push_back(std::move(title)); }
  std::vector<std::string> buttons() const;

  // Shows the alert and waits for the answer.
  ModalResponse runModal();
  // The button chosen at the last runModal() (0 = first), if any.
  std::optional<std::size_t> chosenButton() const { return chosenButton_; }

  // Queues the alert and returns at once. done runs on the main thread with
  // OK and the chosen button (0 = first), or NotShown and no button. The
  // alert's texts and buttons are taken now; the application keeps running
  // until done has run.
  void beginModal(Done done);

 private:
  std::string messageText_;
  std::string informativeText_;
  std::vector<std::string> buttons_;
  std::optional<std::size_t> chosenButton_;
};

// NSSavePanel. The chosen name gets the first allowed type appended only
// when it has none of them (compared without regard to case).
class SavePanel {
 public:
  using Done = std::function<void(ModalResponse, std::string filename)>;

  void setAllowedFileTypes(std::vector<std::string> types) { allowedFileTypes_ = std::move(types); }
  const std::vector<std::string>& allowedFileTypes() const { return allowedFileTypes_; }

  // Shows the dialog in the folder, proposing the file name (either may be
  // empty), and waits. 1 = confirmed, 0 = cancelled, -1 = could not be shown.
  int runModalForDirectory(const std::string& directory, const std::string& file);
  ModalResponse response() const { return response_; }
  const std::string& filename() const { return filename_; }

  // Queues the dialog and returns at once. done runs on the main thread with
  // OK and the chosen path, or Cancel / NotShown and an empty path. The
  // allowed types are taken now; the application keeps running until done
  // has run.
  void beginModalForDirectory(const std::string& directory, const std::string& file, Done done);

 private:
  std::vector<std::string> allowedFileTypes_;
  ModalResponse response_ = ModalResponse::NotShown;
  std::string filename_;
};

}  // namespace platform
