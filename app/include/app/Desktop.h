#pragma once
// What the ticket handling asks of the desktop, behind one interface: the
// default editor for an extension, opening a document in it, and the signals
// that tell whether the editor still has the document. SystemDesktop answers
// with the platform; tests derive from it to stand in for parts of it.

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "platform/LaunchServices.h"

namespace app {

// What a probe of the local document found.
enum class DocumentState {
  Missing,  // nothing at the path
  Free,     // nobody seems to have it open
  Held,     // an editor (a lock, a lock file or an open descriptor) has it
};

struct DocumentProbe {
  DocumentState state = DocumentState::Free;
  std::string reason;  // who holds it, for the log
};

class Desktop {
 public:
  virtual ~Desktop() = default;
  // LSGetApplicationForInfo: the default editor for the extension (no dot).
  virtual std::optional<platform::ApplicationRef> editorFor(const std::string& extension) = 0;
  // NSWorkspace openFile: — returns at once; false when nothing was launched.
  // The launch arrives later as a workspace notification on the main thread.
  virtual bool openFile(const std::string& path) = 0;
  // Looks at the document once; never blocks.
  virtual DocumentProbe probeDocument(const std::string& path) = 0;
  // Whether the process still runs; nothing when that cannot be known. Must
  // work while the main thread is blocked (it may not wait for notifications).
  virtual std::optional<bool> isProcessRunning(pid_t pid) = 0;
};

// The desktop of the running system, through the platform layer.
class SystemDesktop : public Desktop {
 public:
  std::optional<platform::ApplicationRef> editorFor(const std::string& extension) override;
  bool openFile(const std::string& path) override;
  DocumentProbe probeDocument(const std::string& path) override;
  std::optional<bool> isProcessRunning(pid_t pid) override;
};

}  // namespace app
