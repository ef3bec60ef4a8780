#pragma once
// What every file watcher offers, the message its delegate receives, and the
// names of the changes it reports.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Object.h"

namespace watch {

// The names of the reported changes. They are the names of the notifications
// posted to the workspace's notification centre and the values passed to the
// delegate. Several changes of one event are reported in this order.
inline constexpr char WQKQueueFileRenamedNotification[] = "WQKQueueFileRenamedNotification";
inline constexpr char WQKQueueFileWrittenToNotification[] = "WQKQueueFileWrittenToNotification";
inline constexpr char WQKQueueFileDeletedNotification[] = "WQKQueueFileDeletedNotification";
inline constexpr char WQKQueueFileAttributesChangedNotification[] = "WQKQueueFileAttributesChangedNotification";
inline constexpr char WQKQueueFileSizeIncreasedNotification[] = "WQKQueueFileSizeIncreasedNotification";
inline constexpr char WQKQueueFileLinkCountChangedNotification[] = "WQKQueueFileLinkCountChangedNotification";
inline constexpr char WQKQueueFileAccessRevocationNotification[] = "WQKQueueFileAccessRevocationNotification";

// The user-info key of a posted notification; its value is the watched path
// as it was given to addPath().
inline constexpr char WQFileWatcherPathKey[] = "path";

// A watcher of file-system paths.
class WQFileWatcher {
 public:
  virtual ~WQFileWatcher() = default;
  // Starts watching path.
  virtual void addPath(const std::string& path) = 0;
  // Stops watching path.
  virtual void removePath(const std::string& path) = 0;
  // The object told about changes, or null.
  virtual std::shared_ptr<platform::Object> delegate() const = 0;
  // Replaces the delegate (null: none). The watcher holds it strongly.
  virtual void setDelegate(std::shared_ptr<platform::Object> delegate) = 0;
};

// The delegate message watcher:receivedNotification:forPath:. A delegate is
// any platform::Object; it receives the message only when it also derives
// from this interface (otherwise sending it raises
// platform::UnrecognizedSelector).
class WQFileWatcherDelegate {
 public:
  virtual ~WQFileWatcherDelegate() = default;
  // watcher saw a change named receivedNotification at forPath (the path as
  // given to addPath()).
  virtual void watcher(WQFileWatcher& watcher, const std::string& receivedNotification, const std::string& forPath) = 0;
};

// The identity under which a watcher posts its notifications (their object):
// the watcher as a platform::Object, compare with
// static_cast<const void*>(watcherPointer) of a WQKQueue* or
// WQFNSubscribeFileWatcher*.
inline const void* notificationObject(const WQFileWatcher& watcher) {
  return dynamic_cast<const platform::Object*>(&watcher);
}

}  // namespace watch
