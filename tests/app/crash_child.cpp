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
#include <string>

#include "FlowFixture.h"
#include "platform/Application.h"
#include "platform/Signals.h"

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  if (const char* at = std::getenv("VLA_PRUEBA_MATAR_EN")) gKillAt = std::atol(at);
  if (const char* steps = std::getenv("VLA_PRUEBA_PASOS"))
    gStepsFd = ::open(steps, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  app::fijarPuntoDeControl(step);
  // Every alert's default, the save dialog cancelled: the edit is kept.
  platform::setDialogPresenter(std::make_shared<flowtest::ScriptedDialogs>());
  platform::setUserNotifier(std::make_shared<testsupport::RecordingNotifier>());
  // An editor that has the document for two looks, saving it at the first when
  // asked to, then lets go; its process runs while it has the document (for
  // ever, with an editor that keeps it).
  const bool saves = std::strcmp(argv[2], "guarda") == 0;
  const bool holds = std::strcmp(argv[2], "espera") == 0;
  auto editor = std::make_shared<flowtest::FakeDesktop>();
  editor->editor = platform::ApplicationRef{"/opt/editor", "Editor", "editor.desktop"};
  editor->onOpen = [](const std::string& path) {
    return flowtest::announceLaunch(4242, "/opt/editor/bin/editor", "Editor", path), true;
  };
  editor->probeHook = [saves, holds](const std::string& path, int look) -> app::DocumentProbe {
    if (look == 1 && saves) {
      platform::writeAtomically(path, platform::dataFromString("EDICION"));
      step("guardado");
    }
    if (look <= 2 || holds) return {app::DocumentState::Held, "abierto por el editor"};
    return {platform::fileExists(path) ? app::DocumentState::Free : app::DocumentState::Missing, ""};
  };
  editor->treeHook = [holds](const std::vector<pid_t>&, int looks) {
    return std::optional(holds || looks <= 2 ? std::vector<pid_t>{4242} : std::vector<pid_t>{});
  };

  platform::Application& application = platform::Application::sharedApplication();
  auto delegate = std::make_shared<app::vlaAppDelegate>();
  delegate->setDesktop(editor);
  delegate->timing = app::Timing{0.0, 0.0, 0.02, 0.3, 0.02};
  application.setDelegate(delegate.get());
  platform::handleTerminationSignals([delegate](int signal) { delegate->interrumpir(signal); });
  application.openFiles({argv[1]});
  application.run();
  application.setDelegate(nullptr);
  return delegate->exitStatus();
}
