#pragma once
// Tickets from the open request to the answer of the stand-in ticket service
// in this process. FakeDesktop stands in for the editor, its launch and, where
// a test needs exact sequences, the looks at the document.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>

#include "app/Avisos.h"
#include "app/Envelopes.h"
#include "app/TicketRecord.h"
#include "app/vlaAppDelegate.h"
#include "platform/Dialogs.h"
#include "platform/FileURL.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "platform/Questions.h"
#include "platform/Resources.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "testsupport/TestSupport.h"
#include "ticketservice/TicketService.h"

using namespace app;
using platform::ModalResponse;
using S = DocumentState;
using ticketservice::Behaviour;
using ticketservice::UploadMode;

namespace flowtest {

constexpr char kEditorName[] = "Editor de prueba";

// Answers dialogs and remembers each alert (title, text) and, as lines of
// their own, the buttons of alerts that have several and the save dialogs.
struct ScriptedDialogs : platform::DialogPresenter {
  ModalResponse alertAnswer = ModalResponse::OK;
  std::size_t button = 0;
  platform::SavePanelOutcome saveAnswer{ModalResponse::Cancel, ""};
  mutable std::mutex mutex;
  std::condition_variable changed;
  bool holding = false;  // alerts wait for release() before they are answered
  int released = 0;
  std::vector<std::pair<std::string, std::string>> shown;
  std::vector<std::string> extras;

  ModalResponse runAlert(const std::string& m, const std::string& i) override {
    record(m, i, "");
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return !holding || released > 0; });
    return released -= holding ? 1 : 0, alertAnswer;
  }
  platform::AlertOutcome runAlertWithButtons(const std::string& m, const std::string& i,
                                             const std::vector<std::string>& b) override {
    if (b.size() == 1) return DialogPresenter::runAlertWithButtons(m, i, b);
    record(m, i, "botones " + b.at(0) + " | " + b.at(1) + (b.size() > 2 ? " | ..." : ""));
    return {ModalResponse::OK, button};
  }
  platform::SavePanelOutcome runSavePanel(const std::vector<std::string>& types, const std::string& folder,
                                          const std::string& file) override {
    record("", "", "guardar " + folder + " | " + file + " | " + (types.size() == 1 ? types[0] : "?"));
    return saveAnswer;
  }
  void record(const std::string& title, const std::string& text, const std::string& extra) {
    std::lock_guard lock(mutex);
    if (!title.empty()) shown.emplace_back(title, text);
    if (!extra.empty()) extras.push_back(extra);
  }
  auto alerts() const { return std::lock_guard(mutex), shown; }
  auto recorded() const { return std::lock_guard(mutex), extras; }
  std::vector<std::string> titles() const {
    std::vector<std::string> t;
    for (const auto& a : alerts()) t.push_back(a.first);
    return t;
  }
  void hold() {
    std::lock_guard lock(mutex);
    holding = true;
  }
  void release() {
    std::lock_guard lock(mutex);
    ++released, changed.notify_all();
  }
  void clear() {
    std::lock_guard lock(mutex);
    shown.clear(), extras.clear(), alertAnswer = ModalResponse::OK, button = 0, holding = false, released = 0;
    saveAnswer = {ModalResponse::Cancel, ""};
  }
};

// Answers quiet questions when told to, and remembers each one shown (its
// summary and buttons) and whether it was withdrawn.
struct ScriptedQuestions : platform::QuestionPresenter {
  struct Shown {
    std::uint64_t id;
    platform::QuietQuestion question;
    std::function<void(std::size_t)> answered;
    bool withdrawn = false;
  };
  bool canShow = true;
  mutable std::mutex mutex;
  std::vector<Shown> shown;

  bool show(std::uint64_t id, const platform::QuietQuestion& q, std::function<void(std::size_t)> answered) override {
    std::lock_guard lock(mutex);
    shown.push_back({id, q, canShow ? std::move(answered) : nullptr, !canShow});
    return canShow;
  }
  void withdraw(std::uint64_t id) override {
    std::lock_guard lock(mutex);
    for (auto& q : shown) q.withdrawn = q.withdrawn || q.id == id;
  }
  // Clicks the button of the last question still up; false when none is.
  bool click(std::size_t button) {
    std::function<void(std::size_t)> answered;
    {
      std::lock_guard lock(mutex);
      for (auto it = shown.rbegin(); it != shown.rend(); ++it) {
        if (!it->withdrawn) {
          answered = it->answered;
          break;
        }
      }
    }
    if (!answered) return false;
    answered(button);
    return true;
  }
  // "summary [button | button]" of each question shown, and "(retirada)"
  // after one that was withdrawn.
  std::vector<std::string> seen() const {
    std::lock_guard lock(mutex);
    std::vector<std::string> out;
    for (const auto& q : shown) {
      std::string buttons;
      for (const auto& b : q.question.buttons) buttons += (buttons.empty() ? "" : " | ") + b;
      out.push_back(q.question.summary + " [" + buttons + "]" + (q.withdrawn ? " (retirada)" : ""));
    }
    return out;
  }
  std::size_t live() const {
    std::lock_guard lock(mutex);
    return std::count_if(shown.begin(), shown.end(), [](auto& q) { return !q.withdrawn; });
  }
  void clear() {
    std::lock_guard lock(mutex);
    shown.clear(), canShow = true;
  }
};

