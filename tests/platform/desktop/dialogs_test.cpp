// Dialogs: the interface through a scripted presenter, and the terminal
// presenter on a pseudo-terminal and on a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <thread>

#include "platform/Dialogs.h"
#include "platform/Log.h"
#include "testsupport/TestSupport.h"

namespace {

using platform::ModalResponse;

class ScriptedPresenter : public platform::DialogPresenter {
 public:
  std::deque<platform::SavePanelOutcome> saves;
  std::vector<std::string> alerts;
  std::vector<std::string> allowed;
  ModalResponse runAlert(const std::string& message, const std::string& informative) override {
    alerts.push_back(message + "|" + informative);
    return ModalResponse::OK;
  }
  platform::SavePanelOutcome runSavePanel(const std::vector<std::string>& types, const std::string&,
                                          const std::string&) override {
    allowed = types;
    auto next = saves.front();
    saves.pop_front();
    return next;
  }
};

TEST(Dialogs, scripted_presenter_answers_and_not_shown_is_not_a_cancel) {
  auto scripted = std::make_shared<ScriptedPresenter>();
  scripted->saves = {{ModalResponse::OK, "/tmp/copia.doc"},
                     {ModalResponse::Cancel, "/tmp/ignored"},
                     {ModalResponse::NotShown, "/tmp/ignored"}};
  auto previous = platform::setDialogPresenter(scripted);

  platform::Alert alert;
  alert.setMessageText("Error subiendo el fichero");
  alert.setInformativeText("detalle");
  EXPECT_EQ(alert.runModal(), ModalResponse::OK);
  EXPECT_EQ(scripted->alerts.at(0), "Error subiendo el fichero|detalle");

  platform::SavePanel panel;
  panel.setAllowedFileTypes({"doc"});
  EXPECT_EQ(panel.runModalForDirectory("", ""), 1);
  EXPECT_EQ(panel.filename(), "/tmp/copia.doc");
  EXPECT_EQ(scripted->allowed, std::vector<std::string>{"doc"});
  EXPECT_EQ(panel.runModalForDirectory("", ""), 0);
  EXPECT_EQ(panel.filename(), "");
  EXPECT_EQ(panel.runModalForDirectory("", ""), -1);
  EXPECT_EQ(panel.response(), ModalResponse::NotShown);
  EXPECT_EQ(panel.filename(), "");

  platform::setDialogPresenter(previous);
}

// A pseudo-terminal: the presenter reads and writes the follower side, the
// test types on the leader side.
class Terminal {
 public:
  Terminal() {
    leader_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (leader_ < 0 || ::grantpt(leader_) != 0 || ::unlockpt(leader_) != 0) return;
    follower_ = ::open(::ptsname(leader_), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~Terminal() {
    if (follower_ >= 0) ::close(follower_);
    if (leader_ >= 0) ::close(leader_);
  }
  int follower() const { return follower_; }
  void type(const std::string& text) { [[maybe_unused]] auto n = ::write(leader_, text.data(), text.size()); }
  // What the presenter wrote so far (waits a little for the first bytes).
  std::string screen() {
    std::string out;
    char buf[4096];
    pollfd p{leader_, POLLIN, 0};
    while (::poll(&p, 1, out.empty() ? 2000 : 50) == 1) {
      ssize_t n = ::read(leader_, buf, sizeof buf);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  int leader_ = -1;
  int follower_ = -1;
};

TEST(TerminalDialogs, save_dialog_asks_on_the_terminal_and_appends_the_allowed_type) {
  Terminal terminal;
  ASSERT_GE(terminal.follower(), 0);
  testsupport::TempDir dir;
  auto presenter = platform::makeTerminalDialogPresenter(terminal.follower(), terminal.follower());

  terminal.type("copia\n");
  auto outcome = presenter->runSavePanel({"doc"}, dir.path(), "");
  EXPECT_EQ(outcome.response, ModalResponse::OK);
  EXPECT_EQ(outcome.filename, dir.file("copia.doc"));
  EXPECT_NE(terminal.screen().find("Guardar como (tipo doc)"), std::string::npos);

  // An existing file is replaced only when the user says so; "n" asks again.
  dir.write("existe.DOC", "x");
  terminal.type(dir.file("existe.DOC") + "\nn\n" + dir.file("otra.doc") + "\n");
  outcome = presenter->runSavePanel({"doc"}, "", "");
  EXPECT_EQ(outcome.response, ModalResponse::OK);
  EXPECT_EQ(outcome.filename, dir.file("otra.doc"));
  terminal.type(dir.file("existe.DOC") + "\ns\n");
  EXPECT_EQ(presenter->runSavePanel({"doc"}, "", "").filename, dir.file("existe.DOC"));

  // A folder that is not there is refused; an empty answer cancels.
  terminal.type(dir.file("no/hay.doc") + "\n\n");
  outcome = presenter->runSavePanel({"doc"}, "", "");
  EXPECT_EQ(outcome.response, ModalResponse::Cancel);
  EXPECT_NE(terminal.screen().find("no existe"), std::string::npos);
}

TEST(TerminalDialogs, alert_waits_for_enter_on_a_terminal) {
  Terminal terminal;
  ASSERT_GE(terminal.follower(), 0);
  platform::LogCapture log;
  auto presenter = platform::makeTerminalDialogPresenter(terminal.follower(), terminal.follower());
  terminal.type("\n");
  EXPECT_EQ(presenter->runAlert("Error subiendo el fichero", "una\xE2\x80\xA8otra"),
            ModalResponse::OK);
  std::string screen = terminal.screen();
  EXPECT_NE(screen.find("Error subiendo el fichero"), std::string::npos);
  EXPECT_NE(screen.find("una\r\notra"), std::string::npos);  // U+2028 ends the line
  EXPECT_TRUE(log.contains("ALERTA: Error subiendo el fichero — una\xE2\x80\xA8otra"));
}

TEST(TerminalDialogs, without_a_terminal_dialogs_are_not_shown_but_alerts_are_logged) {
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  platform::LogCapture log;
  auto presenter = platform::makeTerminalDialogPresenter(fds[0], fds[1]);
  EXPECT_EQ(presenter->runAlert("El fichero vldoc está caducado.", ""), ModalResponse::NotShown);
  EXPECT_TRUE(log.contains("ALERTA: El fichero vldoc está caducado."));
  auto outcome = presenter->runSavePanel({"doc"}, "", "");
  EXPECT_EQ(outcome.response, ModalResponse::NotShown);
  EXPECT_EQ(outcome.filename, "");
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(TerminalDialogs, desktop_presenter_without_display_uses_the_terminal_and_never_hangs) {
  // This process has no display (the private desktop removed it); whatever
  // standard input is under the test runner, the call comes back.
  int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int saved = ::dup(STDIN_FILENO);
  ::dup2(devnull, STDIN_FILENO);
  platform::setLogToStandardError(false);
  auto presenter = platform::makeDesktopDialogPresenter();
  EXPECT_EQ(presenter->runAlert("aviso", ""), ModalResponse::NotShown);
  EXPECT_EQ(presenter->runSavePanel({"doc"}, "", "").response, ModalResponse::NotShown);
  platform::setLogToStandardError(true);
  ::dup2(saved, STDIN_FILENO);
  ::close(saved);
  ::close(devnull);
}

}  // namespace
