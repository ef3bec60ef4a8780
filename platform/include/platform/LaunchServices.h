#pragma once
// The default-editor lookup per file extension.

#include <optional>
#include <string>

namespace platform {

// The application the desktop names as default editor for an extension.
struct ApplicationRef {
  std::string bundlePath;   // folder (or executable) that holds the editor's processes
  std::string displayName;  // the name the desktop shows for it
  std::string desktopId;    // the desktop entry's id, e.g. "libreoffice-writer.desktop"
};

// The default application for files with this extension (no dot), in the
// editor role; nothing when none is registered or it cannot be run.
std::optional<ApplicationRef> LSGetApplicationForInfo(const std::string& extension);
// The bundle's location as a file URL.
std::string CFURLCreateFromFSRef(const ApplicationRef& ref);
// The bundle's display name.
std::string LSCopyDisplayNameForRef(const ApplicationRef& ref);

// True when the desktop would run, rather than open for editing, a file with
// this extension (no dot; compared without regard to case): a type GIO counts
// as executable and that derives from "application/x-executable" (programs,
// shell, Python, Perl and other scripts), desktop entries, Windows programs
// and installers, Java archives, AppImages, shared libraries, and a short
// list of such extensions whatever the MIME database says. Plain text kinds
// (txt, csv, xml, html), which GIO also counts as possibly executable, are
// opened in an editor and are not refused.
bool isExecutableExtension(const std::string& extension);

}  // namespace platform
