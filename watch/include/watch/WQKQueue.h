#pragma once
// A file watcher over a kernel event queue. Each watcher owns one queue and
// one watcher thread that waits on it in slices of 5 seconds and reports every
// change, in the order of the notification names, to the delegate on the
// main thread (through a WQMainThreadProxy, waiting until the delegate's
// method has returned) or as a notification posted to the workspace's
// notification centre, or both (see postNotification()).
//
// The watcher thread holds a reference to its watcher for as long as it runs,
// so a watcher whose owners all let go keeps watching and delivering. It runs
// until stop().
//
// Threads: addPath/removePath and the other operations may be called from any
// thread; the delegate's method runs on the main thread; notifications are
// posted on the watcher thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Object.h"
#include "watch/WQFileWatcher.h"
#include "watch/WQMainThreadProxy.h"

namespace watch {

// NOTE_RENAME | NOTE_ATTRIB | NOTE_WRITE | NOTE_DELETE: renamed, attributes
// changed, written to, deleted.
inline constexpr std::uint32_t WQKQueueDefaultEventMask = 0x2B;

class WQKQueue : public platform::Object, public WQFileWatcher, public std::enable_shared_from_this<WQKQueue> {
 public:
  // init: a new watcher with its queue and running thread; null when the
  // queue cannot be created.
  static std::shared_ptr<WQKQueue> create();
  // The process-wide watcher, made on first use (retried while creation
  // fails). Thread-safe.
  static std::shared_ptr<WQKQueue> sharedFileWatcher();

  ~WQKQueue() override;
  WQKQueue(const WQKQueue&) = delete;
  WQKQueue& operator=(const WQKQueue&) = delete;

  // The queue's descriptor.
  int queueFD() const { return queueFD_; }

  // Watches path for the default changes (WQKQueueDefaultEventMask).
  void addPath(const std::string& path) override;
  void addPathToQueue(const std::string& path);
  // Opens path for events and registers it for the changes of mask (NOTE_*
  // flags). A path that cannot be opened is ignored silently. The same path
  // may be added several times; each entry is reported separately.
  void addPathToQueue(const std::string& path, std::uint32_t notifyingAbout);

  // Removes the first entry equal to path and closes its descriptor; nothing
  // happens for a path that is not watched.
  void removePath(const std::string& path) override;
  void removePathFromQueue(const std::string& path);
  // Closes every watched descriptor and empties the lists.
  void removeAllPathsFromQueue();

  std::shared_ptr<platform::Object> delegate() const override;
  // Holds delegate strongly and wraps it in its main-thread proxy.
  void setDelegate(std::shared_ptr<platform::Object> delegate) override;

  // When YES, notifications are posted even while a delegate is set.
  bool alwaysNotify() const;
  void setAlwaysNotify(bool alwaysNotify);

  // The watched paths in the order they were added, and their descriptors.
  std::vector<std::string> watchedPaths() const;
  std::vector<int> watchedFDs() const;

  // "WQKQueue { watchedPaths = ("/a", "/b"), alwaysNotify = NO }"
  std::string description() const override;
  std::string className() const override { return "WQKQueue"; }

  // Reports one change: to the delegate through its proxy (waiting for it),
  // then to the notification centre unless a delegate is still set and
  // alwaysNotify is NO. Called by the watcher thread.
  void postNotification(const std::string& name, const std::string& forFile);

  // Asks the watcher thread to end: it wakes at once, closes the queue and
  // drops its reference to the watcher. The watched descriptors stay open
  // until the watcher is destroyed. Any thread; later calls do nothing.
  void stop();
  // True while the watcher thread is asked to keep running.
  bool keepThreadRunning() const { return keepThreadRunning_.load(); }
  // Waits until the watcher thread has ended and released the watcher; false
  // when limit passed first. Not from inside a delegate callback: the thread
  // waits for that callback to return.
  bool waitUntilStopped(std::chrono::milliseconds limit) const;

 private:
  struct Entry {
    std::string path;
    int fd;
    std::uintptr_t registration;  // the queue's user data for this entry
  };
  // Shared by the watcher and its thread, so that the thread can report its
  // end after it has let go of the watcher.
  struct ThreadState {
    std::mutex mutex;
    std::condition_variable ended;
    bool queueClosed = false;
    bool finished = false;
  };

  explicit WQKQueue(int queueFD);
  static void runThread(std::shared_ptr<WQKQueue> self, const std::shared_ptr<ThreadState>& state);
  // The watcher thread's loop; closes the queue when it ends.
  void watcherThread(std::nullptr_t ignored);
  std::optional<std::string> pathForRegistration(void* udata) const;

  const int queueFD_;
  mutable std::recursive_mutex lock_;  // the list and the queue registrations
  std::vector<Entry> watched_;

  mutable std::mutex delegateMutex_;
  std::shared_ptr<platform::Object> delegate_;
  std::shared_ptr<WQMainThreadProxy> delegateProxy_;

  std::atomic<bool> alwaysNotify_{false};
  std::atomic<bool> keepThreadRunning_{true};
  std::shared_ptr<ThreadState> thread_ = std::make_shared<ThreadState>();
};

}  // namespace watch
