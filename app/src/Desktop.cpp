#include "app/Desktop.h"

#include "platform/DocumentHold.h"
#include "platform/Processes.h"
#include "platform/Workspace.h"

namespace app {

std::optional<platform::ApplicationRef> SystemDesktop::editorFor(const std::string& extension) {
  return platform::LSGetApplicationForInfo(extension);
}

bool SystemDesktop::openFile(const std::string& path) { return platform::Workspace::sharedWorkspace().openFile(path); }

DocumentProbe SystemDesktop::probeDocument(const std::string& path) {
  platform::HoldReport report = platform::probeDocumentHold(path);
  switch (report.state) {
    case platform::HoldState::Missing: return {DocumentState::Missing, report.reason, HoldSign::None, {}};
    case platform::HoldState::Held: break;
    case platform::HoldState::Free: return {DocumentState::Free, report.reason, HoldSign::None, {}};
  }
  DocumentProbe probe{DocumentState::Held, report.reason, HoldSign::Open, report.holders};
  if (report.kind == platform::HoldKind::LockFile) probe.sign = HoldSign::LockFile;
  if (report.kind == platform::HoldKind::Lock) probe.sign = HoldSign::Lock;
  if (probe.holders.empty() && report.holder > 0) probe.holders.push_back(report.holder);
  return probe;
}

std::optional<std::vector<pid_t>> SystemDesktop::processTree(const std::vector<pid_t>& known) {
  return platform::livingProcessTree(known);
}

std::optional<std::string> SystemDesktop::programOf(pid_t pid) { return platform::processExecutablePath(pid); }

std::vector<pid_t> SystemDesktop::programRunningElsewhere(const std::vector<std::string>& programs,
                                                          const std::string& bundle,
                                                          const std::vector<pid_t>& excluding) {
  std::vector<std::string> exact = programs;
  if (!bundle.empty()) exact.push_back(bundle);
  return platform::processesRunning(exact, bundle.empty() ? std::vector<std::string>{} : std::vector{bundle},
                                    excluding);
}

}  // namespace app

namespace app {

void SystemDesktop::bringForward(const std::vector<pid_t>& pids, const std::string& title,
                                 std::function<void(std::size_t)> done) {
  platform::Workspace::sharedWorkspace().bringWindowsForward(pids, title, std::move(done));
}

}  // namespace app
