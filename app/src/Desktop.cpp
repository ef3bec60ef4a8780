#include "app/Desktop.h"

#include "platform/DocumentHold.h"
#include "platform/Processes.h"
#include "platform/Workspace.h"

namespace app {

std::optional<platform::ApplicationRef> SystemDesktop::editorFor(const std::string& extension) {
  return platform::LSGetApplicationForInfo(extension);
}

bool SystemDesktop::openFile(const std::string& path) {
  return platform::Workspace::sharedWorkspace().openFile(path);
}

DocumentProbe SystemDesktop::probeDocument(const std::string& path) {
  platform::HoldReport report = platform::probeDocumentHold(path);
  switch (report.state) {
    case platform::HoldState::Missing: return {DocumentState::Missing, report.reason};
    case platform::HoldState::Held: return {DocumentState::Held, report.reason};
    case platform::HoldState::Free: break;
  }
  return {DocumentState::Free, report.reason};
}

std::optional<bool> SystemDesktop::isProcessRunning(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  return platform::isProcessRunning(pid);
}

}  // namespace app
