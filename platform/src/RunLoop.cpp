#include "platform/RunLoop.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <thread>

namespace platform {
namespace {

// Each thread's identity is the address of a thread-local object; it stays
// unique for as long as the thread lives.
thread_local char tThreadIdentity;

}  // namespace

struct Timer::State {
  std::mutex mutex;
  RunLoop::Task task;  // empty once started or cancelled
};

void Timer::cancel() {
  if (!state_) return;
  RunLoop::Task released;
  {
    std::lock_guard lock(state_->mutex);
    released = std::move(state_->task);
    state_->task = nullptr;
  }
  // The captures go outside the lock: their destructors may do anything.
}

bool Timer::isPending() const {
  if (!state_) return false;
  std::lock_guard lock(state_->mutex);
  return static_cast<bool>(state_->task);
}

RunLoop::RunLoop() : owner_(&tThreadIdentity) {}

RunLoop& RunLoop::main() {
  // The main loop is made once; its owner is the process's initial thread,
  // whichever thread asks first.
  static RunLoop* loop = [] {
    auto* l = new RunLoop();
    l->owner_ = nullptr;  // bound lazily to the initial thread, see isCurrent()
    return l;
  }();
  return *loop;
}

RunLoop& RunLoop::current() {
  if (isMainThread()) return main();
  thread_local std::unique_ptr<RunLoop> loop(new RunLoop());
  return *loop;
}

bool RunLoop::isMainThread() { return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid(); }

bool RunLoop::isCurrent() const {
  if (owner_ == nullptr) return isMainThread();
  return owner_ == &tThreadIdentity;
}

void RunLoop::stopCurrent() { current().stop(); }

bool RunLoop::runOne(std::unique_lock<std::mutex>& lock) {
  if (tasks_.empty()) return false;
  Task task = std::move(tasks_.front());
  tasks_.pop_front();
  lock.unlock();
  task();
  task = nullptr;  // destroy captures outside the lock
  lock.lock();
  return true;
}

std::optional<RunLoop::Clock::time_point> RunLoop::queueDueTimers() {
  const auto now = Clock::now();
  while (!timers_.empty() && timers_.front().due <= now) {
    std::pop_heap(timers_.begin(), timers_.end(), std::greater<>());
    std::shared_ptr<Timer::State> timer = std::move(timers_.back().timer);
    timers_.pop_back();
    tasks_.emplace_back([timer] {
      Task task;
      {
        std::lock_guard lock(timer->mutex);
        task = std::move(timer->task);
        timer->task = nullptr;
      }
      if (task) task();  // nothing when cancelled meanwhile
    });
  }
  if (timers_.empty()) return std::nullopt;
  return timers_.front().due;
}

void RunLoop::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopRequests_ > 0) {
      --stopRequests_;
      return;
    }
    const std::optional<Clock::time_point> next = queueDueTimers();
    if (runOne(lock)) continue;
    if (next) {
      wake_.wait_until(lock, *next);
    } else {
      wake_.wait(lock);
    }
  }
}

Timer RunLoop::performAfter(double seconds, Task task) {
  auto state = std::make_shared<Timer::State>();
  state->task = std::move(task);
  const auto delay = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(seconds, 0.0)));
  std::lock_guard lock(mutex_);
  timers_.push_back(Scheduled{Clock::now() + delay, nextTimerOrder_++, state});
  std::push_heap(timers_.begin(), timers_.end(), std::greater<>());
  wake_.notify_all();
  return Timer(std::move(state));
}

void RunLoop::drain() {
  std::unique_lock lock(mutex_);
  queueDueTimers();
  std::size_t n = tasks_.size();
  while (n-- > 0 && runOne(lock)) {
  }
}

void RunLoop::stop() {
  std::lock_guard lock(mutex_);
  ++stopRequests_;
  wake_.notify_all();
}

void RunLoop::perform(Task task) {
  std::lock_guard lock(mutex_);
  tasks_.push_back(std::move(task));
  wake_.notify_all();
}

void RunLoop::performAndWait(const Task& task) {
  if (isCurrent()) {
    task();
    return;
  }
  struct Completion {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::exception_ptr failure;
  };
  auto completion = std::make_shared<Completion>();
  perform([completion, &task] {
    try {
      task();
    } catch (...) {
      completion->failure = std::current_exception();
    }
    std::lock_guard lock(completion->mutex);
    completion->finished = true;
    completion->done.notify_all();
  });
  std::unique_lock lock(completion->mutex);
  completion->done.wait(lock, [&] { return completion->finished; });
  if (completion->failure) std::rethrow_exception(completion->failure);
}

std::size_t RunLoop::pendingTasks() const {
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  std::size_t due = 0;
  for (const Scheduled& s : timers_) due += s.due <= now ? 1 : 0;
  return tasks_.size() + due;
}

void performOnMainThread(RunLoop::Task task, bool waitUntilDone) {
  if (waitUntilDone) {
    RunLoop::main().performAndWait(task);
  } else {
    RunLoop::main().perform(std::move(task));
  }
}

void sleepForTimeInterval(double seconds) {
  if (seconds <= 0) return;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

}  // namespace platform
