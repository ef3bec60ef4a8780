// vla's ticket handling as the application runs it, with a stand-in editor
// and dialogs, killed with SIGKILL at the Nth step of the ticket's life: the
// crash test's subject. Arguments: the ticket document, then "guarda" (the
// editor saves "EDICION"), "nada" (it only looks) or "espera" (it never lets
// go). Termination signals are handled as vla handles them; the log goes to
// standard error. VLA_PRUEBA_MATAR_EN=N
// picks the step (none: the ticket runs to its end); each step's name is
// appended to the file VLA_PRUEBA_PASOS names.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "app/TicketRecord.h"
#include "app/vlaAppDelegate.h"
#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "platform/FileURL.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Notifications.h"
#include "platform/Signals.h"
#include "platform/Workspace.h"

namespace {

long gKillAt = 0;
long gSteps = 0;
int gStepsFd = -1;

void step(const char* name) {
  ++gSteps;
  if (gStepsFd >= 0) {
    const std::string line = std::string(name) + "\n";
    [[maybe_unused]] auto n = ::write(gStepsFd, line.data(), line.size());
  }
  if (gSteps == gKillAt) ::raise(SIGKILL);
}

// Keeps every alert's default, cancels the save dialog, keeps the edit.
struct Dialogs : platform::DialogPresenter {
  platform::ModalResponse runAlert(const std::string&, const std::string&) override {
    return platform::ModalResponse::OK;
  }
  platform::AlertOutcome runAlertWithButtons(const std::string&, const std::string&,
                                             const std::vector<std::string>&) override {
    return {platform::ModalResponse::OK, 0};
  }
  platform::SavePanelOutcome runSavePanel(const std::vector<std::string>&, const std::string&,
                                          const std::string&) override {
    return {platform::ModalResponse::Cancel, ""};
  }
};

struct Quiet : platform::UserNotifier {
  void notify(const std::string&, const std::string&) override {}
};

// An editor that has the document for two looks, saving it at the first when
// asked to, then lets go.
class Editor : public app::SystemDesktop {
 public:
  Editor(bool saves, bool holds) : saves_(saves), holds_(holds) {}
  std::optional<platform::ApplicationRef> editorFor(const std::string&) override {
    return platform::ApplicationRef{"/opt/editor", "Editor", "editor.desktop"};
  }
  bool openFile(const std::string& path) override {
    auto launched = std::make_shared<platform::RunningApplication>();
    launched->processIdentifier = 4242, launched->executableURL = platform::fileURLForPath("/opt/editor/bin/editor");
    launched->localizedName = "Editor";
    launched->document = path;
    platform::Workspace::sharedWorkspace().postApplicationLaunched(launched);
    return true;
  }
  app::DocumentProbe probeDocument(const std::string& path) override {
    const int look = ++looks_[path];
    if (look == 1 && saves_) {
      platform::writeAtomically(path, platform::dataFromString("EDICION"));
      step("guardado");
    }
    if (look <= 2 || holds_) return {app::DocumentState::Held, "abierto por el editor"};
    return {platform::fileExists(path) ? app::DocumentState::Free : app::DocumentState::Missing, ""};
  }
  // The editor's process runs while it has the document, and ends with it
  // (never, for an editor that keeps it).
  std::optional<std::vector<pid_t>> processTree(const std::vector<pid_t>&) override {
    if (holds_ || ++treeLooks_ <= 2) return std::vector<pid_t>{4242};
    return std::vector<pid_t>{};
  }
  std::optional<std::string> programOf(pid_t) override { return "/opt/editor/bin/editor"; }
  std::vector<pid_t> programRunningElsewhere(const std::vector<std::string>&, const std::string&,
                                             const std::vector<pid_t>&) override {
    return {};
  }
  void bringForward(const std::vector<pid_t>&, const std::string&, std::function<void(std::size_t)> done) override {
    platform::RunLoop::main().perform([done] { done(0); });
  }

 private:
  bool saves_, holds_;
  std::map<std::string, int> looks_;
  int treeLooks_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (const char* at = std::getenv("VLA_PRUEBA_MATAR_EN")) gKillAt = std::atol(at);
  if (const char* steps = std::getenv("VLA_PRUEBA_PASOS"))
    gStepsFd = ::open(steps, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  app::fijarPuntoDeControl(step);
  platform::setDialogPresenter(std::make_shared<Dialogs>());
  platform::setUserNotifier(std::make_shared<Quiet>());

  platform::Application& application = platform::Application::sharedApplication();
  auto delegate = std::make_shared<app::vlaAppDelegate>();
  delegate->setDesktop(
      std::make_shared<Editor>(std::strcmp(argv[2], "guarda") == 0, std::strcmp(argv[2], "espera") == 0));
  delegate->timing = app::Timing{0.0, 0.0, 0.02, 0.3, 0.02};
  application.setDelegate(delegate.get());
  platform::handleTerminationSignals([delegate](int signal) { delegate->interrumpir(signal); });
  application.openFiles({argv[1]});
  application.run();
  application.setDelegate(nullptr);
  return delegate->exitStatus();
}
