// Latency from a write() to a watched file until the watcher's delegate runs
// on the main thread, beside the wake-up latency of a bare inotify thread
// watching another file, measured alternately in the same loop.
//
//   ./run bench --benchmark_filter=WriteToDelegate
//
// Counters: median and 99th percentile of each path in microseconds, and the
// ratio of the medians (watcher / bare inotify).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/RunLoop.h"
#include "watch/WQKQueue.h"

namespace {

using Clock = std::chrono::steady_clock;

// Stamps the moment its method runs and ends the main loop's run().
class StampingDelegate : public platform::Object, public watch::WQFileWatcherDelegate {
 public:
  void watcher(watch::WQFileWatcher&, const std::string&, const std::string&) override {
    stamp = Clock::now();
    platform::RunLoop::stopCurrent();
  }
  Clock::time_point stamp;
};

// A thread blocked in read() on an inotify descriptor, stamping each wake-up.
class BareInotify {
 public:
  explicit BareInotify(const std::string& path) : fd_(inotify_init1(IN_CLOEXEC)) {
    inotify_add_watch(fd_, path.c_str(), IN_MODIFY);
    thread_ = std::thread([this] { loop(); });
  }
  ~BareInotify() {
    thread_.join();  // ended by stop()
    ::close(fd_);
  }
  // The stamp of the next wake-up after `since`.
  Clock::time_point waitForWakeUp(std::uint64_t since) {
    std::unique_lock lock(mutex_);
    woke_.wait(lock, [&] { return count_ > since; });
    return stamp_;
  }
  std::uint64_t count() {
    std::lock_guard lock(mutex_);
    return count_;
  }
  // Ends the thread with one last change to the watched file.
  void stop(int writer) {
    done_ = true;
    [[maybe_unused]] auto n = ::write(writer, "x", 1);
  }

 private:
  void loop() {
    alignas(inotify_event) char buffer[4096];
    while (!done_) {
      if (::read(fd_, buffer, sizeof buffer) <= 0) return;
      Clock::time_point now = Clock::now();
      {
        std::lock_guard lock(mutex_);
        stamp_ = now;
        ++count_;
      }
      woke_.notify_all();
    }
  }

  int fd_;
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::condition_variable woke_;
  Clock::time_point stamp_;
  std::uint64_t count_ = 0;
  std::thread thread_;
};

double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
  return values[i];
}

void BM_WriteToDelegateVsBareInotify(benchmark::State& state) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("vla-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string watchedPath = (dir / "watched").string();
  const std::string barePath = (dir / "bare").string();
  int watchedWriter = ::open(watchedPath.c_str(), O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
  int bareWriter = ::open(barePath.c_str(), O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0600);

  auto watcher = watch::WQKQueue::create();
  auto delegate = std::make_shared<StampingDelegate>();
  watcher->addPath(watchedPath);
  watcher->setDelegate(delegate);
  BareInotify bare(barePath);

  std::vector<double> watcherMicros, bareMicros;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    [[maybe_unused]] auto n1 = ::write(watchedWriter, "x", 1);
    platform::RunLoop::main().run();  // until the delegate has run
    double watcherLatency = std::chrono::duration<double, std::micro>(delegate->stamp - start).count();

    std::uint64_t seen = bare.count();
    start = Clock::now();
    [[maybe_unused]] auto n2 = ::write(bareWriter, "x", 1);
    double bareLatency = std::chrono::duration<double, std::micro>(bare.waitForWakeUp(seen) - start).count();

    watcherMicros.push_back(watcherLatency);
    bareMicros.push_back(bareLatency);
    state.SetIterationTime(watcherLatency / 1e6);
  }

  bare.stop(bareWriter);
  watcher->stop();
  watcher->waitUntilStopped(std::chrono::seconds(10));
  ::close(watchedWriter);
  ::close(bareWriter);
  fs::remove_all(dir);

  const double watcherMedian = percentile(watcherMicros, 0.5);
  const double bareMedian = percentile(bareMicros, 0.5);
  state.counters["watcher_median_us"] = watcherMedian;
  state.counters["watcher_p99_us"] = percentile(watcherMicros, 0.99);
  state.counters["inotify_median_us"] = bareMedian;
  state.counters["inotify_p99_us"] = percentile(bareMicros, 0.99);
  state.counters["median_ratio"] = watcherMedian / bareMedian;
}
BENCHMARK(BM_WriteToDelegateVsBareInotify)->Iterations(1000)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
