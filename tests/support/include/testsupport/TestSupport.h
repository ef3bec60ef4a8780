#pragma once
// Helpers for tests: a private temporary folder, and bounded waits that keep
// the main run loop turning.

#include <chrono>
#include <functional>
#include <string>

#include "platform/Data.h"

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

}  // namespace testsupport
