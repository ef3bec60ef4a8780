#pragma once
// A run loop: a queue of tasks that one thread carries out in order.
// The main run loop belongs to the process's initial thread.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

// A timer of a run loop (see RunLoop::performAfter). Copies share the timer;
// dropping every copy does not cancel it.
class Timer {
 public:
  Timer() = default;
  // The task will not run (if it has not started yet) and is let go at once.
  // Any thread; later calls do nothing.
  void cancel();
  // True until the task has started or the timer was cancelled.
  bool isPending() const;

 private:
  friend class RunLoop;
  struct State;
  explicit Timer(std::shared_ptr<State> state) : state_(std::move(state)) {}
  std::shared_ptr<State> state_;
};

class RunLoop {
 public:
  using Task = std::function<void()>;
  using Clock = std::chrono::steady_clock;

  // The main thread's loop. May be called from any thread.
  static RunLoop& main();
  // The calling thread's loop, made on first use.
  static RunLoop& current();
  // True on the process's initial thread.
  static bool isMainThread();
  // Stops the calling thread's loop (the innermost run() on it returns).
  static void stopCurrent();

  // Carries out tasks until stop(). Nested calls are allowed; stop() ends
  // the innermost one. Must be called on the loop's own thread.
  void run();
  // Makes the innermost run() return once the task it is running ends.
  // Thread-safe. A stop requested while no run() is active ends the next one
  // at once.
  void stop();
  // Carries out every task queued so far, then returns (for tests).
  void drain();

  // Queues a task; returns at once. Thread-safe.
  void perform(Task task);
  // Runs the task on the loop's thread and waits until it has run. On the
  // loop's own thread it runs at once. An exception thrown by the task is
  // rethrown in the caller.
  void performAndWait(const Task& task);

  // Queues the task on this loop once the given number of seconds has
  // passed; it then runs after the tasks queued before that moment. Returns
  // at once. Thread-safe. The loop sleeps until its earliest timer is due.
  Timer performAfter(double seconds, Task task);

  // Number of queued tasks not yet started (timers that are due count).
  std::size_t pendingTasks() const;
  // True when the calling thread is this loop's thread.
  bool isCurrent() const;

  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

 private:
  RunLoop();
  bool runOne(std::unique_lock<std::mutex>& lock);
  // Moves the timers that are due into the task queue; returns the time the
  // earliest remaining one is due, if any. Called with the lock held.
  std::optional<Clock::time_point> queueDueTimers();

  struct Scheduled {
    Clock::time_point due;
    std::uint64_t order;  // timers due at the same moment keep their order
    std::shared_ptr<Timer::State> timer;
    bool operator>(const Scheduled& other) const { return due != other.due ? due > other.due : order > other.order; }
  };

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  std::vector<Scheduled> timers_;  // a min-heap on (due, order)
  std::uint64_t nextTimerOrder_ = 0;
  int stopRequests_ = 0;
  const void* owner_;  // identity of the owning thread
};

// Performs a task on the main thread, waiting or not (a task sent from the
// main thread itself runs at once when waiting).
void performOnMainThread(RunLoop::Task task, bool waitUntilDone);

// Sleeps the calling thread for the given number of seconds.
void sleepForTimeInterval(double seconds);

}  // namespace platform
