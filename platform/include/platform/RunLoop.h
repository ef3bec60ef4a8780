#pragma once
// A run loop: a queue of tasks that one thread carries out in order.
// The main run loop belongs to the process's initial thread.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace platform {

class RunLoop {
 public:
  using Task = std::function<void()>;

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

  // Number of queued tasks not yet started.
  std::size_t pendingTasks() const;
  // True when the calling thread is this loop's thread.
  bool isCurrent() const;

  RunLoop(const RunLoop&) = delete;
  RunLoop& operator=(const RunLoop&) = delete;

 private:
  RunLoop();
  bool runOne(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  int stopRequests_ = 0;
  const void* owner_;  // identity of the owning thread
};

// Performs a task on the main thread, waiting or not (a task sent from the
// main thread itself runs at once when waiting).
void performOnMainThread(RunLoop::Task task, bool waitUntilDone);

// Sleeps the calling thread for the given number of seconds.
void sleepForTimeInterval(double seconds);

}  // namespace platform
