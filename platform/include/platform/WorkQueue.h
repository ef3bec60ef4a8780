#pragma once
// The process-wide concurrent queue of default priority: a small pool of
// worker threads that run submitted work items once each, in no set order.

#include <functional>

namespace platform {

class WorkQueue {
 public:
  using WorkItem = std::function<void()>;
  virtual ~WorkQueue() = default;
  // Runs the item once on a worker thread; returns at once. Thread-safe.
  virtual void async(WorkItem item) = 0;
};

// dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0)
WorkQueue& globalQueue();
// True on a worker thread of the global queue.
bool isWorkerThread();

}  // namespace platform