class FakeDesktop : public SystemDesktop {
 public:
  std::optional<platform::ApplicationRef> editor;
  std::function<bool(const std::string&)> onOpen;
  // Looks at the document, counted per path; the real probe without a hook.
  std::function<DocumentProbe(const std::string&, int)> probeHook;
  // The editor's processes at each look (given the processes known), counted
  // per call; without a hook the launched process has ended by the first
  // look (the editor is followed by what it does with the document).
  std::function<std::optional<std::vector<pid_t>>(const std::vector<pid_t>&, int)> treeHook;
  std::vector<pid_t> elsewhere;  // the editor running in processes vla did not launch
  std::map<std::string, int> looks;
  int treeLooks = 0;

  std::optional<platform::ApplicationRef> editorFor(const std::string&) override { return editor; }
  bool openFile(const std::string& path) override { return onOpen(path); }
  DocumentProbe probeDocument(const std::string& path) override {
    const int look = ++looks[path];
    return probeHook ? probeHook(path, look) : SystemDesktop::probeDocument(path);
  }
  std::optional<std::vector<pid_t>> processTree(const std::vector<pid_t>& known) override {
    ++treeLooks;
    return treeHook ? treeHook(known, treeLooks) : std::optional(std::vector<pid_t>{});
  }
  std::optional<std::string> programOf(pid_t pid) override { return "/opt/editor/bin/proceso-" + std::to_string(pid); }
  std::vector<pid_t> programRunningElsewhere(const std::vector<std::string>&, const std::string&,
                                             const std::vector<pid_t>&) override {
    return elsewhere;
  }
  // Windows brought forward: "PIDS|TITLE" each; windowsFound answers.
  std::vector<std::string> broughtForward;
  std::size_t windowsFound = 0;
  void bringForward(const std::vector<pid_t>& pids, const std::string& title,
                    std::function<void(std::size_t)> done) override {
    std::string list;
    for (pid_t pid : pids) list += (list.empty() ? "" : ",") + std::to_string(pid);
    broughtForward.push_back(list + "|" + title);
    platform::RunLoop::main().perform([done, n = windowsFound] { done(n); });
  }
};

// Posts the launch of a program as the workspace does.
inline void announceLaunch(pid_t pid, const std::string& executable, std::optional<std::string> name,
                           const std::string& document = "") {
  auto app = std::make_shared<platform::RunningApplication>();
  app->processIdentifier = pid, app->executableURL = platform::fileURLForPath(executable),
  app->localizedName = name.value_or("");
  app->document = document;
  platform::Workspace::sharedWorkspace().postApplicationLaunched(app);
}

inline platform::Data bytesOf(const std::string& s) { return platform::dataFromString(s); }

// The record of the ticket with this id, whichever ticket document it is for.
inline std::optional<RegistroTicket> recordFor(const std::string& id) {
  for (auto& r : registros()) {
    if (r.ticket == id) return r;
  }
  return std::nullopt;
}

// An editor that has the document for a few looks, with a lock file beside it
// as an office suite does, saving it on the way when contents are given, then
// lets go.
inline DocumentProbe editorThatSaves(const std::string& path, int look, std::optional<std::string> contents,
                                     int heldLooks = 3) {
  EXPECT_TRUE(look != 1 || !contents || platform::writeAtomically(path, bytesOf(*contents)));
  if (look <= heldLooks) return {S::Held, "fichero de bloqueo del editor", HoldSign::LockFile};
  return {platform::fileExists(path) ? S::Free : S::Missing, ""};
}

