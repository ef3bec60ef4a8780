#pragma once
// The desktop workspace: opens documents in their default application,
// reports the launch and the end of the processes it starts through its
// notification centre, and hears about file-system changes.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"

namespace platform {

inline constexpr char NSWorkspaceDidLaunchApplicationNotification[] = "NSWorkspaceDidLaunchApplicationNotification";
inline constexpr char NSWorkspaceDidTerminateApplicationNotification[] =
    "NSWorkspaceDidTerminateApplicationNotification";
inline constexpr char NSApplicationNameKey[] = "NSApplicationName";
inline constexpr char NSWorkspaceApplicationKey[] = "NSWorkspaceApplicationKey";

class Workspace {
 public:
  static Workspace& sharedWorkspace();

  NotificationCenter& notificationCenter();

  // Asks the desktop to open path in the default application for its type
  // (judged by the file name, as LSGetApplicationForInfo does) and returns at
  // once; false when nothing is at path or no application could be launched.
  // The launch is posted later, on the main thread, as
  // NSWorkspaceDidLaunchApplicationNotification with NSApplicationNameKey (the
  // display name) and NSWorkspaceApplicationKey (the running application:
  // pid, and the file URL of the program it runs); the end of that process as
  // NSWorkspaceDidTerminateApplicationNotification. Only processes started
  // here are reported. To ask about them while the main thread is busy, see
  // Processes.h.
  bool openFile(const std::string& path);

  // Asks the window manager to bring forward the top-level windows of these
  // processes whose title holds title (a document's file name). Call on the
  // main thread; returns at once; done runs on the main thread with how many
  // windows were asked for (0 without a display that allows it).
  void bringWindowsForward(const std::vector<pid_t>& pids, const std::string& title,
                           std::function<void(std::size_t)> done);

  // Tells the desktop that something changed at path. Thread-safe.
  void noteFileSystemChanged(const std::string& path);

  // Posts the launch or the end of a process on the main thread (used by the
  // launcher, and by tests that stand in for a desktop). Thread-safe.
  void postApplicationLaunched(std::shared_ptr<const RunningApplication> app);
  void postApplicationTerminated(std::shared_ptr<const RunningApplication> app);

 private:
  Workspace() = default;
  NotificationCenter center_;
};

}  // namespace platform
