#include "platform/Questions.h"

#include <atomic>

#include "Installed.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace platform {
namespace {

detail::Installed<QuestionPresenter> gPresenter(&makeDesktopQuestionPresenter);

std::atomic<std::uint64_t> nextId{1};

}  // namespace

PendingQuestion::PendingQuestion(std::shared_ptr<QuestionPresenter> presenter, std::uint64_t id,
                                 std::shared_ptr<bool> live)
    : presenter_(std::move(presenter)), id_(id), live_(std::move(live)) {}

PendingQuestion::~PendingQuestion() {
  *live_ = false;
  presenter_->withdraw(id_);
}

std::unique_ptr<PendingQuestion> askQuietly(const QuietQuestion& question, std::function<void(std::size_t)> answer) {
  // Names of files and texts from the server reach the screen escaped,
  // whichever presenter shows them.
  QuietQuestion shown{
      escapeControlCharacters(question.summary, true), escapeControlCharacters(question.body, true), {}};
  shown.buttons.reserve(question.buttons.size());
  for (const std::string& button : question.buttons) shown.buttons.push_back(escapeControlCharacters(button));
  auto presenter = questionPresenter();
  const std::uint64_t id = nextId++;
  auto live = std::make_shared<bool>(true);
  auto shared = std::make_shared<std::function<void(std::size_t)>>(std::move(answer));
  log("PREGUNTA: " + question.summary + " — " + question.body);
  const bool onScreen = presenter->show(id, shown, [live, shared](std::size_t button) {
    // The answer is taken on the main thread, and only while the question is
    // still wanted there.
    RunLoop::main().perform([live, shared, button] {
      if (*live && *shared) (*shared)(button);
    });
  });
  if (!onScreen) {
    *live = false;
    return nullptr;
  }
  return std::make_unique<PendingQuestion>(presenter, id, live);
}

std::shared_ptr<QuestionPresenter> questionPresenter() { return gPresenter.get(); }

std::shared_ptr<QuestionPresenter> setQuestionPresenter(std::shared_ptr<QuestionPresenter> presenter) {
  return gPresenter.replace(std::move(presenter));
}

}  // namespace platform
