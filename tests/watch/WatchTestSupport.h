#pragma once
// What the watcher tests share: a journal of every report a delegate or the
// notification centre heard, and the delegate and centre observer that fill it.

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "testsupport/TestSupport.h"
#include "watch/WQFileWatcher.h"

namespace watchtest {

// Generous: only a report that never comes runs into it.
inline constexpr std::chrono::seconds kBound{10};

struct Heard {
  std::string by;  // "delegate" or "centre"
  std::string name, path;
  bool onMainThread = false;
  bool operator==(const Heard& o) const { return by == o.by && name == o.name && path == o.path; }
  friend std::ostream& operator<<(std::ostream& out, const Heard& h) {
    return out << h.by << ":" << h.name << ":" << h.path;
  }
};

// Waits until predicate holds or the bound passes, turning the main run loop
// meanwhile unless told not to (for what must not need it).
inline bool eventually(const std::function<bool()>& predicate, bool turnMainLoop = true) {
  if (turnMainLoop) return testsupport::runMainLoopUntil(predicate, kBound);
  const auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!predicate() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return predicate();
}

// Thread-safe record of the reports, in the order they arrived.
class Journal {
 public:
  void add(Heard h) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(h));
  }
  // The reports about path ("": all of them).
  std::vector<Heard> about(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<Heard> out;
    std::ranges::copy_if(entries_, std::back_inserter(out),
                         [&](const Heard& h) { return path.empty() || h.path == path; });
    return out;
  }
  // Waits, without the main run loop, until path has n reports.
  bool waitFor(const std::string& path, std::size_t n) {
    return eventually([&] { return about(path).size() >= n; }, false);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Heard> entries_;
};

// A delegate that journals each message, then runs an optional action.
class Recorder : public platform::Object, public watch::WQFileWatcherDelegate {
 public:
  using Action = std::function<void(watch::WQFileWatcher&, const std::string& path)>;
  explicit Recorder(std::shared_ptr<Journal> journal, Action action = nullptr)
      : journal_(std::move(journal)), action_(std::move(action)) {}
  void watcher(watch::WQFileWatcher& w, const std::string& name, const std::string& path) override {
    journal_->add({"delegate", name, path, platform::RunLoop::isMainThread()});
    if (action_) action_(w, path);
  }

 private:
  std::shared_ptr<Journal> journal_;
  Action action_;
};

// Journals what one object posts to the workspace centre while it lives.
struct CentreObserver {
  CentreObserver(std::shared_ptr<Journal> journal, const void* object) {
    platform::Workspace::sharedWorkspace().notificationCenter().addObserver(
        this,
        [journal](const platform::Notification& n) {
          journal->add({"centre", n.name, n.string(watch::WQFileWatcherPathKey).value_or("?"),
                        platform::RunLoop::isMainThread()});
        },
        std::nullopt, object);
  }
  ~CentreObserver() { platform::Workspace::sharedWorkspace().notificationCenter().removeObserver(this); }
  CentreObserver(const CentreObserver&) = delete;
};

using testsupport::append;

}  // namespace watchtest
