#include "platform/LaunchServices.h"

namespace platform {

std::string CFURLCreateFromFSRef(const ApplicationRef& ref) {
  // Paths are kept as they are; a file URL of an absolute path.
  return "file://" + ref.bundlePath;
}

std::string LSCopyDisplayNameForRef(const ApplicationRef& ref) { return ref.displayName; }

}  // namespace platform
