#include "app/vlaInvokeApp.h"

#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace app {

vlaInvokeApp::vlaInvokeApp(platform::Workspace& workspace) : workspace_(workspace) {
  platform::log("InvokeTest init\n");
  auto& center = workspace_.notificationCenter();
  center.addObserver(
      this, [this](const platform::Notification& n) { appLaunched(n); },
      std::string(platform::NSWorkspaceDidLaunchApplicationNotification));
  center.addObserver(
      this, [this](const platform::Notification& n) { appTerminated(n); },
      std::string(platform::NSWorkspaceDidTerminateApplicationNotification));
}

vlaInvokeApp::~vlaInvokeApp() { workspace_.notificationCenter().removeObserver(this); }

bool vlaInvokeApp::matches(const platform::Notification& notification) const {
  // A notification without a name counts as equal. An object whose
  // application was never set matches only such notifications.
  auto name = notification.string(platform::NSApplicationNameKey);
  if (!name) return true;
  return application_ && *application_ == *name;
}

void vlaInvokeApp::appLaunched(const platform::Notification& notification) {
  if (!matches(notification)) return;
  auto name = notification.string(platform::NSApplicationNameKey).value_or("(null)");
  platform::log("launched " + name + "\n");
}

void vlaInvokeApp::appTerminated(const platform::Notification& notification) {
  if (!matches(notification)) return;
  auto name = notification.string(platform::NSApplicationNameKey).value_or("(null)");
  platform::log("terminated " + name + "\n");
  platform::log("stopping the CFRunLoop\n");
  platform::RunLoop::stopCurrent();
}

}  // namespace app
