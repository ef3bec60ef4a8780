#include "platform/WorkQueue.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {
namespace {

thread_local bool tIsWorker = false;

// Worker threads are started on demand up to a fixed limit, so that a few
// blocking requests in flight do not hold up the others. Threads are detached
// and live for the rest of the process, like a system queue's.
class ThreadPoolQueue final : public WorkQueue {
 public:
  explicit ThreadPoolQueue(unsigned maxThreads) : maxThreads_(maxThreads) {}

  void async(WorkItem item) override {
    std::lock_guard lock(mutex_);
    items_.push_back(std::move(item));
    if (idle_ == 0 && threads_ < maxThreads_) {
      ++threads_;
      std::thread([this] { workerLoop(); }).detach();
    } else {
      wake_.notify_one();
    }
  }

 private:
  void workerLoop() {
    tIsWorker = true;
    std::unique_lock lock(mutex_);
    for (;;) {
      ++idle_;
      wake_.wait(lock, [this] { return !items_.empty(); });
      --idle_;
      WorkItem item = std::move(items_.front());
      items_.pop_front();
      lock.unlock();
      item();
      item = nullptr;  // release what the item holds before taking the lock
      lock.lock();
    }
  }

  const unsigned maxThreads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<WorkItem> items_;
  unsigned threads_ = 0;
  unsigned idle_ = 0;
};

}  // namespace

WorkQueue& globalQueue() {
  static ThreadPoolQueue* queue =
      new ThreadPoolQueue(std::max(4u, 2 * std::thread::hardware_concurrency()));
  return *queue;
}

bool isWorkerThread() { return tIsWorker; }

}  // namespace platform
