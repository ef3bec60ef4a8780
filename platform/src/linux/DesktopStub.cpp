// Placeholder desktop back end: no default application is known and nothing
// can be launched. Replaced by the GIO back end.
#include "platform/LaunchServices.h"
#include "platform/Workspace.h"

namespace platform {

bool Workspace::openFile(const std::string&) { return false; }

std::optional<ApplicationRef> LSGetApplicationForInfo(const std::string&) { return std::nullopt; }

}  // namespace platform
