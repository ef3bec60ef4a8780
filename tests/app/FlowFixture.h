#pragma once
// Tickets from the open request to the web service's answer, against the
// stand-in ticket service running in this process. The desktop is stood in
// for by FakeDesktop: the default editor, its launch (a workspace
// notification, with the scripted editor run as a real process where a test
// needs one) and, where a test needs exact sequences, the looks at the
// document. Dialogs are scripted; they are answered on the dialog thread.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>

#include "app/Avisos.h"
#include "app/Envelopes.h"
#include "app/TicketRecord.h"
#include "app/vlaAppDelegate.h"
#include "platform/Dialogs.h"
#include "platform/FileURL.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "testsupport/TestSupport.h"
#include "ticketservice/TicketService.h"

using namespace app;
using platform::ModalResponse;
using S = DocumentState;

namespace flowtest {

constexpr char kEditorName[] = "Editor de prueba";
constexpr char kQuestion[] = "¿Ha terminado de editar el documento?";

// Answers dialogs on the dialog thread and remembers what was shown.
class ScriptedDialogs : public platform::DialogPresenter {
  template <class F>
  auto locked(F f) const {
    std::lock_guard lock(mutex_);
    return f();
  }
  template <class T>
  static T next(std::deque<T>& answers, T otherwise) {
    if (answers.empty()) return otherwise;
    T r = answers.front();
    answers.pop_front();
    return r;
  }

 public:
  std::deque<ModalResponse> alertAnswers;              // OK once these run out
  std::deque<platform::SavePanelOutcome> saveAnswers;  // Cancel once these run out
  std::function<void(const std::string&)> beforeAnswer;  // may hold the dialog thread

  ModalResponse runAlert(const std::string& m, const std::string& i) override {
    locked([&] { alerts_.emplace_back(m, i); });
    if (beforeAnswer) beforeAnswer(m);
    return locked([&] { return next(alertAnswers, ModalResponse::OK); });
  }
  platform::SavePanelOutcome runSavePanel(const std::vector<std::string>& types, const std::string& folder,
                                          const std::string& file) override {
    return locked([&] {
      savePanels_.push_back(types);
      savePlaces_.emplace_back(folder, file);
      return next(saveAnswers, platform::SavePanelOutcome{ModalResponse::Cancel, ""});
    });
  }
  // Alerts with buttons: the button chosen (by index); the first once these run out.
  std::deque<std::size_t> buttonAnswers;
  platform::AlertOutcome runAlertWithButtons(const std::string& m, const std::string& i,
                                             const std::vector<std::string>& buttons) override {
    if (buttons.size() == 1) return DialogPresenter::runAlertWithButtons(m, i, buttons);
    return locked([&] {
      alerts_.emplace_back(m, i);
      buttons_.push_back(buttons);
      return platform::AlertOutcome{ModalResponse::OK, next(buttonAnswers, std::size_t{0})};
    });
  }
  auto buttons() const { return locked([&] { return buttons_; }); }
  // Where each save dialog was opened: its folder and proposed name.
  auto savePlaces() const { return locked([&] { return savePlaces_; }); }
  auto alerts() const { return locked([&] { return alerts_; }); }
  auto savePanels() const { return locked([&] { return savePanels_; }); }
  std::vector<std::string> titles() const {
    std::vector<std::string> t;
    for (const auto& a : alerts()) t.push_back(a.first);
    return t;
  }
  void clear() {
    locked([&] { alerts_.clear(), savePanels_.clear(), buttons_.clear(), savePlaces_.clear(); });
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::string, std::string>> alerts_;
  std::vector<std::vector<std::string>> savePanels_;
  std::vector<std::vector<std::string>> buttons_;
  std::vector<std::pair<std::string, std::string>> savePlaces_;
};

class FakeDesktop : public SystemDesktop {
 public:
  std::optional<platform::ApplicationRef> editor;
  std::function<bool(const std::string&)> onOpen;
  // Looks at the document (counted per path): a hook, else scripted answers,
  // else the real probe.
  std::function<DocumentProbe(const std::string&, int)> probeHook;
  std::deque<DocumentState> probes;
  std::deque<std::optional<bool>> running;  // the last answer repeats
  std::map<std::string, int> looks;

  std::optional<platform::ApplicationRef> editorFor(const std::string&) override { return editor; }
  bool openFile(const std::string& path) override { return onOpen ? onOpen(path) : false; }
  DocumentProbe probeDocument(const std::string& path) override {
    const int look = ++looks[path];
    if (probeHook) return probeHook(path, look);
    if (!probes.empty()) {
      DocumentState s = probes.front();
      probes.pop_front();
      return {s, s == S::Held ? "retenido por la prueba" : ""};
    }
    return SystemDesktop::probeDocument(path);
  }
  std::optional<bool> isProcessRunning(pid_t pid) override {
    if (running.empty()) return SystemDesktop::isProcessRunning(pid);
    auto r = running.front();
    if (running.size() > 1) running.pop_front();
    return r;
  }
};

inline platform::Data bytesOf(const std::string& s) { return platform::dataFromString(s); }

// An editor that has the document for a few looks, saving it on the way
// when contents are given, then lets go.
inline DocumentProbe editorThatSaves(const std::string& path, int look, std::optional<std::string> contents,
                              int heldLooks = 3) {
  if (look == 1 && contents) {
    EXPECT_TRUE(platform::writeAtomically(path, bytesOf(*contents)));
  }
  if (look <= heldLooks) return {S::Held, "abierto por el editor"};
  return {platform::fileExists(path) ? S::Free : S::Missing, ""};
}

inline pid_t spawn(const std::vector<std::string>& args, std::vector<std::string> env) {
  env.push_back("PATH=/usr/bin:/bin");
  std::vector<char*> argv, envp;
  std::vector<std::string> a = args;
  for (auto& s : a) argv.push_back(s.data());
  for (auto& s : env) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = 0;
  return posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) == 0 ? pid : 0;
}

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setLogToStandardError(false);
    // The records of tickets and the notices stay with the test.
    const char* state = std::getenv("XDG_STATE_HOME");
    previousState = state ? std::optional<std::string>(state) : std::nullopt;
    setenv("XDG_STATE_HOME", dir.file("estado").c_str(), 1);
    previousNotifier = platform::setUserNotifier(notices);
    ticketservice::TicketService::Options o;
    o.placeholderPath = platform::pathForResource("caducado.doc").value_or("");
    service = std::make_unique<ticketservice::TicketService>(o);
    ASSERT_TRUE(service->start());
    dialogs = std::make_shared<ScriptedDialogs>();
    previousPresenter = platform::setDialogPresenter(dialogs);

