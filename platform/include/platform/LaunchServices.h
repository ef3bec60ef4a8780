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

}  // namespace platform
