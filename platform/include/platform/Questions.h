#pragma once
// Questions that wait without getting in the way. An alert takes the
// keyboard, so a user typing in their editor can answer it by accident; a
// quiet question never takes the keyboard, has no default button and cannot
// be answered by typing: only a click on one of its buttons (or, on a
// terminal, a whole word typed on purpose) answers it. It stays until
// answered or withdrawn. Shown by the presenter in force: the desktop's
// (a notification with actions when the notification service offers them, a
// small window that does not take focus otherwise, the terminal without a
// display) or a scripted one installed by tests.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct QuietQuestion {
  std::string summary;  // names the document
  std::string body;
  std::vector<std::string> buttons;  // never empty; none is a default
};

// Shows quiet questions. Implementations: the desktop's and scripted ones.
class QuestionPresenter {
 public:
  virtual ~QuestionPresenter() = default;
  // Shows the question and returns at once: false when it cannot be shown.
  // answered is called at most once, from any thread, with the button
  // clicked (0 = first); never after withdraw(id) has returned.
  virtual bool show(std::uint64_t id, const QuietQuestion& question, std::function<void(std::size_t)> answered) = 0;
  // Takes the question away (answered or not).
  virtual void withdraw(std::uint64_t id) = 0;
};

// A question on screen; it is taken away when this goes.
class PendingQuestion {
 public:
  PendingQuestion(std::shared_ptr<QuestionPresenter> presenter, std::uint64_t id, std::shared_ptr<bool> live);
  ~PendingQuestion();
  PendingQuestion(const PendingQuestion&) = delete;
  PendingQuestion& operator=(const PendingQuestion&) = delete;

 private:
  std::shared_ptr<QuestionPresenter> presenter_;
  std::uint64_t id_;
  std::shared_ptr<bool> live_;  // main thread only: false once withdrawn
};

// Shows the question with the presenter in force. answer runs on the main
// thread with the button clicked, unless the question was withdrawn first.
// Nothing when it could not be shown.
std::unique_ptr<PendingQuestion> askQuietly(const QuietQuestion& question, std::function<void(std::size_t)> answer);

// The presenter in force (the desktop's unless one was installed).
std::shared_ptr<QuestionPresenter> questionPresenter();
// Installs a presenter; nullptr restores the desktop's. Returns the previous one.
std::shared_ptr<QuestionPresenter> setQuestionPresenter(std::shared_ptr<QuestionPresenter> presenter);

// The desktop's presenter (see above).
std::shared_ptr<QuestionPresenter> makeDesktopQuestionPresenter();
// A presenter on a terminal: shows the question on output and takes an answer
// from input only when the whole name of a button is typed, on a line of its
// own, while input is a terminal this process may read; anything else
// (Enter, a space, a number, a partial word) answers nothing. Cannot show
// without such a terminal.
std::shared_ptr<QuestionPresenter> makeTerminalQuestionPresenter(int input, int output);

}  // namespace platform