    desktop = std::make_shared<FakeDesktop>();
    bundle = dir.path() + "/editor";
    desktop->editor = platform::ApplicationRef{bundle, kEditorName, "editor-de-prueba.desktop"};
    // By default the editor is launched as a workspace notification only.
    desktop->onOpen = [this](const std::string&) {
      announceLaunch(4242, bundle + "/bin/editor", kEditorName);
      return true;
    };
    delegate = std::make_shared<vlaAppDelegate>();
    delegate->setDesktop(desktop);
    delegate->timing = Timing{0.0, 0.0, 0.02, 0.3, 0.02};
  }

  void TearDown() override {
    delegate.reset();
    // Let the requests in flight finish and their callbacks run here.
    testsupport::runMainLoopUntil([] { return false; }, std::chrono::milliseconds(50));
    platform::setDialogPresenter(previousPresenter);
    platform::setUserNotifier(previousNotifier);
    previousState ? setenv("XDG_STATE_HOME", previousState->c_str(), 1) : unsetenv("XDG_STATE_HOME");
    service->stop();
    for (pid_t child : children) waitpid(child, nullptr, 0);
    platform::setLogToStandardError(true);
  }

  void announceLaunch(pid_t pid, const std::string& executable, std::optional<std::string> name) {
    auto app = std::make_shared<platform::RunningApplication>();
    app->processIdentifier = pid;
    app->executableURL = platform::fileURLForPath(executable);
    app->localizedName = name.value_or("");
    platform::Workspace::sharedWorkspace().postApplicationLaunched(app);
  }

  // Issues a ticket for the document and writes its ticket document NAME.vldoc
  // (the local document is then NAME.doc).
  std::string issue(const std::string& contents, const std::string& name = "informe",
                    const std::string& base = "") {
    ticketId = service->issue(bytesOf(contents), "doc", "7", name + ".doc");
    std::string text = service->ticketDocument(ticketId);
    if (!base.empty()) text.replace(text.find(service->baseURL()), service->baseURL().size(), base);
    ticketPath = dir.write(name + ".vldoc", text);
    localPath = dir.file(name + ".doc");
    ids[ticketPath] = ticketId;
    return ticketPath;
  }

  void open(const std::string& path) {
    EXPECT_TRUE(delegate->applicationOpenFile(platform::Application::sharedApplication(), path));
  }
  // Opens the ticket and turns the main loop until every ticket has ended.
  void runTicket(const std::string& path) {
    open(path);
    runUntilAllEnded();
  }
  void runUntilAllEnded() {
    ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return delegate->sessionCount() == 0; },
                                              std::chrono::seconds(30)));
  }
  std::vector<ticketservice::SoapCall> callsFor(const std::string& id) const {
    std::vector<ticketservice::SoapCall> out;
    for (auto& c : service->calls()) {
      if (c.ticket == id) out.push_back(c);
    }
    return out;
  }
  // The lines of the log that are among the given ones, in order.
  std::vector<std::string> logSteps(const std::vector<std::string>& wanted) const {
    std::vector<std::string> steps;
    for (const auto& l : log.lines()) {
      if (std::find(wanted.begin(), wanted.end(), l) != wanted.end()) steps.push_back(l);
    }
    return steps;
  }
  // Runs the scripted editor on path, as LibreOffice holds a document.
  pid_t runEditor(const std::string& path, const std::string& text, const std::string& openSeconds) {
    pid_t pid = spawn({std::string(VLA_SOURCE_DIR) + "/tools/scripted-editor.sh", path},
                      {"SCRIPTED_EDITOR_TEXT=" + text, "SCRIPTED_EDITOR_OPEN_SECONDS=" + openSeconds,
                       "SCRIPTED_EDITOR_AFTER_SECONDS=0.2", "SCRIPTED_EDITOR_LOG=/dev/null"});
    EXPECT_GT(pid, 0);
    children.push_back(pid);
    return pid;
  }

  std::string lastLine() const {
    auto lines = log.lines();
    return lines.empty() ? "" : lines.back();
  }

  testsupport::TempDir dir;
  platform::LogCapture log;
  std::shared_ptr<testsupport::RecordingNotifier> notices = std::make_shared<testsupport::RecordingNotifier>();
  std::shared_ptr<platform::UserNotifier> previousNotifier;
  std::optional<std::string> previousState;
  std::unique_ptr<ticketservice::TicketService> service;
  std::shared_ptr<ScriptedDialogs> dialogs;
  std::shared_ptr<platform::DialogPresenter> previousPresenter;
  std::shared_ptr<FakeDesktop> desktop;
  std::shared_ptr<vlaAppDelegate> delegate;
  std::string bundle, ticketId, ticketPath, localPath;
  std::map<std::string, std::string> ids;  // ticket document -> ticket id
  std::vector<pid_t> children;
};

}  // namespace flowtest
