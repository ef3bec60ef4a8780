#pragma once
// The application object: it owns the main run loop's life, delivers
// open-file requests to its delegate on the main thread, and ends the run
// when no work is pending (the application has no window, so "the last
// window closed" is the moment nothing more is waited for).

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/NotificationCenter.h"

namespace platform {

class Application;

// What the application asks of its delegate. Called on the main thread.
class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  // A request to open a file; the result tells whether it was handled.
  virtual bool applicationOpenFile(Application& app, const std::string& path) = 0;
  // A request to open a file without user interface.
  virtual bool applicationOpenFileWithoutUI(Application& app, const std::string& path) = 0;
  virtual void applicationDidFinishLaunching(const Notification& notification) = 0;
  virtual bool applicationShouldTerminateAfterLastWindowClosed(Application& app) = 0;
};

// Keeps the application running while it lives (a ticket waiting for its
// editor or a reply, a request in flight). Copyable; the last copy ends it.
using Activity = std::shared_ptr<void>;

class Application {
 public:
  static Application& sharedApplication();

  // The delegate is not owned; it must outlive run().
  void setDelegate(ApplicationDelegate* delegate);
  ApplicationDelegate* delegate() const;

  // Queues one open-file request per path; delivered on the main thread once
  // run() runs. Thread-safe (a second invocation's paths arrive this way).
  void openFiles(const std::vector<std::string>& paths);

  // Runs the main loop: posts "NSApplicationDidFinishLaunchingNotification" to
  // the delegate, delivers the queued requests, and returns once no request,
  // task or activity is pending and the delegate agrees to terminate after
  // its last window. Must be called on the main thread.
  void run();
  // Ends run() at the next chance, whatever is pending.
  void terminate();

  // Called on the main thread when run() is about to end for lack of work,
  // to close the intake of requests from outside (another invocation's paths).
  // Requests that came in before it returned keep the run going, and it is
  // called again at the next idle moment, so it must be idempotent.
  void setIntakeCloser(std::function<void()> closeIntake);

  // Keeps run() from returning while the result (or a copy of it) lives.
  Activity beginActivity(std::string reason);
  int activeCount() const;

 private:
  Application() = default;
  void scheduleIdleCheck();
  void idleCheck();

  ApplicationDelegate* delegate_ = nullptr;
  std::atomic<int> activities_{0};
  std::atomic<bool> running_{false};
  std::atomic<bool> idleCheckQueued_{false};
  std::function<void()> closeIntake_;
};

}  // namespace platform
