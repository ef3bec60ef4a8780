// The dialog queue through a scripted presenter, and the terminal presenter
// on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "platform/Log.h"
#include "platform/Questions.h"
#include "platform/RunLoop.h"
#include "testsupport/TestSupport.h"

namespace {

using platform::ModalResponse;

// Holds each dialog until the test lets it go, and records the order in
// which dialogs were shown, where, and how many were up at once.
class GatedPresenter : public platform::DialogPresenter {
 public:
  ModalResponse runAlert(const std::string&, const std::string&) override { return ModalResponse::OK; }
  platform::AlertOutcome runAlertWithButtons(const std::string& message, const std::string&,
                                             const std::vector<std::string>& buttons) override {
    show(message);
    return {ModalResponse::OK, buttons.size() - 1};  // the last button
  }
  platform::SavePanelOutcome runSavePanel(const std::vector<std::string>& types, const std::string& directory,
                                          const std::string& file) override {
    show(file);
    return {ModalResponse::OK, directory + "/" + file + "|" + types.at(0)};
  }
  void waitShown(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return shown.size() >= n; });
  }
  void release() {
    std::lock_guard lock(mutex_);
    ++released_, changed_.notify_all();
  }

  std::vector<std::string> shown;
  int mostAtOnce = 0;
  bool onMainThread = false;

 private:
  void show(const std::string& name) {
    std::unique_lock lock(mutex_);
    shown.push_back(name);
    const std::size_t mine = shown.size();
    mostAtOnce = std::max(mostAtOnce, ++up_);
    onMainThread = onMainThread || platform::RunLoop::isMainThread();
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_ >= mine; });
    --up_;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t released_ = 0;
  int up_ = 0;
};

TEST(DialogQueue, one_dialog_at_a_time_in_order_each_answer_to_its_caller_on_the_main_thread) {
  auto gated = std::make_shared<GatedPresenter>();
  auto previous = platform::setDialogPresenter(gated);
  auto& app = platform::Application::sharedApplication();
  const int activitiesBefore = app.activeCount();
  std::vector<std::string> answers;
  auto answer = [&](std::string text) {
    EXPECT_TRUE(platform::RunLoop::isMainThread());
    answers.push_back(std::move(text));
    if (answers.size() == 3) platform::RunLoop::main().stop();
  };

  platform::Alert first, third;
  first.setMessageText("A"), first.addButtonWithTitle("Conservar"), first.addButtonWithTitle("Descartar los cambios");
  auto alertAnswer = [&](std::string name) {
    return [&, name](ModalResponse r, std::optional<std::size_t> button) {
      answer(name + " " + std::to_string(int(r)) + " " + std::to_string(button.value_or(99)));
    };
  };
  first.beginModal(alertAnswer("A"));
  platform::SavePanel panel;
  panel.setAllowedFileTypes({"odt"});
  panel.beginModalForDirectory("/b", "b.odt", [&](ModalResponse r, std::string filename) {
    answer("B " + std::to_string(int(r)) + " " + filename);
  });
  third.setMessageText("C");
  third.beginModal(alertAnswer("C"));
  EXPECT_EQ(app.activeCount(), activitiesBefore + 3);  // pending dialogs keep the run going

  // Each dialog waits for the one before it to be answered.
  for (std::size_t n = 1; n <= 3; ++n) {
    gated->waitShown(n);
    gated->release();
  }
  // The answers arrive only here, on the main thread.
  while (answers.size() < 3) platform::RunLoop::main().run();

  EXPECT_EQ(gated->shown, (std::vector<std::string>{"A", "b.odt", "C"}));
  EXPECT_EQ(gated->mostAtOnce, 1);
  EXPECT_FALSE(gated->onMainThread);
  EXPECT_EQ(answers, (std::vector<std::string>{"A 1 1", "B 1 /b/b.odt|odt", "C 1 0"}));
  EXPECT_EQ(app.activeCount(), activitiesBefore);
  platform::setDialogPresenter(previous);
}

