#pragma once
// What the ticket handling asks of the desktop, behind one interface: the
// default editor for an extension, opening a document in it, and the signals
// that tell whether the editor still has the document. SystemDesktop answers
// with the platform; tests derive from it to stand in for parts of it.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/LaunchServices.h"

namespace app {

// What a probe of the local document found.
enum class DocumentState {
  Missing,  // nothing at the path
  Free,     // nobody seems to have it open
  Held,     // an editor (a lock, a lock file or an open descriptor) has it
};

// What made a held document held, strongest sign first.
enum class HoldSign {
  None,      // free or missing
  LockFile,  // the editor's lock file beside it (the editor's own protocol)
  Lock,      // a process holds an advisory lock on it
  Open,      // a process has it open
};

struct DocumentProbe {
  DocumentProbe(DocumentState s = DocumentState::Free, std::string why = {}, HoldSign how = HoldSign::None,
                std::vector<pid_t> who = {})
      : state(s), reason(std::move(why)), sign(how), holders(std::move(who)) {}
  DocumentState state = DocumentState::Free;
  std::string reason;  // who holds it, for the log
  HoldSign sign = HoldSign::None;
  std::vector<pid_t> holders;  // the processes seen holding it, when known
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
  // The processes among known that still run, with every process they
  // started (and those started in turn); empty once all have ended; nothing
  // when that cannot be known.
  virtual std::optional<std::vector<pid_t>> processTree(const std::vector<pid_t>& known) = 0;
  // The program a process runs, when it can be read.
  virtual std::optional<std::string> programOf(pid_t pid) = 0;
  // Processes outside excluding that run one of programs or a program inside
  // the folder bundle: the editor still running elsewhere.
  virtual std::vector<pid_t> programRunningElsewhere(const std::vector<std::string>& programs,
                                                     const std::string& bundle,
                                                     const std::vector<pid_t>& excluding) = 0;
  // Brings forward the windows of these processes whose title names the
  // document; done runs later on the main thread with how many were found.
  virtual void bringForward(const std::vector<pid_t>& pids, const std::string& title,
                            std::function<void(std::size_t)> done) = 0;
};

// The desktop of the running system, through the platform layer.
class SystemDesktop : public Desktop {
 public:
  std::optional<platform::ApplicationRef> editorFor(const std::string& extension) override;
  bool openFile(const std::string& path) override;
  DocumentProbe probeDocument(const std::string& path) override;
  std::optional<std::vector<pid_t>> processTree(const std::vector<pid_t>& known) override;
  std::optional<std::string> programOf(pid_t pid) override;
  std::vector<pid_t> programRunningElsewhere(const std::vector<std::string>& programs, const std::string& bundle,
                                             const std::vector<pid_t>& excluding) override;
  void bringForward(const std::vector<pid_t>& pids, const std::string& title,
                    std::function<void(std::size_t)> done) override;
};

}  // namespace app
