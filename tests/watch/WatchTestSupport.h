#pragma once
// Shared pieces of the watcher tests: one journal of everything the
// delegates and the notification centre heard, a recording delegate, and a
// centre observer that writes into the journal.

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/NotificationCenter.h"
#include "platform/Object.h"
#include "platform/RunLoop.h"
#include "platform/Workspace.h"
#include "testsupport/TestSupport.h"
#include "watch/WQFileWatcher.h"

namespace watchtest {

struct Heard {
  std::string by;  // "delegate" or "centre"
  std::string name;
  std::string path;
  bool onMainThread = false;
  bool operator==(const Heard& o) const {
    return by == o.by && name == o.name && path == o.path;
  }
};

inline std::ostream& operator<<(std::ostream& out, const Heard& h) {
  return out << h.by << ":" << h.name << ":" << h.path;
}

// Thread-safe record of what was heard, in order.
class Journal {
 public:
  void add(Heard h) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(h));
  }
  std::vector<Heard> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  // Entries about path only.
  std::vector<Heard> about(const std::string& path) const {
    std::vector<Heard> out;
    for (const Heard& h : entries()) {
      if (h.path == path) out.push_back(h);
    }
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Heard> entries_;
};

// A delegate that writes every message into a journal and then runs an
// optional action (on the thread the message arrived on).
class Recorder : public platform::Object, public watch::WQFileWatcherDelegate {
 public:
  using Action = std::function<void(watch::WQFileWatcher&, const std::string&,
                                    const std::string&)>;
  explicit Recorder(std::shared_ptr<Journal> journal, Action action = nullptr)
      : journal_(std::move(journal)), action_(std::move(action)) {}
  void watcher(watch::WQFileWatcher& watcher, const std::string& name,
               const std::string& path) override {
    journal_->add({"delegate", name, path, platform::RunLoop::isMainThread()});
    if (action_) action_(watcher, name, path);
  }
  std::string className() const override { return "Recorder"; }

 private:
  std::shared_ptr<Journal> journal_;
  Action action_;
};

// Observes the workspace centre for notifications sent by one object while
// it lives. The callback holds the journal, so a post that is still running
// when the observer goes away stays safe.
class CentreObserver {
 public:
  CentreObserver(std::shared_ptr<Journal> journal, const void* object) {
    platform::Workspace::sharedWorkspace().notificationCenter().addObserver(
        this,
        [journal](const platform::Notification& n) {
          journal->add({"centre", n.name, n.string(watch::WQFileWatcherPathKey).value_or("?"),
                        platform::RunLoop::isMainThread()});
        },
        std::nullopt, object);
  }
  ~CentreObserver() {
    platform::Workspace::sharedWorkspace().notificationCenter().removeObserver(this);
  }
  CentreObserver(const CentreObserver&) = delete;
  CentreObserver& operator=(const CentreObserver&) = delete;
};

inline void append(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::app | std::ios::binary) << text;
}

// Waits without turning the main run loop (for what must not need it).
inline bool waitWithoutMainLoop(const std::function<bool()>& predicate,
                                std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() >= deadline) return predicate();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace watchtest
