#include "platform/Application.h"

#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace platform {

Application& Application::sharedApplication() {
  static auto* app = new Application();  // lives for the whole process
  return *app;
}

void Application::setDelegate(ApplicationDelegate* delegate) { delegate_ = delegate; }

ApplicationDelegate* Application::delegate() const { return delegate_; }

void Application::openFiles(const std::vector<std::string>& paths) {
  for (const auto& path : paths) {
    // Each request holds an activity until the delegate has answered it, so
    // that the run cannot end between the request's arrival and its delivery.
    Activity pending = beginActivity("open-file request");
    RunLoop::main().perform([this, path, pending] {
      if (delegate_) delegate_->applicationOpenFile(*this, path);
    });
  }
}

void Application::run() {
  running_ = true;
  RunLoop::main().perform([this] {
    if (delegate_) {
      delegate_->applicationDidFinishLaunching(Notification{"NSApplicationDidFinishLaunchingNotification", this, {}});
    }
  });
  scheduleIdleCheck();
  RunLoop::main().run();
  running_ = false;
}

void Application::terminate() { RunLoop::main().stop(); }

void Application::setIntakeCloser(std::function<void()> closeIntake) { closeIntake_ = std::move(closeIntake); }

Activity Application::beginActivity(std::string reason) {
  activities_.fetch_add(1);
  // The deleter runs wherever the last copy goes; the idle check itself
  // always runs on the main thread.
  return Activity(new std::string(std::move(reason)), [this](void* p) {
    delete static_cast<std::string*>(p);
    if (activities_.fetch_sub(1) == 1) scheduleIdleCheck();
  });
}

int Application::activeCount() const { return activities_.load(); }

void Application::scheduleIdleCheck() {
  // At most one check is queued at a time, so checks cannot keep each other
  // in the queue.
  if (idleCheckQueued_.exchange(true)) return;
  RunLoop::main().perform([this] { idleCheck(); });
}

void Application::idleCheck() {
  idleCheckQueued_ = false;
  if (!running_) return;
  if (activities_.load() != 0) return;  // the last activity to end checks again
  if (RunLoop::main().pendingTasks() != 0) {
    scheduleIdleCheck();  // look again once the queued tasks have run
    return;
  }
  if (delegate_ && !delegate_->applicationShouldTerminateAfterLastWindowClosed(*this)) return;
  if (closeIntake_) {
    // Requests may have come in up to the moment the intake closed: they hold
    // activities and queued tasks, and the run goes on until they are done.
    closeIntake_();
    if (activities_.load() != 0) return;
    if (RunLoop::main().pendingTasks() != 0) {
      scheduleIdleCheck();
      return;
    }
  }
  RunLoop::main().stop();
}

}  // namespace platform
