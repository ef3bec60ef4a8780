#include "platform/Workspace.h"

#include "platform/RunLoop.h"

namespace platform {

Workspace& Workspace::sharedWorkspace() {
  static auto* ws = new Workspace();  // lives for the whole process
  return *ws;
}

NotificationCenter& Workspace::notificationCenter() { return center_; }

void Workspace::noteFileSystemChanged(const std::string&) {
  // Nothing on Linux listens for this; desktop file managers watch folders
  // themselves.
}

namespace {
UserInfo applicationInfo(const std::shared_ptr<const RunningApplication>& app) {
  UserInfo info;
  if (!app->localizedName.empty()) info[NSApplicationNameKey] = app->localizedName;
  info[NSWorkspaceApplicationKey] = app;
  return info;
}
}  // namespace

void Workspace::postApplicationLaunched(std::shared_ptr<const RunningApplication> app) {
  RunLoop::main().perform([this, app = std::move(app)] {
    center_.postNotificationName(NSWorkspaceDidLaunchApplicationNotification, this, applicationInfo(app));
  });
}

void Workspace::postApplicationTerminated(std::shared_ptr<const RunningApplication> app) {
  RunLoop::main().perform([this, app = std::move(app)] {
    center_.postNotificationName(NSWorkspaceDidTerminateApplicationNotification, this, applicationInfo(app));
  });
}

}  // namespace platform
