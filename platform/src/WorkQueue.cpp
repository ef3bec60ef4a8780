#include "platform/WorkQueue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace platform {
namespace {

thread_local bool tIsWorker = false;

// Work items often block (a synchronous HTTP exchange), so a new worker is
// started whenever an item would otherwise wait for a busy one, up to a
// generous limit; a worker left idle for a while ends. Threads are detached
// and the queue lives for the rest of the process, like a system queue.
class ThreadPoolQueue final : public WorkQueue {
 public:
  ThreadPoolQueue(unsigned maxThreads, std::chrono::seconds idleLimit)
      : maxThreads_(maxThreads), idleLimit_(idleLimit) {}

  void async(WorkItem item) override {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    // Idle workers that have been woken but not yet taken an item still
    // count as idle, so this compares waiting items with free hands.
    if (items_.size() > idle_ && threads_ < maxThreads_) {
      try {
        std::thread([this] { workerLoop(); }).detach();
        ++threads_;
        return;
      } catch (const std::system_error&) {
        if (threads_ == 0) {
          items_.pop_back();
          throw;  // no worker at all could run the item
        }
        // otherwise a running worker takes it later
      }
    }
    wake_.notify_one();
  }

 private:
  void workerLoop() {
    tIsWorker = true;
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      bool hasWork = wake_.wait_for(lock, idleLimit_, [this] { return !items_.empty(); });
      --idle_;
      if (!hasWork) {
        --threads_;
        return;
      }
      WorkItem item = std::move(items_.front());
      items_.pop_front();
      lock.unlock();
      item();
      item = nullptr;  // release what the item holds before taking the lock
      lock.lock();
    }
  }

  const unsigned maxThreads_;
  const std::chrono::seconds idleLimit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<WorkItem> items_;
  unsigned threads_ = 0;
  unsigned idle_ = 0;
};

}  // namespace

WorkQueue& globalQueue() {
  static auto* queue = new ThreadPoolQueue(64, std::chrono::seconds(30));  // never destroyed
  return *queue;
}

bool isWorkerThread() { return tIsWorker; }

}  // namespace platform