// A pseudo-terminal: the presenter reads and writes the follower side, the
// test types on the leader side.
struct Terminal {
  int leader = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  int follower = leader >= 0 && ::grantpt(leader) == 0 && ::unlockpt(leader) == 0
                     ? ::open(::ptsname(leader), O_RDWR | O_NOCTTY | O_CLOEXEC)
                     : -1;
  ~Terminal() { ::close(follower), ::close(leader); }
  void type(const std::string& text) { [[maybe_unused]] auto n = ::write(leader, text.data(), text.size()); }
  // What the presenter wrote so far (waits a little for the first bytes).
  std::string screen() {
    std::string out;
    char buf[4096];
    pollfd p{leader, POLLIN, 0};
    for (ssize_t n; ::poll(&p, 1, out.empty() ? 2000 : 50) == 1 && (n = ::read(leader, buf, sizeof buf)) > 0;) {
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }
};

TEST(TerminalDialogs, save_dialog_asks_on_the_terminal_and_appends_the_allowed_type) {
  Terminal terminal;
  ASSERT_GE(terminal.follower, 0);
  testsupport::TempDir dir;
  auto presenter = platform::makeTerminalDialogPresenter(terminal.follower, terminal.follower);
  dir.write("existe.DOC", "x");
  struct Case {
    std::string typed, type, proposal, chosen, shown;  // chosen empty: cancelled
  };
  const std::string existing = dir.file("existe.DOC");
  for (const auto& c :
       {Case{"copia\n", "doc", "", dir.file("copia.doc"), "Guardar como (tipo doc)"},
        // An existing file is replaced only when the user says so; "n" asks again.
        Case{existing + "\nn\n" + dir.file("otra.doc") + "\n", "doc", "", dir.file("otra.doc"), ""},
        Case{existing + "\ns\n", "doc", "", existing, ""},
        // A folder that is not there is refused; an empty answer cancels.
        Case{dir.file("no/hay.doc") + "\n\n", "doc", "", "", "no existe"},
        // The proposal is shown and "." takes it (a name with its type keeps
        // it); an empty answer or end of input cancels, even with a proposal.
        Case{".\n", "odt", "carta.odt", dir.file("carta.odt"), "Guardar como (tipo odt): " + dir.file("carta.odt")},
        Case{"\n", "odt", "carta.odt", "", ""}, Case{"\x04", "odt", "carta.odt", "", ""}}) {
    terminal.type(c.typed);
    auto outcome = presenter->runSavePanel({c.type}, dir.path(), c.proposal);
    EXPECT_EQ(outcome.response, c.chosen.empty() ? ModalResponse::Cancel : ModalResponse::OK) << c.typed;
    EXPECT_EQ(outcome.filename, c.chosen) << c.typed;
    const std::string screen = terminal.screen();
    EXPECT_NE(screen.find(c.shown), std::string::npos) << screen;
  }
}

TEST(TerminalDialogs, alerts_wait_for_enter_and_numbered_buttons_ask_again_when_out_of_range) {
  Terminal terminal;
  ASSERT_GE(terminal.follower, 0);
  platform::LogCapture log;
  auto presenter = platform::makeTerminalDialogPresenter(terminal.follower, terminal.follower);
  terminal.type("\n");
  EXPECT_EQ(presenter->runAlert("Error subiendo el fichero", "una\xE2\x80\xA8otra"), ModalResponse::OK);
  std::string screen = terminal.screen();
  EXPECT_NE(screen.find("Error subiendo el fichero"), std::string::npos);
  EXPECT_NE(screen.find("una\r\notra"), std::string::npos);  // U+2028 ends the line
  EXPECT_TRUE(log.contains("ALERTA: Error subiendo el fichero — una\xE2\x80\xA8otra"));

  // An empty answer or end of input chooses the first.
  const std::vector<std::string> buttons{"Conservar", "Descartar los cambios"};
  for (auto [input, button] : {std::pair{"9\n2\n", 1u}, {"\n", 0u}, {"\x04", 0u}}) {
    terminal.type(input);
    auto outcome = presenter->runAlertWithButtons("¿Qué hacemos?", "", buttons);
    EXPECT_EQ(outcome.response, ModalResponse::OK);
    EXPECT_EQ(outcome.button, button) << int(input[0]);
  }
  screen = terminal.screen();
  EXPECT_NE(screen.find("  2) Descartar los cambios"), std::string::npos);
  EXPECT_NE(screen.find("del 1 al 2"), std::string::npos);
}

// A quiet question on the terminal: Enter, a space, a number, a partial word
// or a word of another question answer nothing; only the whole text of a
// button typed on purpose does, once.
TEST(TerminalDialogs, a_quiet_question_is_answered_only_by_typing_a_whole_button) {
  Terminal terminal;
  ASSERT_GE(terminal.follower, 0);
  auto presenter = platform::makeTerminalQuestionPresenter(terminal.follower, terminal.follower);
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::size_t> answers;
  auto answered = [&](std::size_t b) {
    std::lock_guard lock(mutex);
    answers.push_back(b);
    changed.notify_all();
  };
  const std::string title = "¿Ha terminado de editar «informe.doc»?";
  ASSERT_TRUE(presenter->show(1, {title, "vla no puede saber...", {"Enviar ahora", "Descartar"}}, answered));
  const std::string screen = terminal.screen();
  EXPECT_NE(screen.find("«informe.doc»"), std::string::npos);
  EXPECT_NE(screen.find("«Enviar ahora», «Descartar»"), std::string::npos) << screen;
  terminal.type("\n \n1\nenviar\nEnviar\nsí\n");
  const std::string refused = terminal.screen();
  EXPECT_NE(refused.find("no es ninguna de las opciones"), std::string::npos) << refused;
  {
    std::unique_lock lock(mutex);
    EXPECT_FALSE(changed.wait_for(lock, std::chrono::milliseconds(300), [&] { return !answers.empty(); }));
  }
  terminal.type("  descartar \n");
  {
    std::unique_lock lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return !answers.empty(); }));
    EXPECT_EQ(answers, std::vector<std::size_t>{1});
  }
  // Withdrawn, a question takes no answer.
  ASSERT_TRUE(presenter->show(2, {"Otra", "", {"Enviar ahora", "Descartar"}}, answered));
  presenter->withdraw(2);
  terminal.type("Enviar ahora\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  std::lock_guard lock(mutex);
  EXPECT_EQ(answers, std::vector<std::size_t>{1});
}

