#pragma once
// Whether some other program still holds a document: the end-of-editing
// signal for desktops whose editors keep no advisory lock for the whole time a
// document is open. The probe looks without taking any lock itself, so an
// editor that locks the document while loading it never finds it taken.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform {

enum class HoldState { Missing, Free, Held };

// What made the document held (the first sign found, in this order).
enum class HoldKind {
  None,      // Free or Missing
  LockFile,  // an editor's lock file beside it (".~lock.NAME#", "~$NAME", ".NAME.swp", ...)
  Lock,      // another process holds a POSIX, OFD or flock lock on it
  Open,      // another process has it open
};

struct HoldReport {
  HoldState state = HoldState::Missing;
  std::string reason;  // for the log: what was found, e.g. "abierto por el proceso 123"
  HoldKind kind = HoldKind::None;
  pid_t holder = 0;  // the process found holding it, when known
  // Every process found with it open (when kind is Open), up to a bound.
  std::vector<pid_t> holders;
};

// Looks at the document at path as it is now: it is looked up by path each
// time (a save that renames a new file over it gives a new file), only read
// (never locked or written), and processes of this process itself do not
// count. Missing when nothing is at path. Thread-safe. It opens the document
// read-only for a moment: like any close, that drops POSIX (not OFD or flock)
// locks that this process itself holds on it.
HoldReport probeDocumentHold(const std::string& path);

// The names of the lock files that editors put beside a document called name.
std::vector<std::string> editorLockFileNames(const std::string& name);

// The document that a lock file of an editor stands for, from the lock file's
// name (".~lock.NAME#", ".NAME.swp", ".#NAME", "~$NAME", ...); nothing for a
// name that is not an editor's lock file. The Office family's shortened names
// give the shortened document name.
std::optional<std::string> lockedDocumentName(const std::string& lockFileName);

}  // namespace platform
