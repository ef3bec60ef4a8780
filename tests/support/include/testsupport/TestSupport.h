#pragma once
// Helpers for tests: a private temporary folder, a bounded wait that keeps the
// main run loop turning, and a notifier that records.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Data.h"
#include "platform/Notifications.h"

namespace testsupport {

// A fresh folder under $TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;
  // Writes a file below the folder and returns its path.
  std::string write(const std::string& name, const std::string& contents) const;

 private:
  std::string path_;
};

// Runs the main run loop's tasks (the caller must be the main thread) until
// the predicate holds or the time runs out; returns the predicate's value.
bool runMainLoopUntil(const std::function<bool()>& predicate,
                      std::chrono::milliseconds limit = std::chrono::seconds(10));

std::string readText(const std::string& path);
// Adds text at the end of the file at path (made if missing).
void append(const std::string& path, const std::string& text);

// A notifier that keeps the notices it is given, in order (install it with
// platform::setUserNotifier). Thread-safe.
class RecordingNotifier : public platform::UserNotifier {
 public:
  struct Notice {
    std::string summary, body;
    bool operator==(const Notice&) const = default;
  };
  void notify(const std::string& summary, const std::string& body) override {
    std::lock_guard lock(mutex_);
    notices_.push_back({summary, body});
  }
  std::vector<Notice> notices() const {
    std::lock_guard lock(mutex_);
    return notices_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Notice> notices_;
};

}  // namespace testsupport