// Starts a program; its standard error goes to errorLog when one is named.
inline pid_t spawn(std::vector<std::string> args, std::vector<std::string> env, const std::string& errorLog = "") {
  env.push_back("PATH=/usr/bin:/bin");
  std::vector<char*> argv, envp;
  for (auto& s : args) argv.push_back(s.data());
  for (auto& s : env) envp.push_back(s.data());
  argv.push_back(nullptr), envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!errorLog.empty())
    posix_spawn_file_actions_addopen(&actions, 2, errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return failed ? 0 : pid;
}

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setLogToStandardError(false);
    // The records of tickets and the notices stay with the test.
    if (const char* state = std::getenv("XDG_STATE_HOME")) previousState = state;
    setenv("XDG_STATE_HOME", dir.file("estado").c_str(), 1);
    previousNotifier = platform::setUserNotifier(notices);
    ASSERT_TRUE(service->start());
    previousPresenter = platform::setDialogPresenter(dialogs);
    previousQuestions = platform::setQuestionPresenter(questions);
    bundle = dir.path() + "/editor";
    desktop->editor = platform::ApplicationRef{bundle, kEditorName, "editor-de-prueba.desktop"};
    // By default the open request is recorded and the editor's launch announced.
    desktop->onOpen = [this](const std::string& path) {
      opened.push_back(path);
      if (launches) announceLaunch(4242, bundle + "/bin/editor", kEditorName);
      return launches;
    };
    delegate->setDesktop(desktop);
    delegate->timing = Timing{0.0, 0.0, 0.02, 0.02};
    delegate->timing.sendingNotice = 600;  // only the test of that notice waits for it
    delegate->timing.offerAfter = 600;     // only the tests of that offer wait for it
    delegate->timing.handOffGrace = 0;     // asked at once
    delegate->timing.quitGrace = 0;        // asked at the next look
  }

  void TearDown() override {
    delegate.reset();
    // Let the requests in flight finish and their callbacks run here.
    testsupport::runMainLoopUntil([] { return false; }, std::chrono::milliseconds(50));
    platform::setDialogPresenter(previousPresenter);
    platform::setQuestionPresenter(previousQuestions);
    platform::setUserNotifier(previousNotifier);
    previousState ? setenv("XDG_STATE_HOME", previousState->c_str(), 1) : unsetenv("XDG_STATE_HOME");
    service->stop();
    for (pid_t child : children) waitpid(child, nullptr, 0);
    platform::setLogToStandardError(true);
  }

  // Issues a ticket for the document and writes its ticket document NAME.vldoc
  // (the local document is then NAME.doc); the log, dialogs, notices, looks
  // and open requests start afresh.
  std::string issue(const std::string& contents, const std::string& name = "informe", const std::string& base = "") {
    ticketId = service->issue(bytesOf(contents), "doc", "7", name + ".doc");
    std::string text = service->ticketDocument(ticketId);
    if (!base.empty()) text.replace(text.find(service->baseURL()), service->baseURL().size(), base);
    ticketPath = dir.write(name + ".vldoc", text);
    localPath = dir.file(name + ".doc");
    ids[ticketPath] = ticketId;
    log.clear(), dialogs->clear(), questions->clear(), desktop->looks.clear(), desktop->treeLooks = 0, opened.clear();
    platform::setUserNotifier(notices = std::make_shared<testsupport::RecordingNotifier>());
    return ticketPath;
  }

  void open(const std::string& path) {
    EXPECT_TRUE(delegate->applicationOpenFile(platform::Application::sharedApplication(), path));
  }
  void runUntilAllEnded() {
    ASSERT_TRUE(testsupport::runMainLoopUntil([&] { return delegate->sessionCount() == 0; }, std::chrono::seconds(30)));
  }
  void runTicket(const std::string& path) { open(path), runUntilAllEnded(); }
  std::vector<ticketservice::SoapCall> callsFor(const std::string& id) const {
    auto calls = service->calls();
    std::erase_if(calls, [&](auto& c) { return c.ticket != id; });
    return calls;
  }
  std::string operationFor(const std::string& id) const {
    const auto c = callsFor(id);
    return c.size() == 1 ? c[0].operation : std::to_string(c.size()) + " llamadas";
  }
  // The lines of the log that are among the given ones, in order.
  std::vector<std::string> logSteps(const std::vector<std::string>& wanted) const {
    auto lines = log.lines();
    std::erase_if(lines, [&](auto& l) { return std::find(wanted.begin(), wanted.end(), l) == wanted.end(); });
    return lines;
  }
  std::size_t linesStarting(const std::string& start) const {
    const auto lines = log.lines();
    return std::count_if(lines.begin(), lines.end(), [&](auto& l) { return l.starts_with(start); });
  }
  std::string lastLine() const { return log.lines().empty() ? "" : log.lines().back(); }
  std::vector<std::string> entries(const std::string& folder) const {  // sorted
    auto names = platform::folderEntries(folder);
    std::sort(names.begin(), names.end());
    return names;
  }
  // The test's folder as vla resolves it, or a path below it.
  std::string folder(const std::string& sub = "") const {
    return platform::absolutePath(dir.path()).value() + (sub.empty() ? "" : "/" + sub);
  }

  testsupport::TempDir dir;
  platform::LogCapture log;
  std::shared_ptr<testsupport::RecordingNotifier> notices = std::make_shared<testsupport::RecordingNotifier>();
  std::shared_ptr<platform::UserNotifier> previousNotifier;
  std::optional<std::string> previousState;
  std::unique_ptr<ticketservice::TicketService> service =
      std::make_unique<ticketservice::TicketService>(ticketservice::TicketService::Options{
          "127.0.0.1", 0, "", platform::pathForResource("caducado.doc").value_or("")});
  std::shared_ptr<ScriptedDialogs> dialogs = std::make_shared<ScriptedDialogs>();
  std::shared_ptr<platform::DialogPresenter> previousPresenter;
  std::shared_ptr<ScriptedQuestions> questions = std::make_shared<ScriptedQuestions>();
  std::shared_ptr<platform::QuestionPresenter> previousQuestions;
  std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
  std::shared_ptr<vlaAppDelegate> delegate = std::make_shared<vlaAppDelegate>();
  std::string bundle, ticketId, ticketPath, localPath;
  std::map<std::string, std::string> ids;  // ticket document -> ticket id
  std::vector<std::string> opened;         // the open requests, by the default launch
  bool launches = true;                    // whether the default launch succeeds
  std::vector<pid_t> children;
};

}  // namespace flowtest