// The answer reaches the main thread, and only while the question is wanted.
TEST(QuietQuestions, an_answer_is_taken_on_the_main_thread_until_the_question_goes) {
  struct Instant : platform::QuestionPresenter {
    std::vector<std::function<void(std::size_t)>> shown;
    std::vector<std::string> texts;
    std::vector<std::uint64_t> withdrawn;
    bool show(std::uint64_t, const platform::QuietQuestion& q, std::function<void(std::size_t)> a) override {
      texts.push_back(q.summary + "|" + q.body + "|" + q.buttons.back());
      shown.push_back(std::move(a));
      return true;
    }
    void withdraw(std::uint64_t id) override { withdrawn.push_back(id); }
  };
  auto presenter = std::make_shared<Instant>();
  auto previous = platform::setQuestionPresenter(presenter);
  std::vector<std::string> got;
  auto first = platform::askQuietly({"Uno", "", {"A", "B"}}, [&](std::size_t b) {
    got.push_back("uno " + std::to_string(b) + (platform::RunLoop::isMainThread() ? " main" : ""));
  });
  // A file name with a terminal escape reaches any presenter escaped.
  auto second = platform::askQuietly({"Dos \x1b[2J", "l\xC2\x9bnea\n2", {"A", "B\x07"}},
                                     [&](std::size_t b) { got.push_back("dos " + std::to_string(b)); });
  ASSERT_TRUE(first && second && presenter->shown.size() == 2u);
  EXPECT_EQ(presenter->texts[1], "Dos \\x1b[2J|l\\xc2\\x9bnea\n2|B\\x07");
  std::thread([&] {
    presenter->shown[0](1);
    presenter->shown[1](0);
  }).join();
  second.reset();  // withdrawn before its answer is taken
  testsupport::runMainLoopUntil([&] { return !got.empty(); });
  testsupport::runMainLoopUntil([] { return false; }, std::chrono::milliseconds(50));
  EXPECT_EQ(got, std::vector<std::string>{"uno 1 main"});
  EXPECT_EQ(presenter->withdrawn.size(), 1u);
  first.reset();
  EXPECT_EQ(presenter->withdrawn.size(), 2u);
  platform::setQuestionPresenter(previous);
}

}  // namespace
