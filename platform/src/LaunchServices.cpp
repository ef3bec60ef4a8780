#include "platform/LaunchServices.h"

#include "platform/FileURL.h"

namespace platform {

std::string CFURLCreateFromFSRef(const ApplicationRef& ref) {
  // Encoded the way RunningApplication::executablePath() decodes, so the path
  // of this URL is a plain text prefix of the paths of the editor's processes.
  return fileURLForPath(ref.bundlePath);
}

std::string LSCopyDisplayNameForRef(const ApplicationRef& ref) { return ref.displayName; }

}  // namespace platform
